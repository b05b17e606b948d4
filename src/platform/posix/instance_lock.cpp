// The instance lock on flock. flock, unlike fcntl record locks, belongs to the open file
// description: two opens in one process exclude each other too, and closing an unrelated
// descriptor for the same file does not drop it.
#include "platform/posix/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace lumivane::posix {

std::optional<InstanceLock> InstanceLock::acquire(const std::filesystem::path& lockFile) {
  int descriptor;
  do {
    descriptor = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0) return std::nullopt;
  int locked;
  do {
    locked = ::flock(descriptor, LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    ::close(descriptor);
    return std::nullopt;
  }
  return InstanceLock(descriptor);
}

InstanceLock::InstanceLock(InstanceLock&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1)) {}

InstanceLock& InstanceLock::operator=(InstanceLock&& other) noexcept {
  if (this != &other) {
    if (descriptor_ >= 0) ::close(descriptor_);
    descriptor_ = std::exchange(other.descriptor_, -1);
  }
  return *this;
}

InstanceLock::~InstanceLock() {
  if (descriptor_ >= 0) ::close(descriptor_);
}

}  // namespace lumivane::posix
