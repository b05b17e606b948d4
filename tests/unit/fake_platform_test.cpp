// The fake platform's own model of time and threads, which every scenario relies on.
#include "fake/fake_platform.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>

namespace lumivane::fake {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

long long msAt(TimePoint t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(t - FakePlatform::epoch()).count();
}

// A delegate whose answers the test chooses.
struct ScriptedDelegate : ApplicationDelegate {
  std::function<void()> launched = [] {};
  std::function<TerminateReply()> shouldTerminate = [] { return TerminateReply::Now; };
  void applicationDidFinishLaunching() override { launched(); }
  bool applicationShouldHandleReopen(bool) override { return false; }
  TerminateReply applicationShouldTerminate() override { return shouldTerminate(); }
};

TEST(FakeQueue, RunsTasksByDueTimeThenPostingOrderWithTheClockAtEachDueTime) {
  FakePlatform fake;
  std::vector<std::pair<std::string, long long>> ran;
  auto note = [&](std::string name) { ran.emplace_back(std::move(name), msAt(fake.currentTime())); };
  fake.asyncAfter(300ms, [&] { note("c"); });
  fake.asyncAfter(100ms, [&] {
    note("a");
    fake.asyncAfter(100ms, [&] { note("posted by a"); });
    fake.asyncAfter(5s, [&] { note("too late"); });
  });
  fake.asyncAfter(200ms, [&] { note("b1"); });
  fake.asyncAfter(200ms, [&] { note("b2"); });

  fake.advanceBy(1s);

  using Ran = std::pair<std::string, long long>;
  EXPECT_THAT(ran, ElementsAre(Ran{"a", 100}, Ran{"b1", 200}, Ran{"b2", 200},
                               Ran{"posted by a", 200}, Ran{"c", 300}));
  EXPECT_EQ(msAt(fake.currentTime()), 1000);
  EXPECT_EQ(fake.pendingTasks(), 1u);
}

TEST(FakeQueue, RunUntilIdleRunsOnlyWhatIsDueNow) {
  FakePlatform fake;
  int ran = 0;
  fake.async([&] {
    ++ran;
    fake.async([&] { ++ran; });
    fake.asyncAfter(1ms, [&] { ran += 100; });
  });
  fake.runUntilIdle();
  EXPECT_EQ(ran, 2);
  EXPECT_EQ(msAt(fake.currentTime()), 0);
}

TEST(FakeQueue, SleepBlocksMainWorkWhileOtherThreadsGoOn) {
  FakePlatform fake;
  FakeChildScript script;
  script.exitAfter = 300ms;
  fake.addChild(script);
  bool handlerRan = false;
  bool mainWorkRan = false;
  ProcessDescription description;
  description.terminationHandler = [&](std::shared_ptr<Process>) {
    handlerRan = true;
    fake.async([&] { mainWorkRan = true; });
  };
  const std::shared_ptr<Process> child = fake.launch(std::move(description)).process;
  ASSERT_NE(child, nullptr);
  fake.asyncAfter(100ms, [&] { mainWorkRan = true; });

  fake.sleepFor(500ms);

  EXPECT_FALSE(child->isRunning());
  EXPECT_TRUE(handlerRan);
  EXPECT_FALSE(mainWorkRan);
  EXPECT_EQ(msAt(fake.currentTime()), 500);
  fake.runUntilIdle();
  EXPECT_TRUE(mainWorkRan);
  EXPECT_THAT(fake.violations(), IsEmpty());
}

TEST(FakeProcess, RunsUntilItsScriptSaysOtherwise) {
  FakePlatform fake;
  FakeChildScript ignoresSigint;
  ignoresSigint.exitAfterSigint.reset();
  FakeChildScript ignoresBoth = ignoresSigint;
  ignoresBoth.exitsOnSigterm = false;
  FakeChildScript slowOnSigint;
  slowOnSigint.exitAfterSigint = 1s;
  for (const FakeChildScript& script : {ignoresSigint, ignoresBoth, slowOnSigint}) {
    fake.addChild(script);
  }
  const auto a = fake.launch(ProcessDescription{}).process;
  const auto b = fake.launch(ProcessDescription{}).process;
  const auto c = fake.launch(ProcessDescription{}).process;
  for (const auto& process : {a, b, c}) process->interrupt();
  fake.advanceBy(999ms);
  EXPECT_TRUE(a->isRunning());
  EXPECT_TRUE(b->isRunning());
  EXPECT_TRUE(c->isRunning());
  fake.advanceBy(1ms);
  EXPECT_FALSE(c->isRunning());
  EXPECT_EQ(c->terminationStatus(), SIGINT);
  a->terminate();
  b->terminate();
  EXPECT_FALSE(a->isRunning());
  EXPECT_EQ(a->terminationStatus(), SIGTERM);
  EXPECT_TRUE(b->isRunning());
  EXPECT_THAT(fake.violations(), IsEmpty());
}

TEST(FakeTerminate, NowEndsTheProcessWithoutReturning) {
  FakePlatform fake;
  ScriptedDelegate delegate;
  fake.setDelegate(&delegate);
  bool returned = false;
  bool laterTaskRan = false;
  delegate.launched = [&] {
    fake.terminate();
    returned = true;
  };
  fake.asyncAfter(1s, [&] { laterTaskRan = true; });
  fake.launch();
  fake.advanceBy(2s);

  EXPECT_FALSE(returned);
  EXPECT_FALSE(laterTaskRan);
  ASSERT_TRUE(fake.exitRecord().has_value());
  EXPECT_EQ(msAt(fake.exitRecord()->at), 0);
  EXPECT_EQ(fake.exitRecord()->status, 0);
  EXPECT_THAT(fake.violations(), IsEmpty());

  fake.openURL("http://localhost:8000/");
  EXPECT_THAT(fake.violations(), ElementsAre("openURL http://localhost:8000/ after the process ended"));
}

TEST(FakeTerminate, OtherRepliesReturnAndARequestDuringTheAnswerIsDropped) {
  FakePlatform fake;
  ScriptedDelegate delegate;
  fake.setDelegate(&delegate);
  delegate.shouldTerminate = [&] {
    fake.terminate();
    return TerminateReply::Cancel;
  };
  fake.requestTermination();
  fake.runUntilIdle();
  EXPECT_FALSE(fake.exited());
  EXPECT_EQ(fake.droppedTerminations(), 1);
  EXPECT_THAT(fake.terminationReplies(), ElementsAre(TerminateReply::Cancel));
}

TEST(FakeAlert, TimersRunWhileTheUserThinks) {
  FakePlatform fake;
  fake.addAlertReply(AlertReply{kAlertSecondButtonReturn, 2s});
  std::vector<long long> ticks;
  fake.asyncAfter(500ms, [&] { ticks.push_back(msAt(fake.currentTime())); });
  fake.asyncAfter(1500ms, [&] { ticks.push_back(msAt(fake.currentTime())); });
  fake.asyncAfter(2500ms, [&] { ticks.push_back(msAt(fake.currentTime())); });

  fake.activateIgnoringOtherApps();
  EXPECT_EQ(fake.runModal(Alert{"m", "i", {"A", "B"}}), kAlertSecondButtonReturn);
  EXPECT_EQ(fake.runModal(Alert{"unscripted", "", {}}), kAlertFirstButtonReturn);

  EXPECT_THAT(ticks, ElementsAre(500, 1500));
  ASSERT_EQ(fake.alerts().size(), 2u);
  EXPECT_TRUE(fake.alerts()[0].activatedJustBefore);
  EXPECT_TRUE(fake.alerts()[0].scripted);
  EXPECT_EQ(msAt(*fake.alerts()[0].dismissedAt), 2000);
  EXPECT_FALSE(fake.alerts()[1].activatedJustBefore);
  EXPECT_FALSE(fake.alerts()[1].scripted);
}

TEST(FakeHttp, AnswersArriveOnTheClientThreadAtTheirTime) {
  const struct {
    FakeHttpAnswer answer;
    long long completesAt;
    std::optional<int> status;
  } cases[] = {
      {FakeHttpAnswer::refused(), 0, std::nullopt},
      {FakeHttpAnswer::withStatus(401, 200ms), 200, 401},
      {FakeHttpAnswer::withStatus(200, 2s), 1500, std::nullopt},
      {FakeHttpAnswer::silent(), 1500, std::nullopt},
  };
  for (const auto& c : cases) {
    FakePlatform fake;
    fake.setHttpScript([&](TimePoint) { return c.answer; });
    std::optional<HttpResult> result;
    fake.get("http://127.0.0.1:8000/login", 1500ms, [&](HttpResult r) { result = r; });
    fake.advanceBy(10s);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->statusCode, c.status);
    ASSERT_EQ(fake.requests().size(), 1u);
    EXPECT_EQ(msAt(*fake.requests()[0].completedAt), c.completesAt);
  }
}

TEST(FakeThreads, BackgroundWorkMayOnlyPostToTheMainQueue) {
  FakePlatform fake;
  fake.get("http://127.0.0.1:8000/login", 1500ms, [&](HttpResult) { fake.openURL("x"); });
  fake.runUntilIdle();
  EXPECT_THAT(fake.violations(), ElementsAre("openURL x off the main thread"));
}

}  // namespace
}  // namespace lumivane::fake
