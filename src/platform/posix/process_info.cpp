#include "platform/posix/process_info.h"

#include <string>
#include <string_view>
#include <system_error>

extern char** environ;

namespace lumivane::posix {

Environment processEnvironment() {
  Environment env;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const auto equals = text.find('=');
    if (equals == std::string_view::npos || equals == 0) continue;
    env.emplace(std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)));
  }
  return env;
}

std::filesystem::path bundleResourceDirectory() {
  std::error_code error;
  const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
  const std::filesystem::path resources = executable.parent_path() / ".." / "share" / "lumivane";
  std::filesystem::path canonical = std::filesystem::weakly_canonical(resources, error);
  return error ? resources.lexically_normal() : canonical;
}

}  // namespace lumivane::posix
