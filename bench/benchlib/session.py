"""A private desktop session for the benchmark, and the programs it runs there.

The session itself (X server, session bus, tray host) is the end-to-end tests' own
(tests/e2e/harness), used as it is. On top of it this module adds what the figures need:
bundles whose `app` is the benchmark's fixture, a browser and an xdg-open that write down
when they were asked to open a page, the fixture's records, alerts found by the pid of the
program that shows them, and exits timed with pidfds.
"""

import json
import os
import select
import shutil
import signal
import subprocess
import time
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent.parent
REPO = BENCH_DIR.parent

from harness import processes  # noqa: E402
from harness.desktop import Desktop  # noqa: E402

FIXTURE_DIR = BENCH_DIR / "fixture_app"

# Both write "<seconds since the epoch> <url>" a line.
TIMED_BROWSER = """#!/bin/sh
now=$(date +%s.%N)
for url in "$@"; do
  printf '%s %s\\n' "$now" "$url" >> '{record}'
done
"""
TIMED_XDG_OPEN = """#!/bin/sh
printf '%s %s\\n' "$(date +%s.%N)" "$*" >> '{record}'
exec /usr/bin/xdg-open "$@"
"""


class Timeout(AssertionError):
    pass


def wait_until(condition, timeout, what, interval=0.01):
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise Timeout(f"timed out after {timeout:g} s waiting for {what}")
        time.sleep(interval)


class Bundle:
    """<root>/bin/lumivane and <root>/share/lumivane with the fixture as lumivane/app."""

    def __init__(self, root, built_bundle):
        self.root = Path(root)
        built_resources = Path(built_bundle) / "share" / "lumivane"
        self.executable = self.root / "bin" / "lumivane"
        self.resources = self.root / "share" / "lumivane"
        self.app_dir = self.resources / "lumivane"
        self.interpreter = self.resources / "python" / "bin" / "python3"
        self.executable.parent.mkdir(parents=True)
        shutil.copy2(Path(built_bundle) / "bin" / "lumivane", self.executable)
        self.app_dir.mkdir(parents=True)
        os.symlink(built_resources / "python", self.resources / "python")
        shutil.copytree(FIXTURE_DIR, self.app_dir / "app",
                        ignore=shutil.ignore_patterns("__pycache__", "*.pyc"))
        (self.resources / "models").mkdir()
        for icon in built_resources.glob("MenuIcon*.png"):
            shutil.copy2(icon, self.resources / icon.name)
        self.icon = self.resources / "MenuIcon.png"


class Session:
    """One desktop session: its directories, programs and records."""

    def __init__(self, root, marker, build_dir):
        self.root = Path(root)
        self.marker = marker
        self.build = Path(build_dir)
        self.tools = self.build / "bench-tools"
        self.desktop = Desktop(self.root / "desktop", marker)
        self.records = self.root / "records"
        self.records.mkdir(parents=True)
        self.browser_record = self.records / "browser.txt"
        self.opener_record = self.records / "xdg-open.txt"
        self.fixture_record = self.records / "fixture.jsonl"
        self.config = self.records / "fixture-config.json"
        self.bin = self.root / "bin"
        self.bin.mkdir()
        opener = self.bin / "xdg-open"
        opener.write_text(TIMED_XDG_OPEN.format(record=self.opener_record))
        opener.chmod(0o755)
        self.desktop.set_browser(TIMED_BROWSER.format(record=self.browser_record))
        self.output = self.root / "output"
        self.output.mkdir()
        self._started = []  # Popen objects of this module, for the sweep at the end
        self._count = 0

    # --- start and stop -------------------------------------------------------------------

    def start(self):
        self.desktop.start()
        return self

    def stop(self):
        """Ends everything this session started, the desktop last, and waits for it."""
        for process in self._started:
            if process.poll() is None:
                process.kill()
        for process in self._started:
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass
        self.kill_marked(keep=self.desktop.infrastructure_pids())
        self.desktop.stop()
        self.kill_marked()

    def kill_marked(self, keep=()):
        """Kills, by pid, every process that carries this session's marker (a server that
        outlived its launcher, an opener), except `keep`."""
        for _ in range(50):
            left = {pid for pid in processes.marked(self.marker) if pid not in keep}
            if not left:
                return
            for pid in left:
                processes.kill(pid)
            time.sleep(0.1)

    # --- the environment and the fixture --------------------------------------------------

    def environment(self, **changes):
        path = f"{self.bin}:{self.desktop.environment()['PATH']}"
        return self.desktop.environment(
            PATH=path, LUMIVANE_BENCH_CONFIG=str(self.config),
            LUMIVANE_BENCH_RECORD=str(self.fixture_record), **changes)

    def configure_fixture(self, **config):
        self.config.write_text(json.dumps(config))

    def fixture_events(self, event=None, after=0.0):
        try:
            lines = self.fixture_record.read_text().splitlines()
        except FileNotFoundError:
            return []
        events = [json.loads(line) for line in lines if line.endswith("}")]
        return [e for e in events if (event is None or e["event"] == event) and e["time"] >= after]

    def wait_for_event(self, event, after=0.0, timeout=30, pid=None):
        def found():
            return [e for e in self.fixture_events(event, after)
                    if pid is None or e["pid"] == pid]
        return wait_until(found, timeout, f"the fixture's {event!r}")[0]

    @staticmethod
    def _timed_lines(path, after):
        try:
            lines = path.read_text().splitlines()
        except FileNotFoundError:
            return []
        entries = []
        for line in lines:
            stamp, _, url = line.partition(" ")
            try:
                when = float(stamp)
            except ValueError:
                continue
            if when >= after:
                entries.append((when, url))
        return entries

    def browser_opens(self, after=0.0):
        return self._timed_lines(self.browser_record, after)

    def opener_calls(self, after=0.0):
        return self._timed_lines(self.opener_record, after)

    def wait_for_browser(self, after=0.0, timeout=30):
        return wait_until(lambda: self.browser_opens(after), timeout,
                          "the browser to be asked for a page")[0]

    def wait_for_openers(self, timeout=20):
        """Until no xdg-open or browser of this session runs any more."""
        def finished():
            return not [c for c in processes.marked(self.marker).values()
                        if "xdg-open" in c or str(self.desktop.browser) in c]
        wait_until(finished, timeout, "the browser openers to finish", interval=0.02)

    def wait_for_tray_items(self, count, timeout=30):
        wait_until(lambda: len(self.desktop.tray_registrations()) >= count, timeout,
                   f"{count} status item(s) in the tray")

    @property
    def log_path(self):
        return self.desktop.state_home / "Logs" / "Lumivane" / "lumivane.log"

    # --- programs -------------------------------------------------------------------------

    def _popen(self, argv, name, **kwargs):
        self._count += 1
        output = open(self.output / f"{self._count:03d}-{name}.log", "wb")
        kwargs.setdefault("stdout", output)
        kwargs.setdefault("stdin", subprocess.DEVNULL)
        kwargs.setdefault("cwd", self.desktop.home)
        process = subprocess.Popen(argv, stderr=output, **kwargs)
        output.close()
        self._started.append(process)
        return process

    def make_bundle(self, name="bundle"):
        return Bundle(self.root / name, self.build / "bundle")

    def launch(self, bundle):
        """Starts the bundle's lumivane as the desktop would."""
        return self._popen([str(bundle.executable)], "lumivane", env=self.environment())

    def start_baseline_tray(self, icon, alerts=False):
        argv = [str(self.tools / "baseline_tray"), str(icon)] + (["--alerts"] if alerts else [])
        return self._popen(argv, "baseline-tray", env=self.environment(),
                           stdout=subprocess.PIPE, stdin=subprocess.PIPE if alerts else
                           subprocess.DEVNULL)

    def start_relay(self, bundle, log, open_url=None):
        argv = [str(self.tools / "relay")]
        if open_url:
            argv += ["--open-when-ready", open_url]
        argv += [str(log), str(bundle.app_dir), "--", str(bundle.interpreter), "-m", "app",
                 "--no-browser"]
        # The same environment changes that Lumivane makes for its child.
        env = self.environment(PYTHONNOUSERSITE="1", PYTHONDONTWRITEBYTECODE="1",
                               LUMIVANE_MODELS=str(bundle.resources / "models"),
                               LUMIVANE_LAUNCHER="1")
        process = self._popen(argv, "relay", env=env, stdout=subprocess.PIPE)
        line = read_line(process.stdout, 30, "the relay's child")
        process.child_pid = int(line.split()[1])
        return process

    def start_fixture_directly(self, bundle):
        """The fixture as a server already running before the launcher starts."""
        return self._popen([str(bundle.interpreter), "-m", "app", "--no-browser"],
                           "fixture", env=self.environment(), cwd=bundle.app_dir)

    # --- alerts ---------------------------------------------------------------------------

    def alert_windows(self, pid):
        found = subprocess.run(
            ["xdotool", "search", "--onlyvisible", "--pid", str(pid), "--name", "^Lumivane$"],
            env=self.desktop.environment(), capture_output=True, text=True, timeout=30)
        return [int(word) for word in found.stdout.split()]

    def answer_alert(self, pid, timeout=30):
        """Waits for the alert that `pid` shows and presses Return (its default button)."""
        window = wait_until(lambda: self.alert_windows(pid), timeout,
                            f"an alert of pid {pid}", interval=0.02)[0]
        self.desktop.press(window, "Return")
        return window


def read_line(stream, timeout, what):
    """One line from a program's pipe within `timeout` seconds."""
    deadline = time.monotonic() + timeout
    data = b""
    fd = stream.fileno()
    while b"\n" not in data:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise Timeout(f"timed out waiting for {what}")
        ready, _, _ = select.select([fd], [], [], remaining)
        if ready:
            chunk = os.read(fd, 1)
            if not chunk:
                raise AssertionError(f"{what}: the pipe closed")
            data += chunk
    return data.decode().strip()


class ExitWatch:
    """Times the ends of processes through pidfds, which also work for processes that are
    not our children. The pidfds are opened at construction, so no end can be missed."""

    def __init__(self, pids):
        self.pids = list(pids)
        self._fds = {}
        self.ended = {}  # pid -> time.time() of its end; None: gone before the watch began
        for pid in self.pids:
            try:
                self._fds[os.pidfd_open(pid)] = pid
            except ProcessLookupError:
                self.ended[pid] = None

    def wait(self, timeout):
        poller = select.poll()
        for fd in self._fds:
            poller.register(fd, select.POLLIN)
        deadline = time.monotonic() + timeout
        try:
            while len(self.ended) < len(self.pids):
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    raise Timeout(f"pids {sorted(set(self.pids) - set(self.ended))} still run")
                for fd, _ in poller.poll(remaining * 1000):
                    self.ended[self._fds[fd]] = time.time()
                    poller.unregister(fd)
        finally:
            for fd in self._fds:
                os.close(fd)
            self._fds.clear()
        return self.ended


def terminate_and_time(process, others=(), timeout=20):
    """Sends SIGTERM to `process` (a Popen); returns the time it was sent and pid -> end time
    for it and the pids in `others`."""
    watch = ExitWatch([process.pid, *others])
    sent = time.time()
    process.send_signal(signal.SIGTERM)
    ended = watch.wait(timeout)
    process.wait(timeout=timeout)
    return sent, ended
