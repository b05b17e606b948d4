// TerminationSignals: each termination signal arrives as its number on the pipe, in order, and
// a write to a closed pipe fails instead of killing the process.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/posix/process.h"
#include "platform/posix/termination_signals.h"
#include "posix_support.h"

namespace lumivane::posix {
namespace {

TEST(TerminationSignals, SignalsArriveOnThePipeInOrder) {
  TerminationSignals& signals = TerminationSignals::install();
  EXPECT_EQ(&TerminationSignals::install(), &signals);
  ASSERT_GE(signals.readDescriptor(), 0);
  EXPECT_TRUE(signals.drain().empty());

  // kill, not raise: a signal to the process, as a session manager or `kill` would send it.
  for (const int signalNumber : {SIGTERM, SIGHUP, SIGINT, SIGTERM}) {
    ASSERT_EQ(::kill(::getpid(), signalNumber), 0);
  }
  pollfd watched{signals.readDescriptor(), POLLIN, 0};
  const auto patience = std::chrono::milliseconds(testing::kPatience);
  ASSERT_EQ(::poll(&watched, 1, static_cast<int>(patience.count())), 1);
  // Sent to the process, a signal may be handled by any thread; all four are in the pipe by
  // the time the last kill returned to a thread that does not block them.
  std::vector<int> received;
  while (received.size() < 4 && ::poll(&watched, 1, static_cast<int>(patience.count())) == 1) {
    const auto more = signals.drain();
    received.insert(received.end(), more.begin(), more.end());
  }
  EXPECT_EQ(received, (std::vector<int>{SIGTERM, SIGHUP, SIGINT, SIGTERM}));
  EXPECT_TRUE(signals.drain().empty());
}

// A process started with the termination signals blocked still receives them once the
// handlers are installed. Checked in a forked child, whose mask the test may change.
TEST(TerminationSignals, ABlockedTerminationSignalIsUnblockedAndArrives) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGHUP);
    ::pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    TerminationSignals& signals = TerminationSignals::install();
    signals.drain();
    ::kill(::getpid(), SIGTERM);
    pollfd watched{signals.readDescriptor(), POLLIN, 0};
    if (::poll(&watched, 1, 10'000) != 1) ::_exit(2);
    sigset_t now;
    ::pthread_sigmask(SIG_SETMASK, nullptr, &now);
    const bool unblocked = !sigismember(&now, SIGTERM) && !sigismember(&now, SIGHUP);
    ::_exit(signals.drain() == std::vector<int>{SIGTERM} && unblocked ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0) << "2: the signal never arrived; 1: wrong signal or mask";
}

TEST(TerminationSignals, WritingToAClosedPipeFailsInsteadOfKilling) {
  TerminationSignals::install();
  int descriptors[2];
  ASSERT_EQ(::pipe2(descriptors, O_CLOEXEC), 0);
  ::close(descriptors[0]);
  DescriptorFile writer(descriptors[1]);
  EXPECT_FALSE(writer.writeData("nobody reads this"));
}

// The launcher's own dispositions are not the server's: it still gets SIGPIPE and SIGINT
// at their defaults.
TEST(TerminationSignals, ChildrenStartWithDefaults) {
  TerminationSignals::install();
  testing::OutputPipe output;
  ProcessDescription description;
  description.executableURL = LUMIVANE_POSIX_PROBE_CHILD;
  description.arguments = {"report"};
  description.standardOutput = output.writeEnd;
  ASSERT_TRUE(spawnProcess(std::move(description)).process);
  const auto ignored =
      testing::valuesOf(testing::parseReport(output.readUntil(testing::kReportEnd)), "SigIgn");
  ASSERT_EQ(ignored.size(), 1u);
  EXPECT_EQ(testing::withoutLibcSignals(ignored[0]), 0u);
}

}  // namespace
}  // namespace lumivane::posix
