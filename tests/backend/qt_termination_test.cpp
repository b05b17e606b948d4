// Termination requests: SIGTERM, SIGINT and SIGHUP to a process of the test program, Quit
// through the platform, and the event loop being left, each reach applicationShouldTerminate
// once; `Now` ends the process with status 0, `Cancel` and `Later` keep it running; a request
// made while one is being answered is dropped.
#include <signal.h>
#include <sys/wait.h>

#include <poll.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "platform/posix/termination_signals.h"
#include "qt_support.h"

namespace lumivane::qt::testing {
namespace {

using namespace std::chrono_literals;

class TestProgram {
 public:
  explicit TestProgram(Environment extra = {}) {
    Environment environment{{"PATH", "/usr/bin:/bin"},
                            {"HOME", dir_.path().string()},
                            {"XDG_RUNTIME_DIR", dir_.path().string()},
                            {"QT_QPA_PLATFORM", "offscreen"},
                            {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (dir_ / "no-bus").string()}};
    std::filesystem::permissions(dir_.path(), std::filesystem::perms::owner_all);
    environment.merge(extra);
    app_ = std::make_unique<Child>(LUMIVANE_QT_TEST_APP, std::vector<std::string>{}, environment);
  }
  Child& operator*() { return *app_; }
  Child* operator->() { return app_.get(); }

 private:
  TemporaryDirectory dir_;
  std::unique_ptr<Child> app_;
};

bool exitedWithZero(const std::optional<int>& status) {
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
}

struct SignalCase {
  const char* name;
  int number;
};

// Names the case in test listings.
inline void PrintTo(const SignalCase& c, std::ostream* os) { *os << c.name; }

class TerminationSignal : public ::testing::TestWithParam<SignalCase> {};

TEST_P(TerminationSignal, ReachesTheDelegateOnceAndNowExitsWithZero) {
  TestProgram app;
  ASSERT_TRUE(app->output().next().value_or("").rfind("launched", 0) == 0);
  app->signal(GetParam().number);
  EXPECT_EQ(app->output().next(), "terminate");
  EXPECT_EQ(app->output().next(), "answered");
  const auto status = app->waitForExit();
  EXPECT_TRUE(exitedWithZero(status)) << "wait status " << status.value_or(-1);
  // Nothing after the answer: the process ended inside the request, the loop never returned.
  EXPECT_EQ(app->output().rest(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Signals, TerminationSignal,
                         ::testing::Values(SignalCase{"SIGTERM", SIGTERM}, SignalCase{"SIGINT", SIGINT},
                                           SignalCase{"SIGHUP", SIGHUP}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Termination, SignalsDuringASlowAnswerStartNoSecondStop) {
  TestProgram app(Environment{{"LUMIVANE_TEST_TERMINATE_DELAY_MS", "1500"}});
  ASSERT_TRUE(app->output().next().value_or("").rfind("launched", 0) == 0);
  app->signal(SIGTERM);
  ASSERT_EQ(app->output().next(), "terminate");
  // The main thread is sleeping in the answer now.
  app->signal(SIGINT);
  app->signal(SIGHUP);
  app->signal(SIGTERM);
  EXPECT_EQ(app->output().next(), "answered");
  const auto status = app->waitForExit();
  EXPECT_TRUE(exitedWithZero(status)) << "wait status " << status.value_or(-1);
  EXPECT_EQ(app->output().rest(), std::vector<std::string>{});
}

class DeclinedTermination : public ::testing::TestWithParam<std::string> {};

TEST_P(DeclinedTermination, KeepsRunningAndEveryLaterRequestAsksAgain) {
  TestProgram app(Environment{{"LUMIVANE_TEST_TERMINATE_REPLY", GetParam()}});
  ASSERT_TRUE(app->output().next().value_or("").rfind("launched", 0) == 0);
  app->signal(SIGTERM);
  EXPECT_EQ(app->output().next(), "terminate");
  EXPECT_EQ(app->output().next(), "answered");
  app->tell("terminate");  // as the menu's Quit does
  EXPECT_EQ(app->output().next(), "terminate");
  EXPECT_EQ(app->output().next(), "answered");
  app->signal(SIGHUP);
  EXPECT_EQ(app->output().next(), "terminate");
  EXPECT_EQ(app->output().next(), "answered");
  EXPECT_FALSE(app->waitForExit(200ms).has_value()) << "the process ended after declining";
}

INSTANTIATE_TEST_SUITE_P(Replies, DeclinedTermination, ::testing::Values("cancel", "later"));

TEST(Termination, LeavingTheEventLoopAsksTheDelegateFirst) {
  {
    TestProgram app;
    ASSERT_TRUE(app->output().next().value_or("").rfind("launched", 0) == 0);
    app->tell("quit");
    EXPECT_EQ(app->output().next(), "terminate");
    EXPECT_EQ(app->output().next(), "answered");
    EXPECT_TRUE(exitedWithZero(app->waitForExit()));
    EXPECT_EQ(app->output().rest(), std::vector<std::string>{});
  }
  {
    // A declined request cannot hold the loop: run returns.
    TestProgram app(Environment{{"LUMIVANE_TEST_TERMINATE_REPLY", "cancel"}});
    ASSERT_TRUE(app->output().next().value_or("").rfind("launched", 0) == 0);
    app->tell("quit");
    EXPECT_EQ(app->output().next(), "terminate");
    EXPECT_EQ(app->output().next(), "answered");
    EXPECT_EQ(app->output().next(), "run returned 0");
    EXPECT_TRUE(exitedWithZero(app->waitForExit()));
  }
}

// In this process: a delegate that never lets the test process end, and that can act while
// it answers.
class DecliningDelegate final : public ApplicationDelegate {
 public:
  void applicationDidFinishLaunching() override {}
  bool applicationShouldHandleReopen(bool) override { return false; }
  TerminateReply applicationShouldTerminate() override {
    ++asked;
    if (whileAnswering) whileAnswering();
    return reply;
  }

  int asked = 0;
  TerminateReply reply = TerminateReply::Cancel;
  std::function<void()> whileAnswering;
};

// Stays the delegate after the tests below, so that a late signal cannot end the test process.
DecliningDelegate& decliningDelegate() {
  static DecliningDelegate delegate;
  desktop().setDelegate(&delegate);
  return delegate;
}

bool signalPipeIsEmpty() {
  pollfd watch{posix::TerminationSignals::install().readDescriptor(), POLLIN, 0};
  return ::poll(&watch, 1, 0) == 0;
}

TEST(TerminationInProcess, ARequestMadeWhileOneIsAnsweredIsDropped) {
  DecliningDelegate& delegate = decliningDelegate();
  delegate.asked = 0;
  delegate.reply = TerminateReply::Cancel;
  bool signalHandled = false;
  delegate.whileAnswering = [&] {
    desktop().terminate();  // from the answer itself
    ::raise(SIGTERM);       // a signal handled by a nested event loop
    signalHandled = spinUntil(signalPipeIsEmpty);
  };
  desktop().terminate();
  EXPECT_TRUE(signalHandled);
  EXPECT_EQ(delegate.asked, 1);

  // Once answered, the next request is asked again.
  delegate.whileAnswering = nullptr;
  desktop().terminate();
  EXPECT_EQ(delegate.asked, 2);
}

TEST(TerminationInProcess, CancelAndLaterReturnToTheCaller) {
  DecliningDelegate& delegate = decliningDelegate();
  for (const TerminateReply reply : {TerminateReply::Cancel, TerminateReply::Later}) {
    delegate.asked = 0;
    delegate.reply = reply;
    desktop().terminate();
    EXPECT_EQ(delegate.asked, 1);
  }
}

}  // namespace
}  // namespace lumivane::qt::testing
