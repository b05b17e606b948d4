// See terminal_mode.h.
#include "platform/terminal/terminal_mode.h"

#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

namespace lumivane::terminal {

namespace {

struct termios savedModes;
int savedFd = -1;
volatile std::sig_atomic_t changed = 0;

}  // namespace

bool ownsTerminal(int fd) { return ::isatty(fd) && ::tcgetpgrp(fd) == ::getpgrp(); }

bool enterKeyMode(int fd) {
  if (!ownsTerminal(fd)) return false;
  if (savedFd < 0) {
    if (::tcgetattr(fd, &savedModes) != 0) return false;
    savedFd = fd;
    std::atexit(restoreTerminal);
  }
  struct termios keys = savedModes;
  keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  keys.c_cc[VMIN] = 1;
  keys.c_cc[VTIME] = 0;
  if (::tcsetattr(fd, TCSANOW, &keys) != 0) return false;
  changed = 1;
  return true;
}

void restoreTerminal() {
  if (!changed || savedFd < 0) return;
  // TCSANOW: what the user typed ahead stays for the shell.
  ::tcsetattr(savedFd, TCSANOW, &savedModes);
  changed = 0;
}

}  // namespace lumivane::terminal
