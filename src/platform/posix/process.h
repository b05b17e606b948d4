// Child processes of the desktop backend: the platform's `launch` on posix_spawn.
//
// The child is started directly (no shell, no PATH search) with exactly the environment given,
// exactly descriptors 0, 1 and 2, default signal dispositions, an empty signal mask and a process
// group of its own, so that SIGINT and SIGTERM reach it and everything it started. One thread per
// child waits for it, so `isRunning` is right while the main thread sleeps and the termination
// handler runs without the main thread's help.
#pragma once

#include "platform/platform.h"

namespace lumivane::posix {

// Starts the child `description` describes. Standard output and error go to the description's
// handles when they are DescriptorFiles (the same open file when both are the same handle);
// another kind of handle, or none, leaves the stream inherited. On failure the result holds no
// process and a description naming what failed, and the termination handler is never called.
LaunchResult spawnProcess(ProcessDescription description);

// The termination status of a wait status from waitpid: the exit code of a child that exited,
// the signal number of one killed by a signal, -1 for anything else.
int decodeWaitStatus(int waitStatus);

}  // namespace lumivane::posix
