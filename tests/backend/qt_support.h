// Shared pieces of the desktop backend tests: a temporary directory, a private session bus,
// running the event loop until something happened, a child process with a line-based pipe
// from its output, and the one platform of the test process.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>

#include "platform/platform.h"

extern char** environ;

namespace lumivane::qt::testing {

// Generous: these bound a hang; they measure nothing.
inline constexpr std::chrono::seconds kPatience{20};

// The platform made once for the whole test process (one application object per process),
// with QT_QPA_PLATFORM=offscreen, a private session bus, and a recording opener first on PATH.
Platform& desktop();
// The bus address the platform talks to.
const std::string& desktopBusAddress();
// The FIFO to which the recording opener (our xdg-open) writes its arguments, one line per call.
int openerLog();

// A fresh directory, removed with everything in it afterwards.
class TemporaryDirectory {
 public:
  TemporaryDirectory() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/lumivane-qt-XXXXXX";
    if (::mkdtemp(pattern.data())) path_ = std::filesystem::canonical(pattern);
  }
  ~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

inline void writeFile(const std::filesystem::path& path, const std::string& contents) {
  std::ofstream(path, std::ios::binary) << contents;
}

// Runs the event loop until `done` holds or `patience` has passed; true when it holds. Only
// what reaches the event loop (events, timers, watched descriptors) wakes it up.
inline bool spinUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds patience = kPatience) {
  QTimer deadline;
  deadline.setSingleShot(true);
  deadline.start(patience);
  while (!done()) {
    if (!deadline.isActive()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
  return true;
}

// Runs the event loop for a while, for checks that something does NOT happen afterwards.
inline void spinFor(std::chrono::milliseconds span) {
  spinUntil([] { return false; }, span);
}

// Reads lines from a descriptor, waiting with poll (or with the event loop running).
class LineReader {
 public:
  explicit LineReader(int descriptor) : descriptor_(descriptor) {}

  // The next line without its newline; empty once the writer has closed or time ran out.
  std::optional<std::string> next(std::chrono::milliseconds patience = kPatience,
                                  bool runEventLoop = false) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    for (;;) {
      if (auto line = takeLine()) return line;
      if (closed_) return std::nullopt;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      if (runEventLoop) {
        QSocketNotifier notifier(descriptor_, QSocketNotifier::Read);
        bool readable = false;
        QObject::connect(&notifier, &QSocketNotifier::activated, [&] { readable = true; });
        spinUntil([&] { return readable; }, left);
      } else {
        pollfd watch{descriptor_, POLLIN, 0};
        ::poll(&watch, 1, static_cast<int>(left.count()));
      }
      readAvailable();
    }
  }

  // Everything up to the writer's end, as lines.
  std::vector<std::string> rest(std::chrono::milliseconds patience = kPatience) {
    std::vector<std::string> lines;
    while (auto line = next(patience)) lines.push_back(*line);
    return lines;
  }

 private:
  std::optional<std::string> takeLine() {
    const auto end = buffer_.find('\n');
    if (end == std::string::npos) {
      if (closed_ && !buffer_.empty()) return std::exchange(buffer_, {});
      return std::nullopt;
    }
    std::string line = buffer_.substr(0, end);
    buffer_.erase(0, end + 1);
    return line;
  }

  void readAvailable() {
    char chunk[4096];
    for (;;) {
      const ssize_t got = ::read(descriptor_, chunk, sizeof chunk);
      if (got > 0) {
        buffer_.append(chunk, static_cast<std::size_t>(got));
        continue;
      }
      if (got == 0) closed_ = true;
      return;  // 0: closed; -1 with EAGAIN: nothing more for now
    }
  }

  int descriptor_;
  std::string buffer_;
  bool closed_ = false;
};

// A child process started with exactly the environment given, its standard output on a pipe.
class Child {
 public:
  Child(const std::string& program, const std::vector<std::string>& arguments,
        const Environment& environment) {
    int pipeEnds[2];
    int inputEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) return;
    if (::pipe2(inputEnds, O_CLOEXEC) != 0) return;
    std::vector<std::string> argvStrings{program};
    argvStrings.insert(argvStrings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& s : argvStrings) argv.push_back(s.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStrings;
    for (const auto& [name, value] : environment) envStrings.push_back(name + "=" + value);
    // A sanitizer build's children report under the same options (suppressions, exit
    // codes) as the test itself.
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"}) {
      const char* value = std::getenv(name);
      if (value && !environment.contains(name)) envStrings.push_back(std::string(name) + "=" + value);
    }
    std::vector<char*> envp;
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
    // fork rather than posix_spawn, for PR_SET_PDEATHSIG: a test killed on a timeout takes
    // its children (a bus daemon, instances of the test program) with it. Only calls that
    // are safe in the child of a threaded process run between fork and exec.
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(127);
      ::dup2(pipeEnds[1], STDOUT_FILENO);
      ::dup2(inputEnds[0], STDIN_FILENO);
      ::execve(program.c_str(), argv.data(), envp.data());
      ::_exit(127);
    }
    ::close(pipeEnds[1]);
    ::close(inputEnds[0]);
    input_ = inputEnds[1];
    output_ = pipeEnds[0];
    ::fcntl(output_, F_SETFL, O_NONBLOCK);
    reader_.emplace(output_);
  }

  ~Child() {
    if (pid_ > 0 && !status_) {
      ::kill(pid_, SIGKILL);
      int ignored;
      ::waitpid(pid_, &ignored, 0);
    }
    if (output_ >= 0) ::close(output_);
    if (input_ >= 0) ::close(input_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  LineReader& output() { return *reader_; }
  void signal(int number) const { ::kill(pid_, number); }
  // Writes a line to the child's standard input.
  void tell(const std::string& line) const {
    const std::string text = line + "\n";
    [[maybe_unused]] const ssize_t written = ::write(input_, text.data(), text.size());
  }

  // The wait status once the child has ended, or empty when it did not within `patience`.
  std::optional<int> waitForExit(std::chrono::milliseconds patience = kPatience) {
    if (status_) return status_;
    const int pidDescriptor = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    if (pidDescriptor >= 0) {
      pollfd watch{pidDescriptor, POLLIN, 0};
      ::poll(&watch, 1, static_cast<int>(patience.count()));
      ::close(pidDescriptor);
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
    return status_;
  }

  // As waitForExit, with this thread's event loop running meanwhile (for a child that waits
  // for an answer from this thread).
  std::optional<int> waitForExitRunningEventLoop(std::chrono::milliseconds patience = kPatience) {
    const int pidDescriptor = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    if (pidDescriptor >= 0) {
      QSocketNotifier notifier(pidDescriptor, QSocketNotifier::Read);
      bool ended = false;
      QObject::connect(&notifier, &QSocketNotifier::activated, [&] { ended = true; });
      spinUntil([&] { return ended; }, patience);
      ::close(pidDescriptor);
    }
    return waitForExit(std::chrono::milliseconds(0));
  }

 private:
  pid_t pid_ = -1;
  int output_ = -1;
  int input_ = -1;
  std::optional<LineReader> reader_;
  std::optional<int> status_;
};

// A session bus of our own: dbus-daemon with a configuration that activates nothing, so no
// service of this machine can answer in place of the test's own.
class PrivateBus {
 public:
  explicit PrivateBus(const std::filesystem::path& directory) {
    const std::filesystem::path config = directory / "bus.conf";
    writeFile(config,
              "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
              " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
              "<busconfig><type>session</type><listen>unix:dir=" +
                  directory.string() +
                  "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                  "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                  "<allow own=\"*\"/></policy></busconfig>\n");
    Environment environment{{"PATH", "/usr/bin:/bin"}};
    daemon_.emplace("/usr/bin/dbus-daemon",
                    std::vector<std::string>{"--nofork", "--nopidfile", "--print-address=1",
                                             "--config-file=" + config.string()},
                    environment);
    if (daemon_->started()) {
      if (auto line = daemon_->output().next()) address_ = *line;
    }
  }
  ~PrivateBus() {
    if (daemon_ && daemon_->started()) {
      daemon_->signal(SIGTERM);
      daemon_->waitForExit();
    }
  }

  static bool available() { return ::access("/usr/bin/dbus-daemon", X_OK) == 0; }
  // Empty when the daemon did not come up.
  const std::string& address() const { return address_; }

 private:
  std::optional<Child> daemon_;
  std::string address_;
};

}  // namespace lumivane::qt::testing
