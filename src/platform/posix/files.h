// The file manager and file handles of the desktop backend, on plain POSIX calls.
//
// The server log is the one file the launcher writes, and a child inherits it as its standard
// output and error; so the handle here is a bare descriptor that spawnProcess can hand on, and
// every open refuses what is not a regular file, so that a FIFO or a device at a path can
// neither block the main thread nor swallow the log.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace lumivane::posix {

// An open file descriptor as a FileHandle. Owns the descriptor and closes it when destroyed.
class DescriptorFile : public FileHandle {
 public:
  // Takes ownership of `descriptor`, which must be open.
  explicit DescriptorFile(int descriptor);
  DescriptorFile(const DescriptorFile&) = delete;
  DescriptorFile& operator=(const DescriptorFile&) = delete;
  ~DescriptorFile() override;

  // The descriptor, for giving it to a child; it stays owned by this object.
  int descriptor() const { return descriptor_; }

  // lseek to the end. False on an error.
  bool seekToEndOfFile() override;
  // Writes every byte, going on after partial writes and interruptions. False on an error.
  bool writeData(std::string_view bytes) override;

 private:
  int descriptor_;
};

// The user directory named by an XDG base-directory variable: its value when that is an
// absolute path, otherwise (unset, empty or relative, which the XDG rules say to ignore)
// `home` joined with `defaultUnderHome`.
std::filesystem::path xdgBaseDirectory(const Environment& environment, const std::string& variable,
                                       const std::filesystem::path& defaultUnderHome,
                                       const std::filesystem::path& home);

// The file manager for this user. `environment` is the launcher's own; it decides the user
// directories (HOME, XDG_DATA_HOME for application support, XDG_STATE_HOME for the library).
std::unique_ptr<FileManager> makeFileManager(Environment environment);

}  // namespace lumivane::posix
