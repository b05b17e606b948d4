// Shared pieces of the POSIX backend tests: a temporary directory, a termination handler that
// records its calls, and reading a child's output from a pipe with a generous deadline.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "platform/posix/files.h"

namespace lumivane::posix::testing {

// Generous: these bound a hang, they do not measure anything.
inline constexpr std::chrono::seconds kPatience{30};

// A fresh directory, removed with everything in it afterwards.
class TemporaryDirectory {
 public:
  TemporaryDirectory() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/lumivane-posix-XXXXXX";
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

// What a termination handler saw. Its `handler()` holds the record; `released` turns true once
// the process has dropped the handler, so a test can tell "not called" from "not yet called".
class HandlerRecord : public std::enable_shared_from_this<HandlerRecord> {
 public:
  static std::shared_ptr<HandlerRecord> make() { return std::make_shared<HandlerRecord>(); }

  TerminationHandler handler() {
    auto token = std::make_shared<ReleaseToken>(weak_from_this());
    return [self = shared_from_this(), token](std::shared_ptr<Process> process) {
      std::lock_guard lock(self->mutex_);
      ++self->calls_;
      self->thread_ = std::this_thread::get_id();
      self->sawRunning_ = process && process->isRunning();
      self->status_ = process ? process->terminationStatus() : -1000;
      self->changed_.notify_all();
    };
  }

  // Waits until the handler has been called and then released by the process.
  bool waitUntilDone(std::chrono::seconds patience = kPatience) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, patience, [&] { return calls_ > 0 && released_; });
  }
  int calls() const { std::lock_guard lock(mutex_); return calls_; }
  bool released() const { std::lock_guard lock(mutex_); return released_; }
  std::thread::id thread() const { std::lock_guard lock(mutex_); return thread_; }
  int status() const { std::lock_guard lock(mutex_); return status_; }
  bool sawRunning() const { std::lock_guard lock(mutex_); return sawRunning_; }

 private:
  struct ReleaseToken {
    explicit ReleaseToken(std::weak_ptr<HandlerRecord> record) : record(std::move(record)) {}
    ~ReleaseToken() {
      if (auto self = record.lock()) {
        std::lock_guard lock(self->mutex_);
        self->released_ = true;
        self->changed_.notify_all();
      }
    }
    std::weak_ptr<HandlerRecord> record;
  };

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  int calls_ = 0;
  bool released_ = false;
  bool sawRunning_ = false;
  std::thread::id thread_;
  int status_ = -1000;
};

// A pipe whose write end is a handle a child can be given as its output.
struct OutputPipe {
  OutputPipe() {
    int descriptors[2];
    if (::pipe2(descriptors, O_CLOEXEC) == 0) {
      readEnd = descriptors[0];
      writeEnd = std::make_shared<DescriptorFile>(descriptors[1]);
    }
  }
  ~OutputPipe() {
    if (readEnd >= 0) ::close(readEnd);
  }
  OutputPipe(const OutputPipe&) = delete;
  OutputPipe& operator=(const OutputPipe&) = delete;

  // Reads until `marker` has arrived (returned with it), the writers are gone or patience
  // runs out (returned as far as it got).
  std::string readUntil(const std::string& marker, std::chrono::seconds patience = kPatience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (buffered.find(marker) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd watched{readEnd, POLLIN, 0};
      if (::poll(&watched, 1, static_cast<int>(left.count())) <= 0) continue;
      char chunk[4096];
      const ssize_t got = ::read(readEnd, chunk, sizeof chunk);
      if (got <= 0) break;
      buffered.append(chunk, static_cast<std::size_t>(got));
    }
    const auto at = buffered.find(marker);
    if (at == std::string::npos) return std::exchange(buffered, {});
    std::string line = buffered.substr(0, at + marker.size());
    buffered.erase(0, at + marker.size());
    return line;
  }

  int readEnd = -1;
  std::shared_ptr<DescriptorFile> writeEnd;
  std::string buffered;
};

// The probe child's last line; its line break before it keeps a path ending in "end" apart.
inline const std::string kReportEnd = "\nend\n";

// A signal mask from /proc/<pid>/status without glibc's two internal signals (32 and 33, the
// thread-cancellation and set-id signals). glibc's posix_spawn sets those to SIG_IGN in the
// child it clones, and the exec keeps that; every glibc program installs its own handlers for
// them at startup, and no other program can see them.
inline unsigned long long withoutLibcSignals(const std::string& hexMask) {
  const unsigned long long mask = std::stoull(hexMask, nullptr, 16);
  return mask & ~((1ULL << (32 - 1)) | (1ULL << (33 - 1)));
}

// Runs `cleanup` when the scope ends, also when an assertion returned early: a child left
// running would hold the test runner's output pipe open.
class ScopeExit {
 public:
  explicit ScopeExit(std::function<void()> cleanup) : cleanup_(std::move(cleanup)) {}
  ~ScopeExit() {
    if (cleanup_) cleanup_();
  }
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;

 private:
  std::function<void()> cleanup_;
};

// The probe child's report, key to values in order.
using Report = std::multimap<std::string, std::string>;

inline Report parseReport(const std::string& text) {
  Report report;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const auto tab = line.find('\t');
    report.emplace(line.substr(0, tab), tab == std::string::npos ? "" : line.substr(tab + 1));
  }
  return report;
}

inline std::vector<std::string> valuesOf(const Report& report, const std::string& key) {
  std::vector<std::string> values;
  const auto [begin, end] = report.equal_range(key);
  for (auto it = begin; it != end; ++it) values.push_back(it->second);
  return values;
}

inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

inline void writeFile(const std::filesystem::path& path, const std::string& contents,
                      std::filesystem::perms permissions = std::filesystem::perms(0644)) {
  std::ofstream(path, std::ios::binary) << contents;
  std::filesystem::permissions(path, permissions);
}

inline unsigned modeOf(const std::filesystem::path& path) {
  struct stat status {};
  ::lstat(path.c_str(), &status);
  return status.st_mode & 07777;
}

// Sets the umask for one scope.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : previous_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(previous_); }
  ScopedUmask(const ScopedUmask&) = delete;
  ScopedUmask& operator=(const ScopedUmask&) = delete;

 private:
  mode_t previous_;
};

// Points this process's descriptor `target` at `file` for one scope, so that what a child
// inherits can be read back.
class ScopedRedirect {
 public:
  ScopedRedirect(int target, const std::filesystem::path& file) : target_(target) {
    saved_ = ::dup(target);
    const int opened = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    ::dup2(opened, target);
    ::close(opened);
  }
  ~ScopedRedirect() {
    ::dup2(saved_, target_);
    ::close(saved_);
  }
  ScopedRedirect(const ScopedRedirect&) = delete;
  ScopedRedirect& operator=(const ScopedRedirect&) = delete;

 private:
  int target_;
  int saved_;
};

// A description of `/bin/sh -c script` with an empty environment but PATH.
inline ProcessDescription shell(const std::string& script) {
  ProcessDescription description;
  description.executableURL = "/bin/sh";
  description.arguments = {"-c", script};
  description.environment = {{"PATH", "/usr/bin:/bin"}};
  return description;
}

}  // namespace lumivane::posix::testing
