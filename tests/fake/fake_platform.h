// A platform for scenario tests: one virtual clock, a main queue of tasks kept by (due time,
// sequence number), scripted children and HTTP answers, scripted alert replies, and a record
// of every effect the launcher asked for. Nothing here waits in real time.
//
// Threads are modelled on the one queue. Work that the real backend does on other threads (a
// child's termination handler, an HTTP completion) is a "background" task: it runs when the
// clock reaches it, also while the main thread sleeps, and may only post to the main queue.
// Main-queue work never runs during `sleepFor`, which stands for a blocked main thread.
//
// `terminate()` with the reply `Now` ends the "process": the call does not return to its
// caller (a private exception unwinds to the task runner), no task runs afterwards, and any
// later platform call is recorded as a violation. Tests assert that there are none.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace lumivane::fake {

class FakePlatform;

// --- HTTP --------------------------------------------------------------------------------

// How the fake network answers one request.
struct FakeHttpAnswer {
  enum class Kind {
    Status,   // an HTTP response with `status`, after `latency`
    Refused,  // no response, after `latency` (by default at once)
    Silent,   // a server that accepts and never answers: no response once the timeout is over
  };
  Kind kind = Kind::Refused;
  int status = 0;
  Duration latency{};

  static FakeHttpAnswer withStatus(int status, Duration latency = {});
  static FakeHttpAnswer refused(Duration latency = {});
  static FakeHttpAnswer silent();
};

// The answer for a request sent at a given virtual time.
using HttpScript = std::function<FakeHttpAnswer(TimePoint sentAt)>;

struct HttpRequestRecord {
  TimePoint sentAt;
  std::string url;
  Duration timeout{};
  std::optional<TimePoint> completedAt;  // empty while in flight
  std::optional<int> statusCode;         // what the completion carried
};

// --- Children ----------------------------------------------------------------------------

// How the next launched child behaves. The default runs until signalled and ends at once on
// SIGINT.
struct FakeChildScript {
  // The launch fails with this description; no child exists and no handler is ever called.
  std::optional<std::string> launchError;
  // The child exits by itself this long after its launch, with `exitStatus`.
  std::optional<Duration> exitAfter;
  int exitStatus = 0;
  // After SIGINT the child exits this long later with `sigintExitStatus`; empty: ignored.
  std::optional<Duration> exitAfterSigint = Duration::zero();
  int sigintExitStatus = 2;
  // On SIGTERM the child exits at once with status 15, unless it ignores the signal.
  bool exitsOnSigterm = true;
};

struct SignalRecord {
  TimePoint at;
  int signal;  // SIGINT or SIGTERM
};

// A scripted child. Its running state follows the virtual clock, so it also turns false while
// the main thread sleeps.
class FakeProcess final : public Process, public std::enable_shared_from_this<FakeProcess> {
 public:
  FakeProcess(FakePlatform& platform, FakeChildScript script, ProcessDescription description);

  bool isRunning() const override;
  void interrupt() override;
  void terminate() override;
  int terminationStatus() const override;

  // What the child does on its own: writes to its standard output as a real child would (to
  // the log when it was given the log handle). False when it has no such handle.
  bool writeOutput(std::string_view bytes);

  const std::vector<SignalRecord>& signals() const { return signals_; }
  std::optional<TimePoint> exitTime() const { return exitTime_; }
  bool handlerCalled() const { return handlerCalled_; }
  int statusReads() const { return statusReads_; }

 private:
  friend class FakePlatform;
  void startClock();
  bool runningAt(TimePoint t) const;
  void exitAt(TimePoint at, int status);

  FakePlatform& platform_;
  FakeChildScript script_;
  ProcessDescription description_;  // holds the output handles and the termination handler
  std::optional<TimePoint> exitTime_;
  int status_ = 0;
  std::uint64_t exitGeneration_ = 0;
  std::vector<SignalRecord> signals_;
  bool handlerCalled_ = false;
  mutable int statusReads_ = 0;
};

struct LaunchRecord {
  TimePoint at;
  std::filesystem::path executable;
  std::vector<std::string> arguments;
  std::filesystem::path currentDirectory;
  Environment environment;
  bool standardOutputIsHandle = false;
  bool standardErrorIsHandle = false;
  bool sameHandle = false;  // both streams are one and the same handle
  bool hasTerminationHandler = false;
  std::shared_ptr<FakeProcess> process;  // null when the launch failed
  std::string error;                     // the failure's description
};

// --- Alerts, workspace, time -------------------------------------------------------------

// How the user answers the next alert: the result, after `thinkTime` of virtual time during
// which the main queue goes on running under the modal alert.
struct AlertReply {
  int result = kAlertFirstButtonReturn;
  Duration thinkTime{};
};

struct AlertRecord {
  Alert alert;
  TimePoint shownAt;
  std::optional<TimePoint> dismissedAt;  // empty when the process ended under the alert
  bool activatedJustBefore = false;      // activateIgnoringOtherApps was the call right before
  int result = 0;
  bool scripted = false;  // false: no reply was scripted and the default one was used
};

struct OpenedURL {
  TimePoint at;
  std::string url;
};

struct RevealRecord {
  TimePoint at;
  std::vector<std::filesystem::path> urls;
};

struct SleepRecord {
  TimePoint at;
  Duration duration{};
};

struct TimerRecord {
  TimePoint at;
  Duration delay{};
};

struct ExitRecord {
  TimePoint at;
  int status = 0;
};

// One platform call, in the order made.
struct CallRecord {
  TimePoint at;
  std::string call;
};

// --- Status item -------------------------------------------------------------------------

class FakeImage final : public Image {
 public:
  explicit FakeImage(std::filesystem::path path) : path(std::move(path)) {}
  void setTemplate(bool isTemplate) override;
  void setSize(double width, double height) override;

  FakePlatform* platform = nullptr;
  std::filesystem::path path;
  std::optional<bool> isTemplate;
  std::optional<std::pair<double, double>> size;
};

// What a status item was given; it outlives the item so that tests can read it afterwards.
struct StatusItemRecord {
  double length = 0;
  bool hasButton = true;
  bool alive = true;  // false once the launcher dropped the item
  std::unique_ptr<Image> image;
  std::optional<std::string> title;
  std::optional<std::string> toolTip;
  std::optional<Menu> menu;
  int menusSet = 0;

  const FakeImage* fakeImage() const { return dynamic_cast<const FakeImage*>(image.get()); }
};

// --- Files -------------------------------------------------------------------------------

// A file manager on the real file system inside the test's own temporary directory; the user
// directories lie under a home there and do not exist until something creates them.
class FakeFileManager final : public FileManager {
 public:
  FakeFileManager(FakePlatform& platform, std::filesystem::path home);

  std::vector<std::filesystem::path> urlsForDirectory(SearchPathDirectory directory,
                                                      SearchPathDomain domain) override;
  bool createDirectory(const std::filesystem::path& path, bool withIntermediates) override;
  bool fileExistsAtPath(const std::filesystem::path& path) override;
  bool createFileAtPath(const std::filesystem::path& path, std::string_view contents,
                        std::optional<unsigned> posixPermissions) override;
  std::shared_ptr<FileHandle> fileHandleForWritingToURL(const std::filesystem::path& path) override;
  std::optional<std::string> contentsOfFile(const std::filesystem::path& path,
                                            std::size_t maxBytes) override;

  const std::filesystem::path& home() const { return home_; }
  // The user's application-support and library directories (XDG data and state homes).
  std::filesystem::path applicationSupport() const;
  std::filesystem::path library() const;

  // How often a kind of directory was asked for.
  int directoryLookups(SearchPathDirectory directory) const;
  // Every createFileAtPath call: the path and the permissions asked for.
  const std::vector<std::pair<std::filesystem::path, std::optional<unsigned>>>& filesCreated()
      const {
    return filesCreated_;
  }
  // Every path contentsOfFile was asked for, with its limit.
  const std::vector<std::pair<std::filesystem::path, std::size_t>>& filesRead() const {
    return filesRead_;
  }

  // Makes every fileHandleForWritingToURL fail, as for a file that cannot be opened.
  bool refuseOpenForWriting = false;

 private:
  FakePlatform& platform_;
  std::filesystem::path home_;
  std::map<SearchPathDirectory, int> lookups_;
  std::vector<std::pair<std::filesystem::path, std::optional<unsigned>>> filesCreated_;
  std::vector<std::pair<std::filesystem::path, std::size_t>> filesRead_;
};

// --- The platform ------------------------------------------------------------------------

class FakePlatform final : public Platform {
 public:
  FakePlatform();
  ~FakePlatform() override;

  // The fixed start of the virtual clock: 2026-12-10 12:00:00 UTC.
  static TimePoint epoch();

  // Platform.
  void setDelegate(ApplicationDelegate* delegate) override;
  bool setActivationPolicy(ActivationPolicy policy) override;
  // Posts `applicationDidFinishLaunching` and returns 0 at once: the test drives the loop.
  int run() override;
  void terminate() override;
  void activateIgnoringOtherApps() override;
  void async(std::function<void()> work) override;
  void asyncAfter(Duration delay, std::function<void()> work) override;
  TimePoint now() override;
  void sleepFor(Duration duration) override;
  std::unique_ptr<StatusItem> statusItemWithLength(double length) override;
  std::unique_ptr<Image> imageWithContentsOfURL(const std::filesystem::path& path) override;
  int runModal(const Alert& alert) override;
  bool openURL(const std::string& url) override;
  void activateFileViewerSelectingURLs(const std::vector<std::filesystem::path>& urls) override;
  LaunchResult launch(ProcessDescription description) override;
  Environment environment() override;
  std::filesystem::path resourceURL() override;
  FileManager& defaultManager() override;
  void get(const std::string& url, Duration timeout, HttpCompletion completion) override;

  // --- Driving, as the event loop would. Each posts main-queue work at now (plus `after`).
  void launch();
  void reopen(bool hasVisibleWindows = false);
  // A termination request from outside (a signal, the session ending).
  void requestTermination(Duration after = {});
  // Chooses the menu item with this title in the latest status item's menu. False when there
  // is no such enabled item; nothing is posted then.
  bool chooseMenuItem(std::string_view title);

  // Runs every task due up to now + `duration`, in order, setting the clock to each task's due
  // time first; then sets the clock to now + `duration`.
  void advanceBy(Duration duration);
  // Runs every task due at the present time, including those they post for now.
  void runUntilIdle();
  // Lets the other threads run for `duration` while the main thread stays busy: background
  // tasks run, main-queue work waits.
  void advanceBackgroundBy(Duration duration);
  // Drops every pending task without running it.
  void discardPendingWork();

  // --- Scripting.
  void setHttpScript(HttpScript script) { httpScript_ = std::move(script); }
  // Children for the next launches, in order; once they run out, the default script is used.
  void addChild(FakeChildScript script) { children_.push_back(std::move(script)); }
  // Replies for the next alerts, in order; once they run out, 1000 at once (and recorded so).
  void addAlertReply(AlertReply reply) { alertReplies_.push_back(reply); }
  void setEnvironment(Environment environment) { environment_ = std::move(environment); }
  void setResourceURL(std::filesystem::path path) { resources_ = std::move(path); }
  // When false, status items come without a button.
  void setStatusItemsHaveButton(bool hasButton) { statusItemsHaveButton_ = hasButton; }

  // --- Records.
  TimePoint currentTime() const { return clock_; }
  FakeFileManager& files() { return *files_; }
  const std::filesystem::path& temporaryDirectory() const { return root_; }

  const std::vector<CallRecord>& calls() const { return calls_; }
  const std::vector<std::string>& violations() const { return violations_; }
  const std::vector<HttpRequestRecord>& requests() const { return requests_; }
  int maxRequestsInFlight() const { return maxInFlight_; }
  const std::vector<LaunchRecord>& launches() const { return launches_; }
  const std::vector<AlertRecord>& alerts() const { return alerts_; }
  const std::vector<OpenedURL>& openedURLs() const { return opened_; }
  const std::vector<RevealRecord>& reveals() const { return reveals_; }
  const std::vector<SleepRecord>& sleeps() const { return sleeps_; }
  const std::vector<TimerRecord>& timers() const { return timers_; }
  const std::vector<std::shared_ptr<StatusItemRecord>>& statusItems() const { return items_; }
  const std::vector<bool>& reopenResults() const { return reopenResults_; }
  const std::vector<TerminateReply>& terminationReplies() const { return terminationReplies_; }
  int droppedTerminations() const { return droppedTerminations_; }
  std::optional<ExitRecord> exitRecord() const { return exit_; }
  bool exited() const { return exit_.has_value(); }
  std::size_t pendingTasks() const { return queue_.size(); }
  std::optional<ActivationPolicy> activationPolicy() const { return policy_; }

 private:
  friend class FakeProcess;
  friend class FakeFileManager;
  friend class FakeImage;
  friend class FakeStatusItem;
  friend class FakeStatusButton;
  friend class FakeFileHandle;

  struct Task {
    bool background = false;
    std::function<void()> work;
  };
  using Key = std::pair<TimePoint, std::uint64_t>;

  // Notes a call made by the launcher and checks it against the threading contract and the
  // end of the process. `anyThread` calls may come from background work.
  void noteCall(std::string call, bool anyThread = false);
  void violation(std::string what);
  void post(TimePoint due, bool background, std::function<void()> work);
  // Runs tasks due up to `target`; background tasks only when `backgroundOnly`. Does not
  // catch the end of the process: nested runs (under a modal alert) let it unwind.
  void runTasks(TimePoint target, bool backgroundOnly);
  // The outermost run: the end of the process stops it here.
  void runOutermost(TimePoint target, bool backgroundOnly);
  void answerTermination();

  TimePoint clock_;
  std::uint64_t sequence_ = 0;
  std::map<Key, Task> queue_;
  int backgroundDepth_ = 0;
  int modalDepth_ = 0;
  bool answeringTermination_ = false;

  std::filesystem::path root_;
  std::unique_ptr<FakeFileManager> files_;
  std::filesystem::path resources_;
  Environment environment_;
  ApplicationDelegate* delegate_ = nullptr;
  std::optional<ActivationPolicy> policy_;
  bool statusItemsHaveButton_ = true;

  HttpScript httpScript_;
  int inFlight_ = 0;
  int maxInFlight_ = 0;
  std::vector<FakeChildScript> children_;
  std::size_t nextChild_ = 0;
  std::vector<AlertReply> alertReplies_;
  std::size_t nextAlertReply_ = 0;

  std::vector<CallRecord> calls_;
  std::vector<std::string> violations_;
  std::vector<HttpRequestRecord> requests_;
  std::vector<LaunchRecord> launches_;
  std::vector<AlertRecord> alerts_;
  std::vector<OpenedURL> opened_;
  std::vector<RevealRecord> reveals_;
  std::vector<SleepRecord> sleeps_;
  std::vector<TimerRecord> timers_;
  std::vector<std::shared_ptr<StatusItemRecord>> items_;
  std::vector<bool> reopenResults_;
  std::vector<TerminateReply> terminationReplies_;
  int droppedTerminations_ = 0;
  std::optional<ExitRecord> exit_;
};

}  // namespace lumivane::fake
