// A server child that ends on its own: the unexpected-stop alert and what each choice does.
#include <csignal>

#include "scenario.h"

namespace lumivane::scenario {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class ExitStatus : public Scenario, public ::testing::WithParamInterface<int> {};

TEST_P(ExitStatus, AnyStatusBringsTheSameAlert) {
  fake.setHttpScript(answersFrom(1s, 200));
  fake.addChild(exitsAfter(10s, GetParam()));
  fake.addAlertReply(AlertReply{kAlertThirdButtonReturn});
  launchApp();
  fake.advanceBy(20s);

  ASSERT_EQ(fake.alerts().size(), 1u);
  const fake::AlertRecord& alert = fake.alerts()[0];
  EXPECT_EQ(alert.alert.messageText, kStopped);
  EXPECT_EQ(alert.alert.informativeText, kStoppedInfo);
  EXPECT_THAT(alert.alert.buttons, ElementsAre("Start Again", "Show Log", "Quit"));
  EXPECT_TRUE(alert.activatedJustBefore);
  EXPECT_EQ(msAt(alert.shownAt), 10'000);
  EXPECT_FALSE(state().hasServer);
}

INSTANTIATE_TEST_SUITE_P(Statuses, ExitStatus, ::testing::Values(0, 1, SIGINT, SIGKILL, SIGTERM));

struct ChoiceCase {
  const char* name;
  int result;
  bool revealsLog;
};

// Failures name the case, not its bytes.
void PrintTo(const ChoiceCase& c, std::ostream* os) { *os << c.name; }

class EndingChoice : public Scenario, public ::testing::WithParamInterface<ChoiceCase> {};

TEST_P(EndingChoice, EndsTheApplicationWithNoChildToStop) {
  fake.setHttpScript(answersFrom(1s, 200));
  fake.addChild(exitsAfter(10s, 1));
  fake.addAlertReply(AlertReply{GetParam().result, 4s});
  launchApp();
  fake.advanceBy(30s);

  if (GetParam().revealsLog) {
    ASSERT_EQ(fake.reveals().size(), 1u);
    EXPECT_THAT(fake.reveals()[0].urls, ElementsAre(logPath()));
    EXPECT_EQ(msAt(fake.reveals()[0].at), 14'000);
  } else {
    EXPECT_THAT(fake.reveals(), IsEmpty());
  }
  ASSERT_TRUE(fake.exited());
  EXPECT_EQ(msAt(fake.exitRecord()->at), 14'000);
  EXPECT_THAT(fake.sleeps(), IsEmpty());
  EXPECT_THAT(child(0)->signals(), IsEmpty());
  EXPECT_EQ(fake.launches().size(), 1u);
  EXPECT_THAT(alertMessages(), ElementsAre(kStopped));
}

INSTANTIATE_TEST_SUITE_P(
    Results, EndingChoice,
    ::testing::Values(ChoiceCase{"ShowLog", kAlertSecondButtonReturn, true},
                      ChoiceCase{"Quit", kAlertThirdButtonReturn, false},
                      ChoiceCase{"FourthButton", 1003, false},
                      ChoiceCase{"Zero", 0, false},
                      ChoiceCase{"Negative", -1, false}),
    [](const auto& info) { return std::string(info.param.name); });

using UnexpectedExit = Scenario;

TEST_F(UnexpectedExit, StartAgainAfterThePageWasOpenedOpensNoSecondPage) {
  fake.setHttpScript(answersFrom(1s, 200));
  fake.addChild(exitsAfter(10s, 1));
  fake.addAlertReply(AlertReply{kAlertFirstButtonReturn});
  launchApp();
  fake.advanceBy(60s);

  ASSERT_EQ(fake.launches().size(), 2u);
  EXPECT_EQ(msAt(fake.launches()[1].at), 10'000);
  EXPECT_TRUE(state().hasServer);
  EXPECT_TRUE(state().opened);
  ASSERT_EQ(fake.openedURLs().size(), 1u);
  EXPECT_EQ(msAt(fake.openedURLs()[0].at), 1'000);
  // The new wait saw the server at its first probe and ended there.
  EXPECT_EQ(msAt(fake.requests().back().sentAt), 10'000);
  EXPECT_EQ(fake.requests().back().statusCode, std::optional<int>(200));
}

TEST_F(UnexpectedExit, StartAgainAfterAChildThatNeverAnsweredOpensThePageWhenItAnswers) {
  fake.setHttpScript(answersFrom(20s, 200));
  fake.addChild(exitsAfter(10s, 1));
  fake.addAlertReply(AlertReply{kAlertFirstButtonReturn});
  launchApp();
  fake.advanceBy(60s);

  ASSERT_EQ(fake.launches().size(), 2u);
  ASSERT_EQ(fake.openedURLs().size(), 1u);
  EXPECT_EQ(fake.openedURLs()[0].url, kMainPage);
  EXPECT_EQ(msAt(fake.openedURLs()[0].at), 20'000);
  EXPECT_TRUE(state().opened);
}

TEST_F(UnexpectedExit, EveryRestartedChildThatDiesBringsTheAlertAgain) {
  fake.addChild(exitsAfter(10s));
  fake.addChild(exitsAfter(5s));
  fake.addChild(exitsAfter(5s));
  fake.addAlertReply(AlertReply{kAlertFirstButtonReturn});
  fake.addAlertReply(AlertReply{kAlertFirstButtonReturn});
  fake.addAlertReply(AlertReply{kAlertThirdButtonReturn});
  launchApp();
  fake.advanceBy(60s);

  EXPECT_THAT(alertMessages(), ElementsAre(kStopped, kStopped, kStopped));
  std::vector<long long> shown;
  for (const auto& alert : fake.alerts()) shown.push_back(msAt(alert.shownAt));
  EXPECT_THAT(shown, ElementsAre(10'000, 15'000, 20'000));
  EXPECT_EQ(fake.launches().size(), 3u);
  ASSERT_TRUE(fake.exited());
  EXPECT_EQ(msAt(fake.exitRecord()->at), 20'000);
}

TEST_F(UnexpectedExit, StartAgainWhoseLaunchFailsEndsTheApplication) {
  fake.addChild(exitsAfter(10s));
  fake.addChild(failsToLaunch("launch path not accessible"));
  fake.addAlertReply(AlertReply{kAlertFirstButtonReturn});
  launchApp();
  fake.advanceBy(60s);

  EXPECT_THAT(alertMessages(), ElementsAre(kStopped, kCouldNotStart));
  EXPECT_EQ(fake.alerts()[1].alert.informativeText,
            std::string("launch path not accessible") + kTryAgain);
  EXPECT_TRUE(fake.alerts()[1].activatedJustBefore);
  ASSERT_TRUE(fake.exited());
  EXPECT_EQ(msAt(fake.exitRecord()->at), 10'000);
  EXPECT_FALSE(state().hasServer);
  EXPECT_THAT(fake.sleeps(), IsEmpty());
}

// A platform that has asked the launcher to terminate but not yet ended the process: the
// report of the child that the stop ended only forgets it.
TEST_F(UnexpectedExit, WhileQuittingTheEndIsOnlyForgotten) {
  fake.setHttpScript(answersFrom(1s, 200));
  launchApp();
  fake.advanceBy(5s);
  ASSERT_EQ(launcher->applicationShouldTerminate(), TerminateReply::Now);
  ASSERT_TRUE(state().hasServer);
  fake.runUntilIdle();

  EXPECT_TRUE(child(0)->handlerCalled());
  EXPECT_EQ(child(0)->statusReads(), 1);
  EXPECT_FALSE(state().hasServer);
  EXPECT_THAT(fake.alerts(), IsEmpty());
  EXPECT_EQ(fake.launches().size(), 1u);
}

}  // namespace
}  // namespace lumivane::scenario
