// Application launch: the menu first, then reuse of a server that already answers or a child
// of our own; reopening; and the two per-user paths, resolved once and without touching disk.
#include <algorithm>

#include "scenario.h"

namespace lumivane::scenario {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

using LaunchTest = Scenario;

std::ptrdiff_t firstCall(const FakePlatform& fake, const std::string& prefix) {
  const auto& calls = fake.calls();
  const auto found = std::find_if(calls.begin(), calls.end(), [&](const fake::CallRecord& c) {
    return c.call.rfind(prefix, 0) == 0;
  });
  return found == calls.end() ? -1 : found - calls.begin();
}

TEST_F(LaunchTest, NothingIsHeldOrResolvedBeforeTheLoopRuns) {
  EXPECT_FALSE(state().hasItem);
  EXPECT_FALSE(state().hasServer);
  EXPECT_FALSE(state().quitting);
  EXPECT_FALSE(state().opened);
  EXPECT_EQ(fake.files().directoryLookups(SearchPathDirectory::ApplicationSupport), 0);
  EXPECT_EQ(fake.files().directoryLookups(SearchPathDirectory::Library), 0);
}

TEST_F(LaunchTest, BuildsTheMenuBeforeTheOneLaunchProbe) {
  fake.setHttpScript(always(FakeHttpAnswer::silent()));
  launchApp();

  EXPECT_TRUE(state().hasItem);
  const std::ptrdiff_t menuAttached = firstCall(fake, "item.setMenu");
  const std::ptrdiff_t probe = firstCall(fake, "get ");
  ASSERT_GE(menuAttached, 0);
  EXPECT_LT(menuAttached, probe);
  ASSERT_EQ(fake.requests().size(), 1u);
  EXPECT_EQ(fake.requests()[0].url, kProbe);
  EXPECT_EQ(ms(fake.requests()[0].timeout), 1500);
  EXPECT_THAT(fake.launches(), IsEmpty());
}

struct LaunchProbeCase {
  const char* name;
  FakeHttpAnswer answer;
  long long answeredAt;  // ms
  bool reuses;
};

// Failures name the case, not its bytes.
void PrintTo(const LaunchProbeCase& c, std::ostream* os) { *os << c.name; }

class LaunchProbe : public Scenario, public ::testing::WithParamInterface<LaunchProbeCase> {};

TEST_P(LaunchProbe, ReusesAnAnsweringServerOrStartsAChildAndProbesAtOnce) {
  const LaunchProbeCase& c = GetParam();
  bool later = false;
  // The launch probe gets the answer under test; the startup wait's probes go unanswered.
  fake.setHttpScript([&](TimePoint) {
    const FakeHttpAnswer answer = later ? FakeHttpAnswer::silent() : c.answer;
    later = true;
    return answer;
  });
  launchApp();
  fake.advanceBy(std::chrono::milliseconds(c.answeredAt));

  if (c.reuses) {
    ASSERT_EQ(fake.openedURLs().size(), 1u);
    EXPECT_EQ(fake.openedURLs()[0].url, kMainPage);
    EXPECT_EQ(msAt(fake.openedURLs()[0].at), c.answeredAt);
    EXPECT_THAT(fake.launches(), IsEmpty());
    EXPECT_FALSE(state().hasServer);
    EXPECT_FALSE(state().opened);
    EXPECT_THAT(requestTimes(), ElementsAre(0));
  } else {
    ASSERT_EQ(fake.launches().size(), 1u);
    EXPECT_EQ(msAt(fake.launches()[0].at), c.answeredAt);
    EXPECT_TRUE(state().hasServer);
    // The startup wait's first probe follows the launch with no pause.
    EXPECT_THAT(requestTimes(), ElementsAre(0, c.answeredAt));
    EXPECT_THAT(fake.timers(), IsEmpty());
    EXPECT_THAT(fake.openedURLs(), IsEmpty());
  }
  EXPECT_THAT(fake.alerts(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Answers, LaunchProbe,
    ::testing::Values(LaunchProbeCase{"Status200", FakeHttpAnswer::withStatus(200), 0, true},
                      LaunchProbeCase{"Status401", FakeHttpAnswer::withStatus(401, 20ms), 20, true},
                      LaunchProbeCase{"Status404", FakeHttpAnswer::withStatus(404), 0, true},
                      LaunchProbeCase{"Status499", FakeHttpAnswer::withStatus(499), 0, true},
                      LaunchProbeCase{"Status500", FakeHttpAnswer::withStatus(500), 0, false},
                      LaunchProbeCase{"Status503", FakeHttpAnswer::withStatus(503, 40ms), 40, false},
                      LaunchProbeCase{"Refused", FakeHttpAnswer::refused(), 0, false},
                      LaunchProbeCase{"Silent", FakeHttpAnswer::silent(), 1500, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LaunchTest, ReuseOpensTheHandOffURLAndQuitLeavesThatServerAlone) {
  writeHandOff(R"({"url": "http://localhost:8000/enter?token=abc"})");
  fake.setHttpScript(always(FakeHttpAnswer::withStatus(200)));
  launchApp();
  EXPECT_THAT(openedURLs(), ElementsAre("http://localhost:8000/enter?token=abc&next=/"));

  fake.advanceBy(30s);
  fake.requestTermination();
  fake.runUntilIdle();

  ASSERT_TRUE(fake.exited());
  EXPECT_EQ(msAt(fake.exitRecord()->at), 30'000);
  EXPECT_TRUE(state().quitting);
  EXPECT_THAT(fake.sleeps(), IsEmpty());
  EXPECT_THAT(fake.launches(), IsEmpty());
  EXPECT_THAT(requestTimes(), ElementsAre(0));
}

TEST_F(LaunchTest, StartsTheBundledInterpreterAsTheServedApplication) {
  fake.setEnvironment({
      {"PATH", "/usr/bin:/bin"},
      {"HOME", fake.files().home().string()},
      {"PYTHONPATH", "/home/u/site"},
      {"PYTHONHOME", "/opt/python"},
      {"PYTHONNOUSERSITE", "0"},
      {"KEEP", "me"},
  });
  launchApp();

  ASSERT_EQ(fake.launches().size(), 1u);
  const fake::LaunchRecord& child = fake.launches()[0];
  const std::filesystem::path resources = fake.temporaryDirectory() / "bundle/share/lumivane";
  EXPECT_EQ(child.executable, resources / "python/bin/python3");
  EXPECT_THAT(child.arguments, ElementsAre("-m", "app", "--no-browser"));
  EXPECT_EQ(child.currentDirectory, resources / "lumivane");
  const Environment expected = {
      {"PATH", "/usr/bin:/bin"},
      {"HOME", fake.files().home().string()},
      {"KEEP", "me"},
      {"PYTHONNOUSERSITE", "1"},
      {"PYTHONDONTWRITEBYTECODE", "1"},
      {"LUMIVANE_MODELS", (resources / "models").string()},
      {"LUMIVANE_LAUNCHER", "1"},
  };
  EXPECT_EQ(child.environment, expected);
  EXPECT_TRUE(child.hasTerminationHandler);
  EXPECT_TRUE(child.sameHandle);
  EXPECT_TRUE(state().hasServer);
}

TEST_F(LaunchTest, ReopenWhileStartingOpensTheMainPageAndDeclines) {
  launchApp();
  fake.advanceBy(5s);
  fake.reopen(/*hasVisibleWindows=*/true);
  fake.runUntilIdle();

  EXPECT_THAT(fake.reopenResults(), ElementsAre(false));
  ASSERT_EQ(fake.openedURLs().size(), 1u);
  EXPECT_EQ(fake.openedURLs()[0].url, kMainPage);
  EXPECT_EQ(msAt(fake.openedURLs()[0].at), 5'000);
  EXPECT_FALSE(state().opened);  // the startup wait still opens the page when it answers
  EXPECT_EQ(fake.launches().size(), 1u);
}

TEST_F(LaunchTest, PerUserPathsAreResolvedOnceAndCreateNothing) {
  fake.setHttpScript(always(FakeHttpAnswer::withStatus(200)));  // reuse: no log is prepared
  launchApp();
  for (const char* title : {"Open Lumivane", "Show Log", "Connect Quest\u2026", "Show Log"}) {
    ASSERT_TRUE(fake.chooseMenuItem(title)) << title;
    fake.runUntilIdle();
  }
  fake.reopen();
  fake.runUntilIdle();

  EXPECT_EQ(fake.files().directoryLookups(SearchPathDirectory::ApplicationSupport), 1);
  EXPECT_EQ(fake.files().directoryLookups(SearchPathDirectory::Library), 1);
  ASSERT_FALSE(fake.files().filesRead().empty());
  for (const auto& [path, limit] : fake.files().filesRead()) {
    EXPECT_EQ(path, fake.files().applicationSupport() / "Lumivane" / "data/launch.json");
  }
  ASSERT_EQ(fake.reveals().size(), 2u);
  for (const auto& reveal : fake.reveals()) {
    EXPECT_THAT(reveal.urls, ElementsAre(fake.files().library() / "Logs/Lumivane/lumivane.log"));
  }
  EXPECT_TRUE(std::filesystem::is_empty(fake.files().home()));
}

TEST_F(LaunchTest, StartingTheServerAsksForTheLogPathOnlyOnce) {
  FakeChildScript firstChild = exitsAfter(10s);
  fake.addChild(firstChild);
  fake.addAlertReply(AlertReply{kAlertFirstButtonReturn});  // Start Again
  launchApp();
  fake.advanceBy(11s);
  ASSERT_TRUE(fake.chooseMenuItem("Show Log"));
  fake.runUntilIdle();

  EXPECT_EQ(fake.launches().size(), 2u);
  EXPECT_EQ(fake.files().directoryLookups(SearchPathDirectory::Library), 1);
}

}  // namespace
}  // namespace lumivane::scenario
