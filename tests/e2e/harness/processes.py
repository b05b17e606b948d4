"""Waiting on conditions, and finding every process that a test started.

Each test puts a marker variable, LUMIVANE_E2E_RUN=<uuid>, into the environment of everything
it starts. The launcher hands its environment on to the server, and the server to its own
children, so the marker finds them all, also the ones that the test never saw start.
"""

import os
import signal
import time

MARKER_VARIABLE = "LUMIVANE_E2E_RUN"


class Timeout(AssertionError):
    pass


def wait_until(condition, timeout, what, interval=0.05):
    """Polls condition() until it returns something true and returns that.

    Fails with `what` in the message when `timeout` seconds pass first.
    """
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise Timeout(f"timed out after {timeout:g} s waiting for {what}")
        time.sleep(interval)


def _read(path, mode="rb"):
    try:
        with open(path, mode) as stream:
            return stream.read()
    except OSError:
        return None


def state(pid):
    """The process's state letter (R, S, Z, ...), or None when it is gone."""
    stat = _read(f"/proc/{pid}/stat")
    if stat is None:
        return None
    # The command name in parentheses may hold blanks; the state follows the last ")".
    return stat.rsplit(b")", 1)[1].split()[0].decode()


def alive(pid):
    """True while the process exists and has not exited (a zombie has exited)."""
    return state(pid) not in (None, "Z", "X")


def command_line(pid):
    raw = _read(f"/proc/{pid}/cmdline")
    if not raw:
        return f"[pid {pid}]"
    return " ".join(part.decode(errors="replace") for part in raw.rstrip(b"\0").split(b"\0"))


def parent(pid):
    stat = _read(f"/proc/{pid}/stat")
    if stat is None:
        return None
    return int(stat.rsplit(b")", 1)[1].split()[1])


def descends_from(pid, ancestors):
    """True when one of `ancestors` is the process's parent, grandparent, and so on."""
    seen = set()
    while pid and pid not in seen:
        seen.add(pid)
        pid = parent(pid)
        if pid in ancestors:
            return True
    return False


def children(pid):
    """pid -> state letter of every process whose parent is `pid`."""
    found = {}
    for name in os.listdir("/proc"):
        if name.isdigit() and parent(int(name)) == pid:
            found[int(name)] = state(int(name))
    return found


def threads(pid):
    return sorted(int(name) for name in os.listdir(f"/proc/{pid}/task"))


def cpu_ns(pid):
    """Time on a CPU in nanoseconds, summed over the live threads (schedstat)."""
    total = 0
    for tid in threads(pid):
        raw = _read(f"/proc/{pid}/task/{tid}/schedstat")
        if raw is not None:  # a thread that ended meanwhile
            total += int(raw.split()[0])
    return total


def status_kib(pid, name):
    """A "... kB" line of /proc/PID/status (VmRSS, RssAnon, ...), in KiB."""
    raw = _read(f"/proc/{pid}/status")
    if raw is None:
        raise ProcessLookupError(f"no process {pid}")
    for line in raw.decode("ascii", "replace").splitlines():
        field, _, value = line.partition(":")
        if field == name:
            return int(value.split()[0])
    raise KeyError(f"{name} is not in /proc/{pid}/status")


def fd_count(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def marked(marker):
    """pid -> command line of every live process whose environment carries the marker."""
    entry = f"{MARKER_VARIABLE}={marker}".encode()
    found = {}
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        pid = int(name)
        if pid == os.getpid():
            continue
        environ = _read(f"/proc/{pid}/environ")
        if environ is None or entry not in environ.split(b"\0"):
            continue
        if alive(pid):
            found[pid] = command_line(pid)
    return found


def kill(pid, sig=signal.SIGKILL):
    try:
        os.kill(pid, sig)
    except (ProcessLookupError, PermissionError):
        pass
