// The child's environment: the launcher's own, with the interpreter kept away from the user's
// Python set-up and told where the models are.
#include "supervision/child_environment.h"

#include <gtest/gtest.h>

namespace lumivane {
namespace {

TEST(ChildEnvironment, AppliesTheSixChangesAndPassesTheRestThrough) {
  const Environment launcher = {
      {"PATH", "/usr/bin:/bin"},
      {"HOME", "/home/u"},
      {"LANG", "C.UTF-8"},
      {"EMPTY", ""},
      {"PYTHONPATH", "/home/u/lib/python"},
      {"PYTHONHOME", "/opt/python"},
      {"PYTHONNOUSERSITE", "0"},
      {"PYTHONDONTWRITEBYTECODE", ""},
      {"LUMIVANE_MODELS", "/elsewhere/models"},
      {"LUMIVANE_LAUNCHER", "0"},
      {"PYTHONUNBUFFERED", "1"},
  };
  const Environment expected = {
      {"PATH", "/usr/bin:/bin"},
      {"HOME", "/home/u"},
      {"LANG", "C.UTF-8"},
      {"EMPTY", ""},
      {"PYTHONNOUSERSITE", "1"},
      {"PYTHONDONTWRITEBYTECODE", "1"},
      {"LUMIVANE_MODELS", "/opt/lumivane/share/lumivane/models"},
      {"LUMIVANE_LAUNCHER", "1"},
      {"PYTHONUNBUFFERED", "1"},
  };
  EXPECT_EQ(childEnvironment(launcher, "/opt/lumivane/share/lumivane/models"), expected);
}

TEST(ChildEnvironment, AddsTheFourVariablesToAnEmptyEnvironment) {
  const Environment expected = {
      {"PYTHONNOUSERSITE", "1"},
      {"PYTHONDONTWRITEBYTECODE", "1"},
      {"LUMIVANE_MODELS", "/b/models"},
      {"LUMIVANE_LAUNCHER", "1"},
  };
  EXPECT_EQ(childEnvironment({}, "/b/models"), expected);
}

TEST(ChildEnvironment, ModelsIsAPlainPathWithoutTrailingSeparator) {
  const struct {
    const char* given;
    const char* expected;
  } cases[] = {
      {"/opt/b/share/lumivane/models", "/opt/b/share/lumivane/models"},
      {"/opt/b/share/lumivane/models/", "/opt/b/share/lumivane/models"},
      {"/home/a b/Lumivane %20/models", "/home/a b/Lumivane %20/models"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(childEnvironment({}, c.given).at("LUMIVANE_MODELS"), c.expected) << c.given;
  }
}

}  // namespace
}  // namespace lumivane
