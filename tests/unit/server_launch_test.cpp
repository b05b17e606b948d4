// Starting the server: the log prepared and headed before the launch, the launch that fails,
// and the exit report that must not outlive the launcher.
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "scenario.h"
#include "supervision/log_header.h"

namespace lumivane::scenario {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::string contentsOf(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

unsigned modeOf(const std::filesystem::path& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

std::ptrdiff_t indexOfCall(const FakePlatform& fake, const std::string& call) {
  for (std::size_t i = 0; i < fake.calls().size(); ++i) {
    if (fake.calls()[i].call == call) return static_cast<std::ptrdiff_t>(i);
  }
  return -1;
}

using ServerLaunch = Scenario;

TEST_F(ServerLaunch, FirstStartCreatesThePrivateLogAndHeadsItBeforeTheLaunch) {
  // A silent launch probe puts the start at 1.5 s, so the header shows whole seconds only.
  fake.setHttpScript(always(FakeHttpAnswer::silent()));
  launchApp();
  fake.advanceBy(1500ms);

  ASSERT_EQ(fake.launches().size(), 1u);
  ASSERT_TRUE(std::filesystem::is_regular_file(logPath()));
  EXPECT_EQ(modeOf(logPath()), 0600u);
  EXPECT_EQ(contentsOf(logPath()), "\n--- Lumivane started 2026-12-10 12:00:01 +0000 ---\n");
  EXPECT_LT(indexOfCall(fake, "handle.writeData"), indexOfCall(fake, "launch"));
  const fake::LaunchRecord& child = fake.launches()[0];
  EXPECT_TRUE(child.standardOutputIsHandle);
  EXPECT_TRUE(child.standardErrorIsHandle);
  EXPECT_TRUE(child.sameHandle);

  // The child's own output follows the header through the handle it was given.
  ASSERT_TRUE(child.process->writeOutput("serving on 127.0.0.1:8000\n"));
  EXPECT_EQ(contentsOf(logPath()),
            "\n--- Lumivane started 2026-12-10 12:00:01 +0000 ---\nserving on 127.0.0.1:8000\n");
}

TEST_F(ServerLaunch, ALaterStartAppendsAndKeepsTheFileAsItWas) {
  std::filesystem::create_directories(logPath().parent_path());
  std::ofstream(logPath(), std::ios::binary) << "earlier run\n";
  std::filesystem::permissions(logPath(), std::filesystem::perms(0644));
  fake.addChild(exitsAfter(5s, 1));
  fake.addAlertReply(AlertReply{kAlertFirstButtonReturn});  // Start Again
  launchApp();
  ASSERT_TRUE(child(0)->writeOutput("Traceback: boom\n"));
  fake.advanceBy(6s);

  ASSERT_EQ(fake.launches().size(), 2u);
  EXPECT_EQ(contentsOf(logPath()), "earlier run\n" + logHeader(FakePlatform::epoch()) +
                                       "Traceback: boom\n" +
                                       logHeader(FakePlatform::epoch() + 5s));
  EXPECT_EQ(modeOf(logPath()), 0644u);
  EXPECT_THAT(fake.files().filesCreated(), IsEmpty());
}

TEST_F(ServerLaunch, TheLogIsCreatedOnceAcrossRestarts) {
  fake.addChild(exitsAfter(5s));
  fake.addAlertReply(AlertReply{kAlertFirstButtonReturn});
  launchApp();
  fake.advanceBy(6s);

  ASSERT_EQ(fake.launches().size(), 2u);
  ASSERT_EQ(fake.files().filesCreated().size(), 1u);
  EXPECT_EQ(fake.files().filesCreated()[0].first, logPath());
  EXPECT_EQ(fake.files().filesCreated()[0].second, std::optional<unsigned>(0600));
  EXPECT_EQ(contentsOf(logPath()),
            logHeader(FakePlatform::epoch()) + logHeader(FakePlatform::epoch() + 5s));
}

struct UnusableLogCase {
  const char* name;
  std::function<void(FakePlatform&, const std::filesystem::path& log)> arrange;
};

// Failures name the case, not its bytes.
void PrintTo(const UnusableLogCase& c, std::ostream* os) { *os << c.name; }

class UnusableLog : public Scenario, public ::testing::WithParamInterface<UnusableLogCase> {};

TEST_P(UnusableLog, TheServerStartsAllTheSameOnTheLaunchersOwnOutput) {
  GetParam().arrange(fake, logPath());
  launchApp();

  ASSERT_EQ(fake.launches().size(), 1u);
  const fake::LaunchRecord& child = fake.launches()[0];
  EXPECT_NE(child.process, nullptr);
  EXPECT_FALSE(child.standardOutputIsHandle);
  EXPECT_FALSE(child.standardErrorIsHandle);
  EXPECT_EQ(indexOfCall(fake, "handle.writeData"), -1);
  EXPECT_TRUE(state().hasServer);
  EXPECT_THAT(fake.alerts(), IsEmpty());
  EXPECT_EQ(fake.requests().size(), 2u);  // the startup wait goes on
}

INSTANTIATE_TEST_SUITE_P(
    Logs, UnusableLog,
    ::testing::Values(
        UnusableLogCase{"DirectoryAtTheLogPath",
                        [](FakePlatform&, const std::filesystem::path& log) {
                          std::filesystem::create_directories(log);
                        }},
        UnusableLogCase{"OpenRefused",
                        [](FakePlatform& fake, const std::filesystem::path&) {
                          fake.files().refuseOpenForWriting = true;
                        }},
        UnusableLogCase{"FileWhereTheLogsDirectoryGoes",
                        [](FakePlatform&, const std::filesystem::path& log) {
                          const std::filesystem::path logs = log.parent_path().parent_path();
                          std::filesystem::create_directories(logs.parent_path());
                          std::ofstream(logs) << "not a directory";
                        }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ServerLaunch, AFailedLaunchIsToldThenTheApplicationEnds) {
  fake.addChild(failsToLaunch("The file \u201Cpython3\u201D doesn\u2019t exist."));
  launchApp();
  fake.advanceBy(60s);

  ASSERT_EQ(fake.alerts().size(), 1u);
  const fake::AlertRecord& alert = fake.alerts()[0];
  EXPECT_EQ(alert.alert.messageText, kCouldNotStart);
  EXPECT_EQ(alert.alert.informativeText,
            std::string("The file \u201Cpython3\u201D doesn\u2019t exist.") + kTryAgain);
  EXPECT_THAT(alert.alert.buttons, IsEmpty());
  EXPECT_TRUE(alert.activatedJustBefore);

  ASSERT_TRUE(fake.exited());
  EXPECT_EQ(msAt(fake.exitRecord()->at), 0);
  EXPECT_THAT(fake.terminationReplies(), ElementsAre(TerminateReply::Now));
  EXPECT_THAT(fake.sleeps(), IsEmpty());
  EXPECT_THAT(requestTimes(), ElementsAre(0));  // no startup wait after the end
  EXPECT_FALSE(state().hasServer);
  EXPECT_TRUE(state().quitting);
}

TEST_F(ServerLaunch, AChildThatEndsAtOnceIsStillReported) {
  fake.addChild(exitsAfter(0s));
  fake.addAlertReply(AlertReply{kAlertThirdButtonReturn});
  launchApp();
  fake.advanceBy(1s);

  EXPECT_THAT(alertMessages(), ElementsAre(kStopped));
  EXPECT_TRUE(fake.exited());
}

// The exit report is posted to the main queue; by the time it runs, the launcher may be gone.
TEST_F(ServerLaunch, TheExitReportDoesNothingOnceTheLauncherIsGone) {
  fake.setHttpScript(answersFrom(1ms, 200));  // the wait ends at 0.5 s: nothing else pends
  fake.addChild(exitsAfter(10s, 1));
  launchApp();
  fake.advanceBy(5s);
  ASSERT_TRUE(state().opened);
  const std::shared_ptr<fake::FakeProcess> ended = child(0);

  // The child ends while the main thread is busy: the report waits on the main queue.
  fake.advanceBackgroundBy(6s);
  ASSERT_TRUE(ended->handlerCalled());
  ASSERT_EQ(fake.pendingTasks(), 1u);
  const std::weak_ptr<Launcher> weak = launcher;
  launcher.reset();
  ASSERT_TRUE(weak.expired());
  fake.advanceBy(1s);

  EXPECT_EQ(fake.pendingTasks(), 0u);
  EXPECT_EQ(ended->statusReads(), 0);
  EXPECT_THAT(fake.alerts(), IsEmpty());
  EXPECT_FALSE(fake.exited());
}

}  // namespace
}  // namespace lumivane::scenario
