// What a process of the platform knows about itself: the resource directory of the bundle it
// runs from (share/lumivane beside its bin directory, however it was started) and its own
// environment.
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "qt_support.h"

namespace lumivane::qt::testing {
namespace {

// A bundle with a copy of the test program as bin/lumivane.
class Bundle : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir_ / "bundle" / "bin");
    std::filesystem::create_directories(dir_ / "bundle" / "share" / "lumivane");
    std::filesystem::copy_file(LUMIVANE_QT_TEST_APP, program());
  }

  std::filesystem::path program() const { return dir_ / "bundle" / "bin" / "lumivane"; }

  // Starts `path` and asks it one question.
  std::optional<std::string> ask(const std::filesystem::path& path, const std::string& question,
                                 Environment extra = {}) {
    Environment environment{{"PATH", "/usr/bin:/bin"},
                            {"HOME", dir_.path().string()},
                            {"XDG_RUNTIME_DIR", dir_.path().string()},
                            {"QT_QPA_PLATFORM", "offscreen"},
                            {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (dir_ / "no-bus").string()}};
    environment.merge(extra);
    Child app(path.string(), {}, environment);
    const auto launched = app.output().next();
    if (!launched || launched->rfind("launched", 0) != 0) return std::nullopt;
    app.tell(question);
    return app.output().next();
  }

  TemporaryDirectory dir_;
};

TEST_F(Bundle, ResourcesAreShareLumivaneBesideTheProgramsBinDirectory) {
  const std::string expected = "resources " + (dir_ / "bundle" / "share" / "lumivane").string();
  EXPECT_EQ(ask(program(), "resources"), expected);

  // Started through a link from elsewhere (as from a desktop's bin directory): still the bundle.
  std::filesystem::create_directories(dir_ / "elsewhere");
  std::filesystem::create_symlink(program(), dir_ / "elsewhere" / "lumivane");
  EXPECT_EQ(ask(dir_ / "elsewhere" / "lumivane", "resources"), expected);
}

TEST_F(Bundle, TheEnvironmentIsTheProcesssOwn) {
  const Environment extra{{"LUMIVANE_WITH_EQUALS", "a=b=c"}, {"LUMIVANE_EMPTY", ""}};
  EXPECT_EQ(ask(program(), "env LUMIVANE_WITH_EQUALS", extra), "env a=b=c");
  EXPECT_EQ(ask(program(), "env LUMIVANE_EMPTY", extra), "env ");
  EXPECT_EQ(ask(program(), "env HOME", extra), "env " + dir_.path().string());
  EXPECT_EQ(ask(program(), "env LUMIVANE_NOT_SET", extra), "env unset");
}

}  // namespace
}  // namespace lumivane::qt::testing
