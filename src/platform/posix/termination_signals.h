// SIGTERM, SIGINT and SIGHUP turned into bytes on a pipe, so the event loop can treat a request
// to terminate like any other input (the self-pipe trick), and SIGPIPE ignored, so the launcher
// does not die writing to a reader that went away.
#pragma once

#include <vector>

namespace lumivane::posix {

class TerminationSignals {
 public:
  // Creates the pipe and installs the handlers on first use; later calls return the same
  // object. Every call also unblocks the termination signals in the calling thread. Safe to
  // call from any thread; the handlers stay installed for the process's life.
  static TerminationSignals& install();

  TerminationSignals(const TerminationSignals&) = delete;
  TerminationSignals& operator=(const TerminationSignals&) = delete;

  // Readable whenever a signal is pending; watch it, then call `drain`.
  int readDescriptor() const { return readDescriptor_; }
  // The signal numbers received since the last call, oldest first. Never blocks.
  std::vector<int> drain();

 private:
  TerminationSignals();
  int readDescriptor_ = -1;
};

}  // namespace lumivane::posix
