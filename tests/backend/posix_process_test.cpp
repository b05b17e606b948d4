// spawnProcess against real children: what the child is started with (arguments, directory,
// environment, descriptors, signals, process group), how its end is reported, and how a failed
// launch is described.
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "platform/posix/process.h"
#include "posix_support.h"

namespace lumivane::posix {
namespace {

using namespace std::chrono_literals;
using testing::HandlerRecord;
using testing::kReportEnd;
using testing::ScopeExit;
using testing::OutputPipe;
using testing::TemporaryDirectory;
using testing::parseReport;
using testing::valuesOf;

// The probe child: reports what it was started with (see posix_probe_child.cpp).
ProcessDescription probe(std::vector<std::string> arguments) {
  ProcessDescription description;
  description.executableURL = LUMIVANE_POSIX_PROBE_CHILD;
  description.arguments = std::move(arguments);
  return description;
}

pid_t grandchildOf(const std::string& report) {
  const auto values = valuesOf(parseReport(report), "grandchild");
  return values.size() == 1 ? std::stoi(values[0]) : -1;
}

// A process the test did not start and cannot wait for, watched through a pidfd (readable
// once it has exited) and killed when the test ends.
class Grandchild {
 public:
  explicit Grandchild(pid_t pid) : pidfd_(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))) {}
  ~Grandchild() {
    if (pidfd_ < 0) return;
    ::syscall(SYS_pidfd_send_signal, pidfd_, SIGKILL, nullptr, 0);
    ::close(pidfd_);
  }
  Grandchild(const Grandchild&) = delete;
  Grandchild& operator=(const Grandchild&) = delete;

  bool watched() const { return pidfd_ >= 0; }
  bool exitedWithin(std::chrono::milliseconds patience) const {
    pollfd watched{pidfd_, POLLIN, 0};
    return ::poll(&watched, 1, static_cast<int>(patience.count())) == 1;
  }

 private:
  int pidfd_;
};

// Stops a child the test left running (after a failed assertion) with its whole group.
auto stopOnExit(const std::shared_ptr<Process>& process) {
  return std::make_unique<ScopeExit>([process] {
    if (process) process->terminate();
  });
}

TEST(DecodeWaitStatus, ExitCodesAndSignals) {
  struct Case {
    const char* name;
    int waitStatus;
    int expected;
  };
  // Built the way the kernel encodes them: exit code in bits 8-15, signal in bits 0-6,
  // the core-dump flag in bit 7.
  const Case cases[] = {
      {"exit 0", 0 << 8, 0},
      {"exit 3", 3 << 8, 3},
      {"exit 255", 255 << 8, 255},
      {"SIGINT", SIGINT, SIGINT},
      {"SIGKILL", SIGKILL, SIGKILL},
      {"SIGSEGV with core", SIGSEGV | 0x80, SIGSEGV},
      {"stopped by SIGSTOP", (SIGSTOP << 8) | 0x7f, -1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decodeWaitStatus(c.waitStatus), c.expected) << c.name;
  }
}

TEST(SpawnProcess, ChildGetsArgumentsDirectoryAndExactlyTheEnvironment) {
  TemporaryDirectory directory;
  OutputPipe output;
  auto record = HandlerRecord::make();
  ProcessDescription description = probe({"report", "two words", "", "\xC3\xBC"});
  description.currentDirectoryURL = directory.path();
  description.environment = {{"A", "1"}, {"EMPTY", ""}, {"SPACED", "a b=c"}, {"UTF", "\xC3\xA9"}};
  description.standardOutput = output.writeEnd;
  description.terminationHandler = record->handler();

  const LaunchResult result = spawnProcess(std::move(description));
  ASSERT_TRUE(result.process) << result.localizedDescription;
  const auto report = parseReport(output.readUntil(kReportEnd));

  EXPECT_EQ(valuesOf(report, "argv"),
            (std::vector<std::string>{LUMIVANE_POSIX_PROBE_CHILD, "report", "two words", "",
                                      "\xC3\xBC"}));
  EXPECT_EQ(valuesOf(report, "cwd"), std::vector<std::string>{directory.path().string()});
  EXPECT_EQ(valuesOf(report, "env"),
            (std::vector<std::string>{"A=1", "EMPTY=", "SPACED=a b=c", "UTF=\xC3\xA9"}));
  ASSERT_TRUE(record->waitUntilDone());
  EXPECT_EQ(record->status(), 0);
}

TEST(SpawnProcess, EmptyEnvironmentGivesTheChildNone) {
  OutputPipe output;
  ProcessDescription description = probe({"report"});
  description.standardOutput = output.writeEnd;
  ASSERT_TRUE(spawnProcess(std::move(description)).process);
  EXPECT_TRUE(valuesOf(parseReport(output.readUntil(kReportEnd)), "env").empty());
}

// Descriptors the launcher holds without close-on-exec (a library's, a leaked one) must not
// reach the server: a kept lock file or socket would outlive the launcher in the child.
TEST(SpawnProcess, ChildHoldsExactlyStandardDescriptors) {
  const int leakedFile = ::open("/dev/null", O_RDONLY);
  int leakedPipe[2];
  ASSERT_EQ(::pipe(leakedPipe), 0);
  const int leakedHigh = ::dup2(leakedFile, 200);
  ASSERT_GE(leakedFile, 0);
  ASSERT_EQ(leakedHigh, 200);

  struct Case {
    const char* name;
    bool giveOutput;
  };
  for (const Case& c : {Case{"output to a handle", true}, Case{"all inherited", false}}) {
    OutputPipe output;
    // Without a handle the child writes to this process's own standard output; point it at
    // the pipe for the duration.
    const int savedOut = ::dup(STDOUT_FILENO);
    if (!c.giveOutput) ::dup2(output.writeEnd->descriptor(), STDOUT_FILENO);
    ProcessDescription description = probe({"report"});
    if (c.giveOutput) {
      description.standardOutput = output.writeEnd;
      description.standardError = output.writeEnd;
    }
    const LaunchResult result = spawnProcess(std::move(description));
    ::dup2(savedOut, STDOUT_FILENO);
    ::close(savedOut);
    ASSERT_TRUE(result.process) << c.name;
    EXPECT_EQ(valuesOf(parseReport(output.readUntil(kReportEnd)), "fd"),
              (std::vector<std::string>{"0", "1", "2"}))
        << c.name;
  }
  for (const int fd : {leakedFile, leakedPipe[0], leakedPipe[1], leakedHigh}) ::close(fd);
}

TEST(SpawnProcess, OneHandleForBothStreamsIsOneOpenFile) {
  OutputPipe output;
  ProcessDescription description = probe({"report"});
  description.standardOutput = output.writeEnd;
  description.standardError = output.writeEnd;
  ASSERT_TRUE(spawnProcess(std::move(description)).process);
  EXPECT_EQ(valuesOf(parseReport(output.readUntil(kReportEnd)), "shared12"),
            std::vector<std::string>{"1"});
}

// Restores a signal's disposition and the calling thread's mask on scope exit.
class ScopedSignalState {
 public:
  ScopedSignalState() {
    for (const int signalNumber : kTouched) ::sigaction(signalNumber, nullptr, &saved_[signalNumber]);
    ::pthread_sigmask(SIG_SETMASK, nullptr, &savedMask_);
  }
  ~ScopedSignalState() {
    for (const int signalNumber : kTouched) ::sigaction(signalNumber, &saved_[signalNumber], nullptr);
    ::pthread_sigmask(SIG_SETMASK, &savedMask_, nullptr);
  }
  ScopedSignalState(const ScopedSignalState&) = delete;
  ScopedSignalState& operator=(const ScopedSignalState&) = delete;

  static void ignore(int signalNumber) {
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    ::sigaction(signalNumber, &action, nullptr);
  }
  static void block(int signalNumber) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signalNumber);
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
  }

 private:
  static constexpr int kTouched[] = {SIGINT, SIGQUIT, SIGPIPE, SIGUSR1, SIGTERM};
  std::map<int, struct sigaction> saved_;
  sigset_t savedMask_;
};

// A launcher started from a script inherits SIGINT ignored; its server must not, or the
// graceful stop's SIGINT would be lost and every quit would wait the full grace period.
TEST(SpawnProcess, ChildHasDefaultSignalsAndEmptyMaskWhateverTheParentHas) {
  ScopedSignalState restore;
  ScopedSignalState::ignore(SIGINT);
  ScopedSignalState::ignore(SIGQUIT);
  ScopedSignalState::ignore(SIGPIPE);
  ScopedSignalState::block(SIGUSR1);
  ScopedSignalState::block(SIGTERM);

  OutputPipe output;
  auto record = HandlerRecord::make();
  ProcessDescription description = probe({"report-and-wait"});
  description.standardOutput = output.writeEnd;
  description.terminationHandler = record->handler();
  const LaunchResult result = spawnProcess(std::move(description));
  ASSERT_TRUE(result.process) << result.localizedDescription;
  const auto stop = stopOnExit(result.process);
  const auto report = parseReport(output.readUntil(kReportEnd));
  ASSERT_EQ(valuesOf(report, "SigIgn").size(), 1u);
  EXPECT_EQ(testing::withoutLibcSignals(valuesOf(report, "SigIgn")[0]), 0u);
  EXPECT_EQ(valuesOf(report, "SigBlk"), std::vector<std::string>{"0000000000000000"});

  result.process->interrupt();
  ASSERT_TRUE(record->waitUntilDone());
  EXPECT_EQ(record->status(), SIGINT);
  EXPECT_FALSE(result.process->isRunning());
}

struct StopCase {
  const char* name;
  void (Process::*stop)();
  int signalNumber;
};

void PrintTo(const StopCase& c, std::ostream* out) { *out << c.name; }

class StopSignal : public ::testing::TestWithParam<StopCase> {};

TEST_P(StopSignal, ReachesTheChildAndWhatItStarted) {
  OutputPipe output;
  auto record = HandlerRecord::make();
  ProcessDescription description = probe({"fork-and-wait"});
  description.standardOutput = output.writeEnd;
  description.terminationHandler = record->handler();
  const LaunchResult result = spawnProcess(std::move(description));
  ASSERT_TRUE(result.process) << result.localizedDescription;
  const auto stop = stopOnExit(result.process);
  const std::string report = output.readUntil(kReportEnd);
  const pid_t pid = grandchildOf(report);
  ASSERT_GT(pid, 0) << report;
  const Grandchild grandchild(pid);
  ASSERT_TRUE(grandchild.watched()) << std::strerror(errno);

  (result.process.get()->*GetParam().stop)();
  ASSERT_TRUE(record->waitUntilDone());
  EXPECT_EQ(record->status(), GetParam().signalNumber);
  EXPECT_TRUE(grandchild.exitedWithin(testing::kPatience)) << "the grandchild outlived the signal";
}

INSTANTIATE_TEST_SUITE_P(Group, StopSignal,
                         ::testing::Values(StopCase{"interrupt", &Process::interrupt, SIGINT},
                                           StopCase{"terminate", &Process::terminate, SIGTERM}),
                         [](const auto& info) { return std::string(info.param.name); });

struct EndCase {
  const char* name;
  const char* script;
  int terminationStatus;
};

void PrintTo(const EndCase& c, std::ostream* out) { *out << c.name; }

class ChildEnd : public ::testing::TestWithParam<EndCase> {};

// The main thread only sleeps here: nothing but the backend's own thread can notice the exit.
TEST_P(ChildEnd, IsSeenWithoutTheCallerAndReportedOnceOnAnotherThread) {
  auto record = HandlerRecord::make();
  ProcessDescription description = testing::shell(GetParam().script);
  description.terminationHandler = record->handler();
  LaunchResult result = spawnProcess(std::move(description));
  ASSERT_TRUE(result.process) << result.localizedDescription;

  const auto deadline = std::chrono::steady_clock::now() + testing::kPatience;
  while (result.process->isRunning() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_FALSE(result.process->isRunning());
  EXPECT_EQ(result.process->terminationStatus(), GetParam().terminationStatus);

  // Released by the process after the call: no second call can come.
  ASSERT_TRUE(record->waitUntilDone());
  EXPECT_EQ(record->calls(), 1);
  EXPECT_NE(record->thread(), std::this_thread::get_id());
  EXPECT_EQ(record->status(), GetParam().terminationStatus);
  EXPECT_FALSE(record->sawRunning());
}

INSTANTIATE_TEST_SUITE_P(Status, ChildEnd,
                         ::testing::Values(EndCase{"exit0", "exit 0", 0},
                                           EndCase{"exit3", "exit 3", 3},
                                           EndCase{"sigkill", "kill -KILL $$", SIGKILL},
                                           EndCase{"sigterm", "kill -TERM $$", SIGTERM}),
                         [](const auto& info) { return std::string(info.param.name); });

// The object lives until the handler has run even when the caller lets go of it at once,
// as the launcher does with a launch it no longer cares about.
TEST(SpawnProcess, HandlerRunsAfterTheCallerDroppedTheProcess) {
  auto record = HandlerRecord::make();
  ProcessDescription description = testing::shell("exit 5");
  description.terminationHandler = record->handler();
  ASSERT_TRUE(spawnProcess(std::move(description)).process);
  ASSERT_TRUE(record->waitUntilDone());
  EXPECT_EQ(record->status(), 5);
}

// Once the child has been reaped its pid may be reused by an unrelated process: stop requests
// after that send nothing, not even to a group that lives on without its leader.
TEST(SpawnProcess, NoSignalAfterTheChildWasReaped) {
  OutputPipe output;
  auto record = HandlerRecord::make();
  ProcessDescription description = probe({"fork-and-exit"});
  description.standardOutput = output.writeEnd;
  description.terminationHandler = record->handler();
  const LaunchResult result = spawnProcess(std::move(description));
  ASSERT_TRUE(result.process);
  const std::string report = output.readUntil(kReportEnd);
  const pid_t pid = grandchildOf(report);
  ASSERT_GT(pid, 0) << report;
  const Grandchild grandchild(pid);
  ASSERT_TRUE(grandchild.watched());
  ASSERT_TRUE(record->waitUntilDone());

  result.process->terminate();
  result.process->interrupt();
  EXPECT_FALSE(grandchild.exitedWithin(200ms)) << "a signal went to the group after the reap";
}

struct FailureCase {
  const char* name;
  // Prepares the directory and returns the executable and working directory to launch.
  std::function<std::pair<std::filesystem::path, std::filesystem::path>(
      const std::filesystem::path&)>
      prepare;
  // What the description must say, with <dir> standing for the temporary directory.
  const char* expected;
};

void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.name; }

class LaunchFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(LaunchFailure, IsDescribedAndNeverReported) {
  TemporaryDirectory directory;
  const auto [executable, workingDirectory] = GetParam().prepare(directory.path());
  auto record = HandlerRecord::make();
  ProcessDescription description;
  description.executableURL = executable;
  description.currentDirectoryURL = workingDirectory;
  description.terminationHandler = record->handler();

  const LaunchResult result = spawnProcess(std::move(description));
  EXPECT_FALSE(result.process);
  std::string expected = GetParam().expected;
  expected.replace(expected.find("<dir>"), 5, directory.path().string());
  EXPECT_EQ(result.localizedDescription, expected);
  // The handler is gone with the failed launch, never having been called.
  EXPECT_TRUE(record->released());
  EXPECT_EQ(record->calls(), 0);
}

std::filesystem::path script(const std::filesystem::path& path, const std::string& text,
                             unsigned mode) {
  testing::writeFile(path, text, std::filesystem::perms(mode));
  return path;
}

INSTANTIATE_TEST_SUITE_P(
    Described, LaunchFailure,
    ::testing::Values(
        FailureCase{"missing_executable",
                    [](const auto& d) { return std::pair{d / "python/bin/python3", d}; },
                    "The file \u201C<dir>/python/bin/python3\u201D doesn't exist."},
        FailureCase{"dangling_link",
                    [](const auto& d) {
                      std::filesystem::create_symlink(d / "gone", d / "python3");
                      return std::pair{d / "python3", d};
                    },
                    "The file \u201C<dir>/python3\u201D doesn't exist."},
        FailureCase{"not_executable",
                    [](const auto& d) {
                      return std::pair{script(d / "run", "#!/bin/sh\n", 0644), d};
                    },
                    "The file \u201C<dir>/run\u201D is not executable."},
        FailureCase{"directory_as_executable",
                    [](const auto& d) { return std::pair{d, d}; },
                    "The file \u201C<dir>\u201D is a directory."},
        FailureCase{"not_a_program",
                    [](const auto& d) {
                      return std::pair{script(d / "run", "just text\n", 0755), d};
                    },
                    "The file \u201C<dir>/run\u201D is not in a format this system can run."},
        FailureCase{"missing_interpreter",
                    [](const auto& d) {
                      return std::pair{script(d / "run", "#!/nonexistent/python -u\n", 0755), d};
                    },
                    "The file \u201C<dir>/run\u201D names the interpreter "
                    "\u201C/nonexistent/python\u201D, which doesn't exist."},
        FailureCase{"missing_working_directory",
                    [](const auto& d) {
                      return std::pair{std::filesystem::path("/bin/true"), d / "lumivane"};
                    },
                    "The working directory \u201C<dir>/lumivane\u201D doesn't exist."},
        FailureCase{"file_as_working_directory",
                    [](const auto& d) {
                      return std::pair{std::filesystem::path("/bin/true"),
                                       script(d / "lumivane", "", 0644)};
                    },
                    "The working directory \u201C<dir>/lumivane\u201D is not a directory."}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace lumivane::posix
