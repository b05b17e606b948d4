// Quitting: SIGINT, up to 6 s of grace polled every 0.1 s on the main thread, then SIGTERM;
// the reply is always "terminate now".
#include <csignal>

#include "scenario.h"

namespace lumivane::scenario {
namespace {

using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

struct StopCase {
  const char* name;
  std::optional<Duration> exitAfterSigint;  // empty: ignores SIGINT
  bool exitsOnSigterm;
  bool expectSigterm;
  long long exitAt;  // ms after the request
};

// Failures name the case, not its bytes.
void PrintTo(const StopCase& c, std::ostream* os) { *os << c.name; }

class GracefulStop : public Scenario, public ::testing::WithParamInterface<StopCase> {
 protected:
  // A server that answered at 1 s, so that no startup wait pends; quit at 10 s.
  void runToQuit() {
    const StopCase& c = GetParam();
    FakeChildScript script;
    script.exitAfterSigint = c.exitAfterSigint;
    script.exitsOnSigterm = c.exitsOnSigterm;
    fake.addChild(script);
    fake.setHttpScript(answersFrom(1s, 200));
    launchApp();
    fake.advanceBy(10s);
    fake.requestTermination();
    fake.advanceBy(20s);
  }
};

TEST_P(GracefulStop, SignalsThenRepliesNow) {
  const StopCase& c = GetParam();
  runToQuit();

  const auto& signals = child(0)->signals();
  ASSERT_GE(signals.size(), 1u);
  EXPECT_EQ(signals[0].signal, SIGINT);
  EXPECT_EQ(msAt(signals[0].at), 10'000);
  if (c.expectSigterm) {
    ASSERT_EQ(signals.size(), 2u);
    EXPECT_EQ(signals[1].signal, SIGTERM);
    EXPECT_GE(msAt(signals[1].at), 16'000);
    EXPECT_LE(msAt(signals[1].at), 16'100);
  } else {
    EXPECT_EQ(signals.size(), 1u);
  }

  ASSERT_TRUE(fake.exited());
  EXPECT_EQ(msAt(fake.exitRecord()->at), 10'000 + c.exitAt);
  EXPECT_THAT(fake.terminationReplies(), ElementsAre(TerminateReply::Now));
  std::vector<long long> sleeps;
  for (const auto& sleep : fake.sleeps()) sleeps.push_back(ms(sleep.duration));
  EXPECT_THAT(sleeps, Each(100));
  EXPECT_EQ(static_cast<long long>(sleeps.size()) * 100, c.exitAt);
  EXPECT_TRUE(state().quitting);
  // The child's exit report waits behind the stop and never runs: the process is over.
  EXPECT_THAT(fake.alerts(), IsEmpty());
  EXPECT_TRUE(state().hasServer);
}

INSTANTIATE_TEST_SUITE_P(
    Children, GracefulStop,
    ::testing::Values(StopCase{"EndsAtOnceOnSigint", 0s, true, false, 0},
                      StopCase{"EndsOneSecondAfterSigint", 1s, true, false, 1'000},
                      // Seen at the first poll after the end.
                      StopCase{"EndsBetweenTwoPolls", 1'050ms, true, false, 1'100},
                      StopCase{"EndsAsTheGraceRunsOut", 6s, true, false, 6'000},
                      StopCase{"IgnoresSigint", std::nullopt, true, true, 6'000},
                      StopCase{"IgnoresBoth", std::nullopt, false, true, 6'000},
                      StopCase{"EndsSoonAfterTheGrace", 6'050ms, false, true, 6'000}),
    [](const auto& info) { return std::string(info.param.name); });

using Quit = Scenario;

// Each turn of the wait asks the child before the clock, and sleeps last; the first question
// comes straight after the deadline is taken.
TEST_F(Quit, TheWaitLoopTestsTheChildFirstAndSleepsLast) {
  FakeChildScript script;
  script.exitAfterSigint = 300ms;
  fake.addChild(script);
  fake.setHttpScript(answersFrom(1s, 200));
  launchApp();
  fake.advanceBy(10s);
  fake.requestTermination();
  fake.runUntilIdle();

  std::vector<std::string> loop;
  bool signalled = false;
  for (const auto& call : fake.calls()) {
    if (call.call == "process.interrupt") signalled = true;
    if (signalled && (call.call == "now" || call.call == "process.isRunning" ||
                      call.call == "sleepFor" || call.call == "process.terminate")) {
      loop.push_back(call.call);
    }
  }
  EXPECT_THAT(loop, ElementsAre("now", "process.isRunning", "now", "sleepFor",
                                "process.isRunning", "now", "sleepFor", "process.isRunning",
                                "now", "sleepFor", "process.isRunning", "process.isRunning"));
}

TEST_F(Quit, WithNoChildRepliesAtOnce) {
  fake.setHttpScript(always(FakeHttpAnswer::withStatus(200)));
  launchApp();
  fake.requestTermination(5s);
  fake.advanceBy(10s);

  ASSERT_TRUE(fake.exited());
  EXPECT_EQ(msAt(fake.exitRecord()->at), 5'000);
  EXPECT_TRUE(state().quitting);
  EXPECT_THAT(fake.sleeps(), IsEmpty());
  EXPECT_THAT(fake.terminationReplies(), ElementsAre(TerminateReply::Now));
}

// The child has exited and its report is queued, but not yet handled: `server` still names it.
TEST_F(Quit, AChildWhoseExitIsStillQueuedGetsNoSignal) {
  fake.addChild(exitsAfter(10s));
  fake.setHttpScript(answersFrom(1s, 200));
  launchApp();
  fake.advanceBy(5s);
  // Due at the same moment as the exit, and queued after the reaper but before its report.
  fake.requestTermination(5s);
  fake.advanceBy(10s);

  ASSERT_TRUE(child(0)->handlerCalled());
  EXPECT_THAT(child(0)->signals(), IsEmpty());
  ASSERT_TRUE(fake.exited());
  EXPECT_EQ(msAt(fake.exitRecord()->at), 10'000);
  EXPECT_THAT(fake.sleeps(), IsEmpty());
  EXPECT_THAT(fake.alerts(), IsEmpty());
  EXPECT_TRUE(state().hasServer);
}

}  // namespace
}  // namespace lumivane::scenario
