// Facts about this process that every front end needs: its environment and its bundle.
#pragma once

#include <filesystem>

#include "platform/platform.h"

namespace lumivane::posix {

// This process's environment. Entries without a name are skipped; of a name defined twice the
// first wins, as getenv sees it.
Environment processEnvironment();

// The bundle's resource directory: share/lumivane beside the executable's bin/ directory,
// resolved from /proc/self/exe so that a symlink to the executable finds the real bundle.
std::filesystem::path bundleResourceDirectory();

}  // namespace lumivane::posix
