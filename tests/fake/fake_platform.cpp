#include "fake/fake_platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace lumivane::fake {

namespace {

// Thrown by `terminate()` when the delegate lets the process end: it unwinds the launcher's
// frames, as an exit would leave them, and is caught only by the outermost task runner.
// Deliberately not a std::exception, so that no handler in the code under test mistakes it
// for an error it could recover from.
struct ProcessExit {};

const char* directoryName(SearchPathDirectory directory) {
  switch (directory) {
    case SearchPathDirectory::Library:
      return "Library";
    case SearchPathDirectory::ApplicationSupport:
      return "ApplicationSupport";
  }
  return "?";
}

// Restores a counter when a scope ends, also by an exception.
class DepthGuard {
 public:
  explicit DepthGuard(int& depth) : depth_(depth) { ++depth_; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;
  ~DepthGuard() { --depth_; }

 private:
  int& depth_;
};

}  // namespace

// --- Handles and status items, private to the fake ------------------------------------------

class FakeFileHandle final : public FileHandle {
 public:
  FakeFileHandle(FakePlatform& platform, int descriptor)
      : platform_(platform), descriptor_(descriptor) {}
  FakeFileHandle(const FakeFileHandle&) = delete;
  FakeFileHandle& operator=(const FakeFileHandle&) = delete;
  ~FakeFileHandle() override { ::close(descriptor_); }

  bool seekToEndOfFile() override {
    platform_.noteCall("handle.seekToEndOfFile");
    return ::lseek(descriptor_, 0, SEEK_END) >= 0;
  }
  bool writeData(std::string_view bytes) override {
    platform_.noteCall("handle.writeData");
    return writeAll(bytes);
  }

  // A write by the child process that holds this file as its output: not a launcher call.
  bool writeAll(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t written = ::write(descriptor_, bytes.data(), bytes.size());
      if (written < 0) return false;
      bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
  }

 private:
  FakePlatform& platform_;
  int descriptor_;
};

class FakeStatusButton final : public StatusButton {
 public:
  FakeStatusButton(FakePlatform& platform, StatusItemRecord& record)
      : platform_(platform), record_(record) {}
  void setImage(std::unique_ptr<Image> image) override {
    platform_.noteCall("button.setImage");
    record_.image = std::move(image);
  }
  void setTitle(const std::string& title) override {
    platform_.noteCall("button.setTitle");
    record_.title = title;
  }
  void setToolTip(const std::string& toolTip) override {
    platform_.noteCall("button.setToolTip");
    record_.toolTip = toolTip;
  }

 private:
  FakePlatform& platform_;
  StatusItemRecord& record_;
};

class FakeStatusItem final : public StatusItem {
 public:
  FakeStatusItem(FakePlatform& platform, std::shared_ptr<StatusItemRecord> record)
      : platform_(platform), record_(std::move(record)), button_(platform, *record_) {}
  ~FakeStatusItem() override { record_->alive = false; }

  StatusButton* button() override {
    platform_.noteCall("item.button");
    return record_->hasButton ? &button_ : nullptr;
  }
  void setMenu(Menu menu) override {
    platform_.noteCall("item.setMenu");
    record_->menu = std::move(menu);
    ++record_->menusSet;
  }

 private:
  FakePlatform& platform_;
  std::shared_ptr<StatusItemRecord> record_;
  FakeStatusButton button_;
};

void FakeImage::setTemplate(bool value) {
  if (platform) platform->noteCall("image.setTemplate");
  isTemplate = value;
}

void FakeImage::setSize(double width, double height) {
  if (platform) platform->noteCall("image.setSize");
  size = std::make_pair(width, height);
}

// --- HTTP answers --------------------------------------------------------------------------

FakeHttpAnswer FakeHttpAnswer::withStatus(int status, Duration latency) {
  return FakeHttpAnswer{Kind::Status, status, latency};
}

FakeHttpAnswer FakeHttpAnswer::refused(Duration latency) {
  return FakeHttpAnswer{Kind::Refused, 0, latency};
}

FakeHttpAnswer FakeHttpAnswer::silent() { return FakeHttpAnswer{Kind::Silent, 0, {}}; }

// --- Children ------------------------------------------------------------------------------

FakeProcess::FakeProcess(FakePlatform& platform, FakeChildScript script,
                         ProcessDescription description)
    : platform_(platform), script_(std::move(script)), description_(std::move(description)) {}

void FakeProcess::startClock() {
  if (script_.exitAfter) exitAt(platform_.clock_ + *script_.exitAfter, script_.exitStatus);
}

bool FakeProcess::runningAt(TimePoint t) const { return !exitTime_ || t < *exitTime_; }

void FakeProcess::exitAt(TimePoint at, int status) {
  if (exitTime_ && *exitTime_ <= at) return;  // it ends earlier anyway
  exitTime_ = at;
  status_ = status;
  const std::uint64_t generation = ++exitGeneration_;
  // The reaper thread: calls the handler once the child has exited.
  platform_.post(at, /*background=*/true, [weak = weak_from_this(), generation] {
    const std::shared_ptr<FakeProcess> self = weak.lock();
    if (!self || self->exitGeneration_ != generation) return;
    self->handlerCalled_ = true;
    TerminationHandler handler = std::move(self->description_.terminationHandler);
    self->description_.terminationHandler = nullptr;
    if (handler) handler(self);
  });
}

bool FakeProcess::isRunning() const {
  platform_.noteCall("process.isRunning");
  return runningAt(platform_.clock_);
}

void FakeProcess::interrupt() {
  platform_.noteCall("process.interrupt");
  signals_.push_back(SignalRecord{platform_.clock_, SIGINT});
  if (runningAt(platform_.clock_) && script_.exitAfterSigint) {
    exitAt(platform_.clock_ + *script_.exitAfterSigint, script_.sigintExitStatus);
  }
}

void FakeProcess::terminate() {
  platform_.noteCall("process.terminate");
  signals_.push_back(SignalRecord{platform_.clock_, SIGTERM});
  if (runningAt(platform_.clock_) && script_.exitsOnSigterm) exitAt(platform_.clock_, SIGTERM);
}

int FakeProcess::terminationStatus() const {
  platform_.noteCall("process.terminationStatus");
  ++statusReads_;
  if (runningAt(platform_.clock_)) platform_.violation("terminationStatus read while running");
  return status_;
}

bool FakeProcess::writeOutput(std::string_view bytes) {
  auto* handle = dynamic_cast<FakeFileHandle*>(description_.standardOutput.get());
  return handle != nullptr && handle->writeAll(bytes);
}

// --- Files ---------------------------------------------------------------------------------

FakeFileManager::FakeFileManager(FakePlatform& platform, std::filesystem::path home)
    : platform_(platform), home_(std::move(home)) {}

std::filesystem::path FakeFileManager::applicationSupport() const {
  return home_ / ".local/share";
}

std::filesystem::path FakeFileManager::library() const { return home_ / ".local/state"; }

int FakeFileManager::directoryLookups(SearchPathDirectory directory) const {
  const auto found = lookups_.find(directory);
  return found == lookups_.end() ? 0 : found->second;
}

std::vector<std::filesystem::path> FakeFileManager::urlsForDirectory(
    SearchPathDirectory directory, SearchPathDomain /*domain*/) {
  platform_.noteCall(std::string("fm.urlsForDirectory ") + directoryName(directory));
  ++lookups_[directory];
  return {directory == SearchPathDirectory::Library ? library() : applicationSupport()};
}

bool FakeFileManager::createDirectory(const std::filesystem::path& path, bool withIntermediates) {
  platform_.noteCall("fm.createDirectory " + path.string());
  std::error_code error;
  if (withIntermediates) {
    std::filesystem::create_directories(path, error);
  } else {
    std::filesystem::create_directory(path, error);
  }
  return std::filesystem::is_directory(path, error);
}

bool FakeFileManager::fileExistsAtPath(const std::filesystem::path& path) {
  platform_.noteCall("fm.fileExistsAtPath " + path.string());
  std::error_code error;
  return std::filesystem::exists(std::filesystem::symlink_status(path, error));
}

bool FakeFileManager::createFileAtPath(const std::filesystem::path& path,
                                       std::string_view contents,
                                       std::optional<unsigned> posixPermissions) {
  platform_.noteCall("fm.createFileAtPath " + path.string());
  filesCreated_.emplace_back(path, posixPermissions);
  // Like the real one, this replaces a file that is already there.
  const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                                static_cast<mode_t>(posixPermissions.value_or(0644)));
  if (descriptor < 0) return false;
  bool ok = true;
  if (posixPermissions) ok = ::fchmod(descriptor, static_cast<mode_t>(*posixPermissions)) == 0;
  FakeFileHandle handle(platform_, descriptor);
  return handle.writeAll(contents) && ok;
}

std::shared_ptr<FileHandle> FakeFileManager::fileHandleForWritingToURL(
    const std::filesystem::path& path) {
  platform_.noteCall("fm.fileHandleForWritingToURL " + path.string());
  if (refuseOpenForWriting) return nullptr;
  const int descriptor = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY);
  if (descriptor < 0) return nullptr;
  struct stat info {};
  if (::fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(descriptor);
    return nullptr;
  }
  return std::make_shared<FakeFileHandle>(platform_, descriptor);
}

std::optional<std::string> FakeFileManager::contentsOfFile(const std::filesystem::path& path,
                                                           std::size_t maxBytes) {
  platform_.noteCall("fm.contentsOfFile " + path.string());
  filesRead_.emplace_back(path, maxBytes);
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return std::nullopt;
  const std::uintmax_t size = std::filesystem::file_size(path, error);
  if (error || size > maxBytes) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

// --- The platform --------------------------------------------------------------------------

TimePoint FakePlatform::epoch() {
  using namespace std::chrono;
  return sys_days{year{2026} / December / 10} + hours{12};
}

FakePlatform::FakePlatform() : clock_(epoch()) {
  std::string pattern = (std::filesystem::temp_directory_path() / "lumivane-fake-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::system_error(errno, std::generic_category(), "mkdtemp");
  }
  root_ = pattern;
  const std::filesystem::path home = root_ / "home";
  std::filesystem::create_directories(home);
  resources_ = root_ / "bundle/share/lumivane";
  std::filesystem::create_directories(resources_);
  files_ = std::make_unique<FakeFileManager>(*this, home);
  environment_ = {{"HOME", home.string()}, {"PATH", "/usr/bin:/bin"}};
  httpScript_ = [](TimePoint) { return FakeHttpAnswer::refused(); };
}

FakePlatform::~FakePlatform() {
  queue_.clear();
  launches_.clear();
  std::error_code error;
  std::filesystem::remove_all(root_, error);
}

void FakePlatform::noteCall(std::string call, bool anyThread) {
  calls_.push_back(CallRecord{clock_, call});
  if (exit_) violation(call + " after the process ended");
  if (backgroundDepth_ > 0 && !anyThread) violation(call + " off the main thread");
}

void FakePlatform::violation(std::string what) { violations_.push_back(std::move(what)); }

void FakePlatform::post(TimePoint due, bool background, std::function<void()> work) {
  queue_.emplace(Key{due, sequence_++}, Task{background, std::move(work)});
}

void FakePlatform::runTasks(TimePoint target, bool backgroundOnly) {
  while (!exit_) {
    auto next = queue_.begin();
    if (backgroundOnly) {
      while (next != queue_.end() && !next->second.background) ++next;
    }
    if (next == queue_.end() || next->first.first > target) break;
    const TimePoint due = next->first.first;
    Task task = std::move(next->second);
    queue_.erase(next);
    // Work that fell due while the main thread slept runs late, never in the past.
    clock_ = std::max(clock_, due);
    if (task.background) {
      DepthGuard onAnotherThread(backgroundDepth_);
      task.work();
    } else {
      task.work();
    }
    // A process that ended inside the task unwinds past this point; getting here means the
    // call that ended it returned into the launcher after all.
    if (exit_) violation("control returned into the launcher after the process ended");
  }
  if (!exit_) clock_ = std::max(clock_, target);
}

void FakePlatform::runOutermost(TimePoint target, bool backgroundOnly) {
  try {
    runTasks(target, backgroundOnly);
  } catch (const ProcessExit&) {
    // The process has ended: nothing runs any more.
  }
}

void FakePlatform::advanceBy(Duration duration) { runOutermost(clock_ + duration, false); }

void FakePlatform::runUntilIdle() { runOutermost(clock_, false); }

void FakePlatform::advanceBackgroundBy(Duration duration) {
  runOutermost(clock_ + duration, true);
}

void FakePlatform::discardPendingWork() { queue_.clear(); }

void FakePlatform::answerTermination() {
  if (answeringTermination_) {
    ++droppedTerminations_;
    return;
  }
  if (delegate_ == nullptr) {
    violation("termination requested with no delegate");
    return;
  }
  answeringTermination_ = true;
  TerminateReply reply;
  try {
    reply = delegate_->applicationShouldTerminate();
  } catch (...) {
    answeringTermination_ = false;
    throw;
  }
  answeringTermination_ = false;
  terminationReplies_.push_back(reply);
  if (reply == TerminateReply::Now) {
    exit_ = ExitRecord{clock_, 0};
    throw ProcessExit{};
  }
}

// Application.

void FakePlatform::setDelegate(ApplicationDelegate* delegate) {
  noteCall("setDelegate");
  delegate_ = delegate;
}

bool FakePlatform::setActivationPolicy(ActivationPolicy policy) {
  noteCall("setActivationPolicy");
  policy_ = policy;
  return true;
}

int FakePlatform::run() {
  noteCall("run");
  launch();
  return 0;
}

void FakePlatform::terminate() {
  noteCall("terminate");
  if (exit_) return;
  answerTermination();
}

void FakePlatform::activateIgnoringOtherApps() { noteCall("activateIgnoringOtherApps"); }

// Main queue and time.

void FakePlatform::async(std::function<void()> work) {
  noteCall("async", /*anyThread=*/true);
  post(clock_, false, std::move(work));
}

void FakePlatform::asyncAfter(Duration delay, std::function<void()> work) {
  noteCall("asyncAfter");
  timers_.push_back(TimerRecord{clock_, delay});
  post(clock_ + delay, false, std::move(work));
}

TimePoint FakePlatform::now() {
  noteCall("now");
  return clock_;
}

void FakePlatform::sleepFor(Duration duration) {
  noteCall("sleepFor");
  sleeps_.push_back(SleepRecord{clock_, duration});
  // The main thread is blocked; the other threads go on.
  runTasks(clock_ + duration, /*backgroundOnly=*/true);
}

// Status bar.

std::unique_ptr<StatusItem> FakePlatform::statusItemWithLength(double length) {
  noteCall("statusItemWithLength");
  auto record = std::make_shared<StatusItemRecord>();
  record->length = length;
  record->hasButton = statusItemsHaveButton_;
  items_.push_back(record);
  return std::make_unique<FakeStatusItem>(*this, std::move(record));
}

std::unique_ptr<Image> FakePlatform::imageWithContentsOfURL(const std::filesystem::path& path) {
  noteCall("imageWithContentsOfURL " + path.string());
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return nullptr;
  auto image = std::make_unique<FakeImage>(path);
  image->platform = this;
  return image;
}

// Alerts.

int FakePlatform::runModal(const Alert& alert) {
  noteCall("runModal");
  AlertRecord record;
  record.alert = alert;
  record.shownAt = clock_;
  record.activatedJustBefore =
      calls_.size() >= 2 && calls_[calls_.size() - 2].call == "activateIgnoringOtherApps";
  AlertReply reply;
  if (nextAlertReply_ < alertReplies_.size()) {
    reply = alertReplies_[nextAlertReply_++];
    record.scripted = true;
  }
  record.result = reply.result;
  const std::size_t index = alerts_.size();
  alerts_.push_back(std::move(record));

  if (reply.thinkTime > Duration::zero()) {
    // The user takes their time; the queue and the timers keep running under the alert.
    DepthGuard modal(modalDepth_);
    runTasks(clock_ + reply.thinkTime, /*backgroundOnly=*/false);
  }
  alerts_[index].dismissedAt = clock_;
  return reply.result;
}

// Workspace.

bool FakePlatform::openURL(const std::string& url) {
  noteCall("openURL " + url);
  opened_.push_back(OpenedURL{clock_, url});
  return true;
}

void FakePlatform::activateFileViewerSelectingURLs(const std::vector<std::filesystem::path>& urls) {
  noteCall("activateFileViewerSelectingURLs");
  reveals_.push_back(RevealRecord{clock_, urls});
}

// Processes.

LaunchResult FakePlatform::launch(ProcessDescription description) {
  noteCall("launch");
  LaunchRecord record;
  record.at = clock_;
  record.executable = description.executableURL;
  record.arguments = description.arguments;
  record.currentDirectory = description.currentDirectoryURL;
  record.environment = description.environment;
  record.standardOutputIsHandle = description.standardOutput != nullptr;
  record.standardErrorIsHandle = description.standardError != nullptr;
  record.sameHandle = record.standardOutputIsHandle &&
                      description.standardOutput == description.standardError;
  record.hasTerminationHandler = static_cast<bool>(description.terminationHandler);

  FakeChildScript script;
  if (nextChild_ < children_.size()) script = children_[nextChild_++];

  if (script.launchError) {
    record.error = *script.launchError;
    launches_.push_back(std::move(record));
    return LaunchResult{nullptr, *script.launchError};
  }
  auto process = std::make_shared<FakeProcess>(*this, std::move(script), std::move(description));
  process->startClock();
  record.process = process;
  launches_.push_back(std::move(record));
  return LaunchResult{std::move(process), {}};
}

Environment FakePlatform::environment() {
  noteCall("environment");
  return environment_;
}

// Files.

std::filesystem::path FakePlatform::resourceURL() {
  noteCall("resourceURL");
  return resources_;
}

FileManager& FakePlatform::defaultManager() {
  noteCall("defaultManager");
  return *files_;
}

// HTTP.

void FakePlatform::get(const std::string& url, Duration timeout, HttpCompletion completion) {
  noteCall("get " + url);
  const std::size_t index = requests_.size();
  requests_.push_back(HttpRequestRecord{clock_, url, timeout, std::nullopt, std::nullopt});
  maxInFlight_ = std::max(maxInFlight_, ++inFlight_);

  const FakeHttpAnswer answer = httpScript_(clock_);
  TimePoint completesAt = clock_ + timeout;
  std::optional<int> status;
  switch (answer.kind) {
    case FakeHttpAnswer::Kind::Status:
      if (answer.latency <= timeout) {
        completesAt = clock_ + answer.latency;
        status = answer.status;
      }
      break;
    case FakeHttpAnswer::Kind::Refused:
      completesAt = clock_ + std::min(answer.latency, timeout);
      break;
    case FakeHttpAnswer::Kind::Silent:
      break;
  }
  // The client's thread delivers the completion.
  post(completesAt, /*background=*/true,
       [this, index, status, completion = std::move(completion)] {
         --inFlight_;
         requests_[index].completedAt = clock_;
         requests_[index].statusCode = status;
         completion(HttpResult{status});
       });
}

// Driving.

void FakePlatform::launch() {
  post(clock_, false, [this] {
    if (delegate_ == nullptr) return violation("launched with no delegate");
    delegate_->applicationDidFinishLaunching();
  });
}

void FakePlatform::reopen(bool hasVisibleWindows) {
  post(clock_, false, [this, hasVisibleWindows] {
    if (delegate_ == nullptr) return violation("reopened with no delegate");
    reopenResults_.push_back(delegate_->applicationShouldHandleReopen(hasVisibleWindows));
  });
}

void FakePlatform::requestTermination(Duration after) {
  post(clock_ + after, false, [this] { answerTermination(); });
}

bool FakePlatform::chooseMenuItem(std::string_view title) {
  if (items_.empty()) return false;
  const std::shared_ptr<StatusItemRecord> record = items_.back();
  if (!record->alive || !record->menu) return false;
  const std::vector<MenuItem>& entries = record->menu->itemArray();
  const auto chosen = std::find_if(entries.begin(), entries.end(), [&](const MenuItem& entry) {
    return entry.title == title && entry.enabled();
  });
  if (chosen == entries.end()) return false;
  const auto index = static_cast<std::size_t>(chosen - entries.begin());
  post(clock_, false, [this, record, index] {
    if (!record->alive) return violation("menu action after the status item was dropped");
    const std::function<void()> action = record->menu->itemArray()[index].action;
    action();
  });
  return true;
}

}  // namespace lumivane::fake
