// The self-pipe: the handler only writes one byte, the signal number, to a non-blocking pipe.
#include "platform/posix/termination_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace lumivane::posix {

namespace {

// Written once, before any handler is installed, and only read afterwards.
int writeDescriptor = -1;

constexpr int kTerminationSignals[] = {SIGTERM, SIGINT, SIGHUP};

extern "C" void onTerminationSignal(int signalNumber) {
  const int savedErrno = errno;
  const unsigned char byte = static_cast<unsigned char>(signalNumber);
  // A full pipe already holds pending signals that will be read; dropping this one loses
  // nothing the event loop would act on differently.
  [[maybe_unused]] const ssize_t written = ::write(writeDescriptor, &byte, 1);
  errno = savedErrno;
}

}  // namespace

TerminationSignals& TerminationSignals::install() {
  static TerminationSignals signals;
  // A program started with these signals blocked (some supervisors and shells pass such a
  // mask on) would otherwise never see them, and could not be stopped in an orderly way.
  // Threads started afterwards inherit the caller's mask.
  sigset_t termination;
  sigemptyset(&termination);
  for (const int signalNumber : kTerminationSignals) sigaddset(&termination, signalNumber);
  ::pthread_sigmask(SIG_UNBLOCK, &termination, nullptr);
  return signals;
}

TerminationSignals::TerminationSignals() {
  int descriptors[2];
  if (::pipe2(descriptors, O_NONBLOCK | O_CLOEXEC) != 0) return;
  readDescriptor_ = descriptors[0];
  writeDescriptor = descriptors[1];

  struct sigaction action {};
  action.sa_handler = onTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int signalNumber : kTerminationSignals) ::sigaction(signalNumber, &action, nullptr);

  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGPIPE, &ignore, nullptr);
}

std::vector<int> TerminationSignals::drain() {
  std::vector<int> received;
  if (readDescriptor_ < 0) return received;
  unsigned char buffer[64];
  for (;;) {
    const ssize_t got = ::read(readDescriptor_, buffer, sizeof buffer);
    if (got > 0) {
      received.insert(received.end(), buffer, buffer + got);
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    // 0 cannot happen while the write end is open; EAGAIN means nothing is left.
    return received;
  }
}

}  // namespace lumivane::posix
