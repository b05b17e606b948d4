// InstanceLock: one holder at a time, across processes and within one, freed by the kernel
// when the holder is killed outright, and not passed on to a child the holder starts.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/posix/instance_lock.h"
#include "platform/posix/process.h"
#include "posix_support.h"

namespace lumivane::posix {
namespace {

TEST(InstanceLock, OneHolderWithinAProcess) {
  testing::TemporaryDirectory directory;
  const auto lockFile = directory / "lumivane.lock";
  auto first = InstanceLock::acquire(lockFile);
  ASSERT_TRUE(first);
  EXPECT_FALSE(InstanceLock::acquire(lockFile));
  // Moving the lock keeps it held.
  InstanceLock moved = std::move(*first);
  first.reset();
  EXPECT_FALSE(InstanceLock::acquire(lockFile));
  { InstanceLock released = std::move(moved); }
  EXPECT_TRUE(InstanceLock::acquire(lockFile));
}

TEST(InstanceLock, FreedWhenTheHolderIsKilled) {
  testing::TemporaryDirectory directory;
  const auto lockFile = directory / "lumivane.lock";
  int ready[2];
  ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
  const pid_t holder = ::fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    auto lock = InstanceLock::acquire(lockFile);
    const char byte = lock ? 'y' : 'n';
    [[maybe_unused]] const ssize_t written = ::write(ready[1], &byte, 1);
    for (;;) ::pause();
  }
  ::close(ready[1]);
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ::close(ready[0]);
  EXPECT_EQ(byte, 'y');

  EXPECT_FALSE(InstanceLock::acquire(lockFile));
  ASSERT_EQ(::kill(holder, SIGKILL), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(holder, &status, 0), holder);
  EXPECT_TRUE(InstanceLock::acquire(lockFile));
}

// A server that outlived its launcher must not keep the next launcher from starting.
TEST(InstanceLock, NotInheritedByAChild) {
  testing::TemporaryDirectory directory;
  const auto lockFile = directory / "lumivane.lock";
  auto lock = InstanceLock::acquire(lockFile);
  ASSERT_TRUE(lock);
  auto record = testing::HandlerRecord::make();
  testing::OutputPipe output;
  ProcessDescription description;
  description.executableURL = LUMIVANE_POSIX_PROBE_CHILD;
  description.arguments = {"report-and-wait"};
  description.standardOutput = output.writeEnd;
  description.terminationHandler = record->handler();
  const LaunchResult result = spawnProcess(std::move(description));
  ASSERT_TRUE(result.process);
  const testing::ScopeExit stop([&] { result.process->terminate(); });
  // Running past exec, holding whatever it inherited.
  ASSERT_NE(output.readUntil(testing::kReportEnd).find(testing::kReportEnd), std::string::npos);
  lock.reset();
  EXPECT_TRUE(InstanceLock::acquire(lockFile));
  result.process->terminate();
  EXPECT_TRUE(record->waitUntilDone());
}

}  // namespace
}  // namespace lumivane::posix
