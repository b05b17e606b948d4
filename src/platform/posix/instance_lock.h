// The single-instance lock: an exclusive flock on a file. The kernel drops it when the holder
// dies in any way, kill -9 included, so there is never a stale lock to clean up.
#pragma once

#include <filesystem>
#include <optional>

namespace lumivane::posix {

class InstanceLock {
 public:
  // Creates `lockFile` if needed (mode 0600) and locks it without waiting. Empty when another
  // holder has it, or when the file cannot be opened.
  static std::optional<InstanceLock> acquire(const std::filesystem::path& lockFile);

  InstanceLock(InstanceLock&& other) noexcept;
  InstanceLock& operator=(InstanceLock&& other) noexcept;
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;
  // Releases the lock.
  ~InstanceLock();

 private:
  explicit InstanceLock(int descriptor) : descriptor_(descriptor) {}
  int descriptor_ = -1;
};

}  // namespace lumivane::posix
