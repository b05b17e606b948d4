// Child processes on posix_spawn, each with a reaper thread of its own.
//
// The reaper first waits for the exit without reaping (WNOWAIT), so that while the pid is still
// reserved it can mark the child as gone under the same lock that `interrupt` and `terminate`
// take; only then does it reap. A signal is therefore never sent to a pid that the system may
// already have given to another process.
#include "platform/posix/process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/posix/files.h"

namespace lumivane::posix {

namespace fs = std::filesystem;

int decodeWaitStatus(int waitStatus) {
  if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
  if (WIFSIGNALED(waitStatus)) return WTERMSIG(waitStatus);
  return -1;
}

namespace {

class PosixProcess : public Process {
 public:
  PosixProcess(pid_t pid, ProcessDescription description)
      : pid_(pid),
        standardOutput_(std::move(description.standardOutput)),
        standardError_(std::move(description.standardError)),
        terminationHandler_(std::move(description.terminationHandler)) {}

  bool isRunning() const override { return running_.load(std::memory_order_acquire); }
  void interrupt() override { signalGroup(SIGINT); }
  void terminate() override { signalGroup(SIGTERM); }
  int terminationStatus() const override {
    return terminationStatus_.load(std::memory_order_acquire);
  }

  // The reaper thread's work: wait for the child, record how it ended, tell the handler.
  static void reap(std::shared_ptr<PosixProcess> self) {
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(self->pid_), &info, WEXITED | WNOWAIT) < 0 &&
           errno == EINTR) {
    }
    {
      std::lock_guard lock(self->signalMutex_);
      self->reaped_ = true;
    }
    int waitStatus = 0;
    pid_t waited;
    do {
      waited = ::waitpid(self->pid_, &waitStatus, 0);
    } while (waited < 0 && errno == EINTR);
    // Someone else reaped the child (SIGCHLD ignored, or a waitpid(-1) elsewhere): all that
    // is known is that it is gone.
    const int status = waited == self->pid_ ? decodeWaitStatus(waitStatus) : -1;
    self->terminationStatus_.store(status, std::memory_order_release);
    self->running_.store(false, std::memory_order_release);

    // Called once, then dropped, so that whatever the handler holds is released with it.
    TerminationHandler handler = std::move(self->terminationHandler_);
    self->terminationHandler_ = nullptr;
    if (handler) {
      try {
        handler(self);
      } catch (...) {
        // Nobody on this thread could act on it; the process outcome is already recorded.
      }
    }
  }

 private:
  void signalGroup(int signalNumber) {
    std::lock_guard lock(signalMutex_);
    if (reaped_) return;
    // The child leads its own group: this reaches whatever it started too.
    ::kill(-pid_, signalNumber);
  }

  const pid_t pid_;
  // Held for the child's sake: the descriptors live as long as this object.
  std::shared_ptr<FileHandle> standardOutput_;
  std::shared_ptr<FileHandle> standardError_;
  TerminationHandler terminationHandler_;
  std::atomic<bool> running_{true};
  std::atomic<int> terminationStatus_{0};
  std::mutex signalMutex_;
  bool reaped_ = false;
};

std::string inQuotes(const fs::path& path) { return "\u201C" + path.string() + "\u201D"; }

// The interpreter named on a "#!" first line, or empty.
std::string shebangInterpreter(const fs::path& executable) {
  std::ifstream file(executable, std::ios::binary);
  std::string line;
  if (!file || !std::getline(file, line) || line.rfind("#!", 0) != 0) return {};
  const auto begin = line.find_first_not_of(" \t", 2);
  if (begin == std::string::npos) return {};
  const auto end = line.find_first_of(" \t\r", begin);
  return line.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

// Words a failed posix_spawn for a person. The spawn reports the errno of whatever failed in
// the child, the change of directory or the exec, without saying which; the paths themselves
// tell.
std::string describeSpawnFailure(int error, const fs::path& executable,
                                 const fs::path& workingDirectory) {
  struct stat status {};
  // The change of directory comes before the exec: a bad directory is what failed first.
  if (!workingDirectory.empty()) {
    if (::stat(workingDirectory.c_str(), &status) != 0) {
      if (errno == ENOENT || errno == ENOTDIR) {
        return "The working directory " + inQuotes(workingDirectory) + " doesn't exist.";
      }
      return "The working directory " + inQuotes(workingDirectory) +
             " can't be reached: " + std::strerror(errno) + ".";
    }
    if (!S_ISDIR(status.st_mode)) {
      return "The working directory " + inQuotes(workingDirectory) + " is not a directory.";
    }
    if (::access(workingDirectory.c_str(), X_OK) != 0) {
      return "The working directory " + inQuotes(workingDirectory) + " can't be entered: " +
             std::strerror(errno) + ".";
    }
  }
  if (::stat(executable.c_str(), &status) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      return "The file " + inQuotes(executable) + " doesn't exist.";
    }
    return "The file " + inQuotes(executable) + " can't be reached: " + std::strerror(errno) + ".";
  }
  if (S_ISDIR(status.st_mode)) return "The file " + inQuotes(executable) + " is a directory.";
  if (error == EACCES) return "The file " + inQuotes(executable) + " is not executable.";
  if (error == ENOEXEC) {
    return "The file " + inQuotes(executable) + " is not in a format this system can run.";
  }
  if (error == ENOENT) {
    // The file is there, so what is missing is the interpreter it names.
    const std::string interpreter = shebangInterpreter(executable);
    if (!interpreter.empty()) {
      return "The file " + inQuotes(executable) + " names the interpreter " +
             inQuotes(interpreter) + ", which doesn't exist.";
    }
  }
  return "The file " + inQuotes(executable) + " couldn't be started: " + std::strerror(error) + ".";
}

// posix_spawn's attribute and file-action objects, destroyed on every path out.
struct SpawnSettings {
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_t actions;
  SpawnSettings() {
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_init(&actions);
  }
  ~SpawnSettings() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  SpawnSettings(const SpawnSettings&) = delete;
  SpawnSettings& operator=(const SpawnSettings&) = delete;
};

// The descriptor behind a handle this backend made, or -1 to inherit.
int descriptorOf(const std::shared_ptr<FileHandle>& handle) {
  const auto* file = dynamic_cast<const DescriptorFile*>(handle.get());
  return file ? file->descriptor() : -1;
}

}  // namespace

LaunchResult spawnProcess(ProcessDescription description) {
  // The exec happens after the change of directory; a relative executable still means one
  // relative to the launcher's own directory.
  std::error_code pathError;
  const fs::path executable = fs::absolute(description.executableURL, pathError);
  if (pathError) {
    return {nullptr, "The file " + inQuotes(description.executableURL) + " couldn't be found: " +
                         pathError.message() + "."};
  }

  SpawnSettings settings;
  // A launcher started from a non-interactive shell inherits SIGINT ignored; the child must
  // not, or the graceful stop's SIGINT would do nothing. Handlers are reset by exec anyway,
  // ignored signals and the mask are not.
  sigset_t allSignals;
  sigfillset(&allSignals);
  sigset_t noSignals;
  sigemptyset(&noSignals);
  posix_spawnattr_setsigdefault(&settings.attributes, &allSignals);
  posix_spawnattr_setsigmask(&settings.attributes, &noSignals);
  posix_spawnattr_setpgroup(&settings.attributes, 0);
  posix_spawnattr_setflags(&settings.attributes,
                           POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

  if (!description.currentDirectoryURL.empty()) {
    posix_spawn_file_actions_addchdir_np(&settings.actions,
                                         description.currentDirectoryURL.c_str());
  }
  // dup2 clears close-on-exec on the copy; both streams may share one open file.
  if (const int output = descriptorOf(description.standardOutput); output >= 0) {
    posix_spawn_file_actions_adddup2(&settings.actions, output, STDOUT_FILENO);
  }
  if (const int error = descriptorOf(description.standardError); error >= 0) {
    posix_spawn_file_actions_adddup2(&settings.actions, error, STDERR_FILENO);
  }
  // Whatever else the launcher has open, with or without close-on-exec, stays behind.
  posix_spawn_file_actions_addclosefrom_np(&settings.actions, STDERR_FILENO + 1);

  std::vector<std::string> argumentStrings;
  argumentStrings.reserve(description.arguments.size() + 1);
  argumentStrings.push_back(description.executableURL.string());
  for (auto& argument : description.arguments) argumentStrings.push_back(std::move(argument));
  std::vector<char*> argv;
  for (auto& argument : argumentStrings) argv.push_back(argument.data());
  argv.push_back(nullptr);

  std::vector<std::string> environmentStrings;
  for (const auto& [name, value] : description.environment) {
    environmentStrings.push_back(name + "=" + value);
  }
  std::vector<char*> envp;
  for (auto& entry : environmentStrings) envp.push_back(entry.data());
  envp.push_back(nullptr);

  pid_t pid = -1;
  const int spawnError = ::posix_spawn(&pid, executable.c_str(), &settings.actions,
                                       &settings.attributes, argv.data(), envp.data());
  if (spawnError != 0) {
    return {nullptr, describeSpawnFailure(spawnError, executable,
                                          description.currentDirectoryURL)};
  }

  auto process = std::make_shared<PosixProcess>(pid, std::move(description));
  try {
    // The thread holds the process until the handler has run; detached, so nothing is left to
    // join when the process object goes.
    std::thread(&PosixProcess::reap, process).detach();
  } catch (const std::system_error& error) {
    // Without a reaper nobody would ever notice the exit: take the child back down.
    ::kill(-pid, SIGKILL);
    int ignored;
    while (::waitpid(pid, &ignored, 0) < 0 && errno == EINTR) {
    }
    return {nullptr, "The file " + inQuotes(executable) +
                         " was started but can't be watched: " + error.what() + "."};
  }
  return {std::move(process), {}};
}

}  // namespace lumivane::posix
