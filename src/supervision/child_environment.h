// The environment the server child is started with: the launcher's own, with the changes that
// keep the bundled interpreter isolated from the user's Python set-up.
#pragma once

#include <filesystem>

#include "platform/platform.h"

namespace lumivane {

// The launcher's environment with PYTHONNOUSERSITE and PYTHONDONTWRITEBYTECODE set to "1",
// LUMIVANE_MODELS set to `modelsPath` (a plain path, no trailing separator), LUMIVANE_LAUNCHER
// set to "1", and PYTHONPATH and PYTHONHOME removed. Every other variable passes unchanged.
Environment childEnvironment(Environment launcherEnvironment,
                             const std::filesystem::path& modelsPath);

}  // namespace lumivane
