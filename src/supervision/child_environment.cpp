#include "supervision/child_environment.h"

#include <string>

namespace lumivane {

Environment childEnvironment(Environment environment, const std::filesystem::path& modelsPath) {
  std::string models = modelsPath.lexically_normal().string();
  while (models.size() > 1 && models.back() == '/') models.pop_back();

  environment["PYTHONNOUSERSITE"] = "1";
  environment["PYTHONDONTWRITEBYTECODE"] = "1";
  environment["LUMIVANE_MODELS"] = models;
  environment["LUMIVANE_LAUNCHER"] = "1";
  environment.erase("PYTHONPATH");
  environment.erase("PYTHONHOME");
  return environment;
}

}  // namespace lumivane
