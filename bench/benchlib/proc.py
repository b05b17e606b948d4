"""What /proc says about a running process: wake-ups, CPU time, memory and descriptors.

Every reader sums over the threads alive at the moment of reading; a thread that ends between
two readings takes its context switches with it, so the figures also count the threads.
"""

import os
import statistics

from harness.processes import cpu_ns, fd_count, status_kib, threads  # noqa: F401 (re-exported)

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def _read(path):
    with open(path, encoding="ascii", errors="replace") as stream:
        return stream.read()


def _fields(text):
    values = {}
    for line in text.splitlines():
        name, _, value = line.partition(":")
        values[name.strip()] = value.strip()
    return values


def wakeups(pid):
    """Voluntary plus involuntary context switches, summed over the live threads."""
    total = 0
    for tid in threads(pid):
        try:
            status = _fields(_read(f"/proc/{pid}/task/{tid}/status"))
        except FileNotFoundError:
            continue
        total += int(status["voluntary_ctxt_switches"]) + int(status["nonvoluntary_ctxt_switches"])
    return total


def cpu_seconds(pid):
    """utime + stime of the whole process (ended threads included), in seconds; the kernel
    keeps them in clock ticks (1/CLOCK_TICKS s)."""
    stat = _read(f"/proc/{pid}/stat")
    after_name = stat.rsplit(")", 1)[1].split()
    # Fields 14 and 15 of stat; after the name the list starts at field 3.
    return (int(after_name[11]) + int(after_name[12])) / CLOCK_TICKS


def pss_kib(pid):
    return int(_fields(_read(f"/proc/{pid}/smaps_rollup"))["Pss"].split()[0])


class Snapshot:
    """Counters of one process at one moment."""

    def __init__(self, pid):
        self.pid = pid
        self.wakeups = wakeups(pid)
        self.cpu_seconds = cpu_seconds(pid)
        self.cpu_ns = cpu_ns(pid)
        self.threads = len(threads(pid))

    def since(self, earlier):
        return {
            "wakeups": self.wakeups - earlier.wakeups,
            "cpu_ms_ticks": (self.cpu_seconds - earlier.cpu_seconds) * 1000,
            "cpu_ms": (self.cpu_ns - earlier.cpu_ns) / 1e6,
            "threads_before": earlier.threads,
            "threads_after": self.threads,
        }


# --- statistics ----------------------------------------------------------------------------

def median(values):
    return statistics.median(values)


def percentile(values, fraction):
    """The nearest-rank percentile: the smallest value with at least `fraction` of the values
    at or below it."""
    ordered = sorted(values)
    rank = max(1, -(-len(ordered) * fraction // 1))  # ceil(n * fraction)
    return ordered[int(rank) - 1]


def slope(ys):
    """Least-squares slope of ys against 0, 1, 2, ... (units of y per step)."""
    n = len(ys)
    if n < 2:
        return 0.0
    mean_x = (n - 1) / 2
    mean_y = sum(ys) / n
    sxx = sum((x - mean_x) ** 2 for x in range(n))
    sxy = sum((x - mean_x) * (y - mean_y) for x, y in enumerate(ys))
    return sxy / sxx
