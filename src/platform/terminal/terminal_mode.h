// The controlling terminal's modes while the launcher reads single key presses: canonical
// input and echo off, everything else (Ctrl-C as SIGINT included) as the user had it. The
// modes found first are put back on every way out: `restore`, an ordinary exit (atexit) and
// the _exit of a termination, which calls `restore` itself.
#pragma once

namespace lumivane::terminal {

// True when `fd` is a terminal and this process is in its foreground: only then may it read
// the terminal or change its modes without being stopped (SIGTTIN, SIGTTOU), as when started
// in the background with `&`.
bool ownsTerminal(int fd);

// Switches `fd`, a terminal, to single key presses without echo. False when it is not a
// terminal this process owns (see ownsTerminal) or its modes cannot be changed. The first
// call remembers the modes to restore.
bool enterKeyMode(int fd);

// Puts the remembered modes back, if any were changed. Safe to call any number of times and
// from a signal handler (it only calls tcsetattr).
void restoreTerminal();

}  // namespace lumivane::terminal
