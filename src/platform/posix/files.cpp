// The file manager on POSIX calls. Every call returns a result instead of throwing; the
// std::filesystem calls use their error_code overloads.
#include "platform/posix/files.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>
#include <vector>

namespace lumivane::posix {

namespace fs = std::filesystem;

DescriptorFile::DescriptorFile(int descriptor) : descriptor_(descriptor) {}

DescriptorFile::~DescriptorFile() {
  // close is not retried on EINTR: on Linux the descriptor is released either way.
  if (descriptor_ >= 0) ::close(descriptor_);
}

bool DescriptorFile::seekToEndOfFile() { return ::lseek(descriptor_, 0, SEEK_END) >= 0; }

bool DescriptorFile::writeData(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(descriptor_, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

fs::path xdgBaseDirectory(const Environment& environment, const std::string& variable,
                          const fs::path& defaultUnderHome, const fs::path& home) {
  const auto found = environment.find(variable);
  if (found != environment.end()) {
    fs::path value(found->second);
    if (value.is_absolute()) return value;
  }
  return home / defaultUnderHome;
}

namespace {

// HOME when set and not empty, else the password database's entry for this user; empty when
// neither is known.
fs::path homeDirectory(const Environment& environment) {
  const auto home = environment.find("HOME");
  if (home != environment.end() && !home->second.empty()) return fs::path(home->second);
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* result = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result &&
      result->pw_dir) {
    return fs::path(result->pw_dir);
  }
  return {};
}

// Opens `path` with `flags`, retrying on EINTR. -1 on failure.
int openRetrying(const fs::path& path, int flags, mode_t mode = 0) {
  int descriptor;
  do {
    descriptor = ::open(path.c_str(), flags, mode);
  } while (descriptor < 0 && errno == EINTR);
  return descriptor;
}

bool isRegularFile(int descriptor, struct stat* status) {
  return ::fstat(descriptor, status) == 0 && S_ISREG(status->st_mode);
}

class PosixFileManager : public FileManager {
 public:
  explicit PosixFileManager(Environment environment) : environment_(std::move(environment)) {}

  std::vector<fs::path> urlsForDirectory(SearchPathDirectory directory,
                                         SearchPathDomain domain) override {
    if (domain != SearchPathDomain::User) return {};
    const fs::path home = homeDirectory(environment_);
    fs::path found;
    switch (directory) {
      case SearchPathDirectory::ApplicationSupport:
        found = xdgBaseDirectory(environment_, "XDG_DATA_HOME", ".local/share", home);
        break;
      case SearchPathDirectory::Library:
        found = xdgBaseDirectory(environment_, "XDG_STATE_HOME", ".local/state", home);
        break;
    }
    // Without a home the default would be relative to wherever the launcher happens to run.
    if (!found.is_absolute()) return {};
    return {found};
  }

  bool createDirectory(const fs::path& path, bool withIntermediates) override {
    std::error_code error;
    if (withIntermediates) {
      fs::create_directories(path, error);
    } else {
      fs::create_directory(path, error);
    }
    return fs::is_directory(path, error);
  }

  bool fileExistsAtPath(const fs::path& path) override {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
  }

  bool createFileAtPath(const fs::path& path, std::string_view contents,
                        std::optional<unsigned> posixPermissions) override {
    // O_EXCL with O_NOFOLLOW: an existing file is left alone, and a link, dangling or not,
    // never leads to a file created elsewhere.
    const mode_t mode = posixPermissions ? static_cast<mode_t>(*posixPermissions & 07777) : 0666;
    const int descriptor =
        openRetrying(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, mode);
    if (descriptor < 0) return false;
    DescriptorFile file(descriptor);
    // The umask narrowed the mode given to open; permissions that were asked for are meant
    // exactly.
    bool written = !posixPermissions || ::fchmod(descriptor, mode) == 0;
    written = written && file.writeData(contents);
    if (!written) {
      // The file is ours (O_EXCL): take back a half-made one.
      ::unlink(path.c_str());
    }
    return written;
  }

  std::shared_ptr<FileHandle> fileHandleForWritingToURL(const fs::path& path) override {
    // O_NONBLOCK so that opening a FIFO without a reader fails at once instead of waiting for
    // one; it is cleared again once the file is known to be a regular file.
    const int descriptor =
        openRetrying(path, O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (descriptor < 0) return nullptr;
    auto file = std::make_shared<DescriptorFile>(descriptor);
    struct stat status {};
    if (!isRegularFile(descriptor, &status)) return nullptr;
    const int flags = ::fcntl(descriptor, F_GETFL);
    if (flags < 0 || ::fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) < 0) return nullptr;
    return file;
  }

  std::optional<std::string> contentsOfFile(const fs::path& path, std::size_t maxBytes) override {
    // O_NONBLOCK: opening a FIFO for reading must not wait for a writer.
    const int descriptor = openRetrying(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (descriptor < 0) return std::nullopt;
    DescriptorFile file(descriptor);
    struct stat status {};
    if (!isRegularFile(descriptor, &status)) return std::nullopt;
    if (static_cast<std::uintmax_t>(status.st_size) > maxBytes) return std::nullopt;
    // The file may grow between fstat and read: read one byte past the limit to notice.
    std::string contents;
    std::vector<char> buffer(64 * 1024);
    while (contents.size() <= maxBytes) {
      const ssize_t got = ::read(descriptor, buffer.data(), buffer.size());
      if (got < 0) {
        if (errno == EINTR) continue;
        return std::nullopt;
      }
      if (got == 0) return contents;
      contents.append(buffer.data(), static_cast<std::size_t>(got));
    }
    return std::nullopt;
  }

 private:
  Environment environment_;
};

}  // namespace

std::unique_ptr<FileManager> makeFileManager(Environment environment) {
  return std::make_unique<PosixFileManager>(std::move(environment));
}

}  // namespace lumivane::posix
