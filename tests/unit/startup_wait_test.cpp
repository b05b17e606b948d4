// The startup wait: probe, pause 0.5 s after each negative answer, until the server answers,
// the child is gone, or the 240-second deadline has passed.
#include <algorithm>

#include "scenario.h"

namespace lumivane::scenario {
namespace {

using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// When the startup waits probed (ms): every request but the launch probe.
std::vector<long long> waitProbeTimes(const FakePlatform& fake) {
  std::vector<long long> times;
  for (std::size_t i = 1; i < fake.requests().size(); ++i) {
    times.push_back(msAt(fake.requests()[i].sentAt));
  }
  return times;
}

struct CadenceCase {
  const char* name;
  FakeHttpAnswer answer;
  long long cycle;    // ms from one probe to the next
  long long alertAt;  // ms: the first negative answer later than the deadline
};

// Failures name the case, not its bytes.
void PrintTo(const CadenceCase& c, std::ostream* os) { *os << c.name; }

class WaitCadence : public Scenario, public ::testing::WithParamInterface<CadenceCase> {};

TEST_P(WaitCadence, ProbesAfterEachNegativeAnswerUntilTheDeadlineThenAlertsOnce) {
  const CadenceCase& c = GetParam();
  bool serverUp = false;
  fake.setHttpScript([&](TimePoint) {
    return serverUp ? FakeHttpAnswer::withStatus(200) : c.answer;
  });
  launchApp();
  fake.advanceBy(300s);

  const std::vector<long long> probes = waitProbeTimes(fake);
  ASSERT_GT(probes.size(), 100u);
  std::vector<long long> gaps;
  for (std::size_t i = 1; i < probes.size(); ++i) gaps.push_back(probes[i] - probes[i - 1]);
  EXPECT_THAT(gaps, Each(c.cycle));
  EXPECT_EQ(fake.maxRequestsInFlight(), 1);
  for (const auto& timer : fake.timers()) EXPECT_EQ(ms(timer.delay), 500);

  ASSERT_EQ(fake.alerts().size(), 1u);
  const fake::AlertRecord& alert = fake.alerts()[0];
  EXPECT_EQ(alert.alert.messageText, kSlowStart);
  EXPECT_EQ(alert.alert.informativeText, kSlowStartInfo);
  EXPECT_THAT(alert.alert.buttons, IsEmpty());
  EXPECT_TRUE(alert.activatedJustBefore);
  EXPECT_EQ(msAt(alert.shownAt), c.alertAt);
  // The probe answered at the alert was the last one.
  EXPECT_EQ(msAt(*fake.requests().back().completedAt), c.alertAt);
  EXPECT_TRUE(state().hasServer);
  EXPECT_FALSE(state().opened);

  // After the alert nothing watches any more: a server that comes up opens nothing.
  serverUp = true;
  const std::size_t sent = fake.requests().size();
  fake.advanceBy(120s);
  EXPECT_EQ(fake.requests().size(), sent);
  EXPECT_THAT(fake.openedURLs(), IsEmpty());
  EXPECT_THAT(fake.launches()[0].process->signals(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    NegativeAnswers, WaitCadence,
    ::testing::Values(
        // Launch at 0 and a deadline of 240 s: the answer at 240.0 s is not later, 240.5 s is.
        CadenceCase{"Refused", FakeHttpAnswer::refused(), 500, 240'500},
        CadenceCase{"Status500", FakeHttpAnswer::withStatus(500), 500, 240'500},
        // The pause starts from the answer: 0.3 s latency + 0.5 s. Deadline 240.3 s.
        CadenceCase{"Status503Slow", FakeHttpAnswer::withStatus(503, 300ms), 800, 240'600},
        // A silent server: the 1.5 s timeout + 0.5 s. The child starts at 1.5 s; deadline 241.5 s.
        CadenceCase{"Silent", FakeHttpAnswer::silent(), 2000, 243'000}),
    [](const auto& info) { return std::string(info.param.name); });

class WaitReady : public Scenario, public ::testing::WithParamInterface<int> {};

TEST_P(WaitReady, TheFirstAnswerBelow500OpensTheMainPageOnce) {
  fake.setHttpScript(answersFrom(10s, GetParam()));
  launchApp();
  fake.advanceBy(60s);

  ASSERT_EQ(fake.openedURLs().size(), 1u);
  EXPECT_EQ(fake.openedURLs()[0].url, kMainPage);
  EXPECT_EQ(msAt(fake.openedURLs()[0].at), 10'000);
  EXPECT_TRUE(state().opened);
  EXPECT_EQ(msAt(fake.requests().back().sentAt), 10'000);
  EXPECT_THAT(fake.alerts(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Statuses, WaitReady, ::testing::Values(200, 401, 404));

using StartupWait = Scenario;

TEST_F(StartupWait, APositiveAnswerAfterTheDeadlineStillOpensThePage) {
  fake.setHttpScript(answersFrom(240'200ms, 200));
  launchApp();
  fake.advanceBy(300s);

  ASSERT_EQ(fake.openedURLs().size(), 1u);
  EXPECT_EQ(msAt(fake.openedURLs()[0].at), 240'500);
  EXPECT_THAT(fake.alerts(), IsEmpty());
  EXPECT_TRUE(state().opened);
}

TEST_F(StartupWait, OpensThroughTheHandOffFile) {
  writeHandOff(R"({"url": "http://localhost:8000/enter?token=abc"})");
  fake.setHttpScript(answersFrom(2s, 200));
  launchApp();
  fake.advanceBy(5s);
  EXPECT_THAT(openedURLs(), ElementsAre("http://localhost:8000/enter?token=abc&next=/"));
}

struct ChildGoneCase {
  const char* name;
  Duration exitAt;
  std::optional<Duration> answersFrom;  // something else answers on the port from then on
  long long lastProbeAt;
  bool opens;
};

// Failures name the case, not its bytes.
void PrintTo(const ChildGoneCase& c, std::ostream* os) { *os << c.name; }

class WaitChildGone : public Scenario, public ::testing::WithParamInterface<ChildGoneCase> {};

// The child ends while a re-probe pause pends; the user looks at the unexpected-stop alert
// for 3 s, and the wait's next answer comes in meanwhile, with `server` already cleared.
TEST_P(WaitChildGone, TheNextAnswerEndsTheWaitWithoutASlowStartAlert) {
  const ChildGoneCase& c = GetParam();
  fake.setHttpScript([&](TimePoint sentAt) {
    return c.answersFrom && sentAt - FakePlatform::epoch() >= *c.answersFrom
               ? FakeHttpAnswer::withStatus(200)
               : FakeHttpAnswer::refused();
  });
  fake.addChild(exitsAfter(c.exitAt, 1));
  fake.addAlertReply(AlertReply{kAlertThirdButtonReturn, 3s});  // then Quit
  launchApp();
  fake.advanceBy(300s);

  EXPECT_THAT(alertMessages(), ElementsAre(kStopped));
  EXPECT_EQ(msAt(fake.requests().back().sentAt), c.lastProbeAt);
  EXPECT_EQ(fake.openedURLs().size(), c.opens ? 1u : 0u);
  EXPECT_EQ(state().opened, c.opens);
  ASSERT_TRUE(fake.exited());
  EXPECT_EQ(msAt(fake.exitRecord()->at), ms(c.exitAt) + 3'000);
}

INSTANTIATE_TEST_SUITE_P(
    Moments, WaitChildGone,
    ::testing::Values(ChildGoneCase{"BeforeTheDeadline", 10'200ms, std::nullopt, 10'500, false},
                      ChildGoneCase{"AfterTheDeadline", 240'200ms, std::nullopt, 240'500, false},
                      ChildGoneCase{"SomethingElseAnswers", 10'200ms, 10'300ms, 10'500, true}),
    [](const auto& info) { return std::string(info.param.name); });

// "Start Again" while the older wait's pause pends: both waits go on, each with its own
// deadline, and meet only through `server` and `opened`.
TEST_F(StartupWait, TwoWaitsSideBySideKeepTheirOwnDeadlines) {
  fake.addChild(exitsAfter(10'200ms));
  fake.addAlertReply(AlertReply{kAlertFirstButtonReturn});  // Start Again, at once
  launchApp();
  fake.advanceBy(20s);

  const std::vector<long long> probes = waitProbeTimes(fake);
  const std::vector<long long> around(std::find(probes.begin(), probes.end(), 10'000),
                                      std::find(probes.begin(), probes.end(), 12'000));
  EXPECT_THAT(around, ElementsAre(10'000, 10'200, 10'500, 10'700, 11'000, 11'200, 11'500, 11'700));

  fake.advanceBy(280s);
  ASSERT_EQ(fake.alerts().size(), 3u);
  EXPECT_THAT(alertMessages(), ElementsAre(kStopped, kSlowStart, kSlowStart));
  EXPECT_EQ(msAt(fake.alerts()[1].shownAt), 240'500);  // the first wait's deadline: 240 s
  EXPECT_EQ(msAt(fake.alerts()[2].shownAt), 250'700);  // the second's: 250.2 s
  EXPECT_EQ(msAt(fake.requests().back().sentAt), 250'700);
}

TEST_F(StartupWait, OfTwoWaitsOnlyTheFirstPositiveAnswerOpensThePage) {
  fake.setHttpScript(answersFrom(20s, 200));
  fake.addChild(exitsAfter(10'200ms));
  fake.addAlertReply(AlertReply{kAlertFirstButtonReturn});
  launchApp();
  fake.advanceBy(60s);

  ASSERT_EQ(fake.openedURLs().size(), 1u);
  EXPECT_EQ(msAt(fake.openedURLs()[0].at), 20'000);  // the older wait answers first
  EXPECT_EQ(msAt(fake.requests().back().sentAt), 20'200);  // the newer one's last probe
  EXPECT_THAT(alertMessages(), ElementsAre(kStopped));
}

// A pending probe or re-probe pause holds the launcher strongly: a launcher whose last owner
// lets go while one pends stays alive, and the wait goes on, instead of the pending work later
// running on freed memory.
struct PendingWorkCase {
  const char* name;
  FakeHttpAnswer answer;
  Duration runFor;
};

void PrintTo(const PendingWorkCase& c, std::ostream* os) { *os << c.name; }

class PendingWork : public Scenario,
                    public ::testing::WithParamInterface<PendingWorkCase> {};

TEST_P(PendingWork, KeepsTheLauncherAlive) {
  fake.setHttpScript(always(GetParam().answer));
  launchApp();
  fake.advanceBy(GetParam().runFor);
  ASSERT_GT(fake.pendingTasks(), 0u);

  const std::weak_ptr<Launcher> weak = launcher;
  launcher.reset();
  EXPECT_FALSE(weak.expired()) << "pending work does not own the launcher";
  if (weak.expired()) {
    fake.discardPendingWork();
    return;
  }
  const std::size_t sent = fake.requests().size();
  fake.advanceBy(5s);
  EXPECT_GT(fake.requests().size(), sent);  // the wait went on
  fake.discardPendingWork();
}

INSTANTIATE_TEST_SUITE_P(
    Moments, PendingWork,
    ::testing::Values(
        // The launch probe is out: a silent server answers only after 1.5 s.
        PendingWorkCase{"LaunchProbe", FakeHttpAnswer::silent(), 0s},
        // The child runs and the startup wait's first probe is out.
        PendingWorkCase{"WaitProbe", FakeHttpAnswer::silent(), 1500ms},
        // Refused at once: the re-probe pause pends.
        PendingWorkCase{"ReprobePause", FakeHttpAnswer::refused(), 0s}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace lumivane::scenario
