// The hand-off file is read afresh at every navigation, within a size limit.
#include <fstream>

#include "scenario.h"

namespace lumivane::scenario {
namespace {

using ::testing::ElementsAre;

class Navigation : public Scenario {
 protected:
  void SetUp() override {
    fake.setHttpScript(always(FakeHttpAnswer::withStatus(200)));
    launchApp();  // reuse: opens "/" once
  }
  std::string openMain() {
    EXPECT_TRUE(fake.chooseMenuItem("Open Lumivane"));
    fake.runUntilIdle();
    return fake.openedURLs().back().url;
  }
};

TEST_F(Navigation, FollowsTheFileAsTheServedApplicationRewritesIt) {
  writeHandOff(R"({"url": "http://localhost:8000/enter?token=first"})");
  EXPECT_EQ(openMain(), "http://localhost:8000/enter?token=first&next=/");
  writeHandOff(R"({"url": "http://localhost:8000/enter?token=second"})");
  EXPECT_EQ(openMain(), "http://localhost:8000/enter?token=second&next=/");
  writeHandOff("{}");
  EXPECT_EQ(openMain(), "http://localhost:8000/");
  writeHandOff(R"({"url": "http://localhost:8000/enter?token=third"})");
  EXPECT_EQ(openMain(), "http://localhost:8000/enter?token=third&next=/");
  std::filesystem::remove(handOffPath());
  EXPECT_EQ(openMain(), "http://localhost:8000/");
}

TEST_F(Navigation, AFileOver64KiBIsIgnored) {
  const std::string object = R"({"url": "http://localhost:8000/enter?token=big"})";
  writeHandOff(object + std::string(64 * 1024 - object.size(), ' '));
  EXPECT_EQ(openMain(), "http://localhost:8000/enter?token=big&next=/");
  writeHandOff(object + std::string(64 * 1024 - object.size() + 1, ' '));
  EXPECT_EQ(openMain(), "http://localhost:8000/");
}

TEST_F(Navigation, ADirectoryAtTheFilesPlaceMeansDirect) {
  std::filesystem::create_directories(handOffPath());
  EXPECT_EQ(openMain(), "http://localhost:8000/");
}

}  // namespace
}  // namespace lumivane::scenario
