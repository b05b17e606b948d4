"""The base of every end-to-end test: one private desktop, home and bundle per test.

The built program and bundle come from the environment that ctest sets:
LUMIVANE_E2E_EXECUTABLE (bin/lumivane), LUMIVANE_E2E_BUNDLE (the bundle directory) and
LUMIVANE_E2E_ARTIFACTS (where screenshots and the logs of failed tests are kept).

At the end of every test no process that it started may be left; any that is, is killed
and the test fails. A failed test prints its name and the tail of the server log.
"""

import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import unittest
import uuid
from pathlib import Path

import dbus
import dbus.bus

from . import processes
from .accessibility import AccessibleTree
from .bundle import make_bundle
from .desktop import SYSTEM_PYTHON, Desktop
from .processes import wait_until
from .tray import TrayItem

ALERT_TITLE = "Lumivane"
# Generous: two cores are shared by parallel tests, a bundled interpreter and Qt.
START_TIMEOUT = 60
EXIT_TIMEOUT = 30
SETTLE_TIMEOUT = 20


def _environment_path(name):
    value = os.environ.get(name)
    if not value:
        raise unittest.SkipTest(f"{name} is not set; run the end-to-end tests through ctest")
    return Path(value)


class LauncherTestCase(unittest.TestCase):
    maxDiff = None
    # True: the desktop runs as with a screen reader, so that alerts can be read out.
    accessibility = False

    @classmethod
    def setUpClass(cls):
        cls.built_executable = _environment_path("LUMIVANE_E2E_EXECUTABLE")
        cls.built_bundle = _environment_path("LUMIVANE_E2E_BUNDLE")
        cls.built_resources = cls.built_bundle / "share" / "lumivane"
        for path in (cls.built_executable, cls.built_resources / "python" / "bin" / "python3",
                     cls.built_resources / "lumivane" / "app"):
            if not path.exists():
                raise AssertionError(f"{path} is missing: build the program and the bundle first")
        cls.artifacts_root = Path(os.environ.get(
            "LUMIVANE_E2E_ARTIFACTS", Path(tempfile.gettempdir()) / "lumivane-e2e-artifacts"))

    def setUp(self):
        self.marker = uuid.uuid4().hex
        self.root = Path(tempfile.mkdtemp(prefix="lumivane-e2e-"))
        self.artifacts = self.artifacts_root / self.id().replace("__main__.", "")
        shutil.rmtree(self.artifacts, ignore_errors=True)
        self.desktop = Desktop(self.root, self.marker, accessibility=self.accessibility)
        self.launchers = []
        self._bundles = 0
        self._bus = None
        self.addCleanup(self._finish)
        self._require_private_port()
        self.desktop.start()

    def _require_private_port(self):
        with socket.socket() as probe:
            probe.settimeout(2)
            if probe.connect_ex(("127.0.0.1", 8000)) == 0:
                raise AssertionError(
                    "something already listens on 127.0.0.1:8000; run the end-to-end tests in "
                    "a network namespace of their own (ctest does)")

    # --- the program ----------------------------------------------------------------------

    def make_bundle(self, **kwargs):
        self._bundles += 1
        kwargs.setdefault("record_dir", self.desktop.records)
        return make_bundle(self.root / f"bundle-{self._bundles}", self.built_executable,
                           self.built_resources, **kwargs)

    @property
    def log_path(self):
        return self.desktop.state_home / "Logs" / "Lumivane" / "lumivane.log"

    def log_text(self):
        try:
            return self.log_path.read_text(errors="replace")
        except (FileNotFoundError, IsADirectoryError):
            return ""

    def launch(self, bundle, signal_state=None, **env_changes):
        """Starts bin/lumivane of the bundle in the session, as the desktop would.

        signal_state: optional (ignored, blocked) signal numbers that the launcher inherits,
        as from a shell or supervisor that passes them on.
        """
        number = len(self.launchers) + 1
        output = self.desktop.output / f"lumivane-{number}.log"
        preexec = None
        if signal_state is not None:
            ignored, blocked = signal_state

            def preexec():
                for signal_number in ignored:
                    signal.signal(signal_number, signal.SIG_IGN)
                signal.pthread_sigmask(signal.SIG_BLOCK, blocked)
        with open(output, "wb") as stream:
            launcher = subprocess.Popen(
                [str(bundle.executable)], env=self.desktop.environment(**env_changes),
                stdin=subprocess.DEVNULL, stdout=stream, stderr=stream, cwd=self.desktop.home,
                preexec_fn=preexec)
        launcher.output = output
        self.launchers.append(launcher)
        return launcher

    def launcher_output(self, launcher):
        return launcher.output.read_text(errors="replace")

    def wait_for_exit(self, launcher, timeout=EXIT_TIMEOUT):
        try:
            return launcher.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise processes.Timeout(
                f"lumivane (pid {launcher.pid}) still runs {timeout:g} s later") from None

    # --- the tray -------------------------------------------------------------------------

    def _connection_pid(self, name):
        bus_daemon = self._session_bus().get_object("org.freedesktop.DBus", "/org/freedesktop/DBus")
        try:
            return int(bus_daemon.GetConnectionUnixProcessID(
                name, dbus_interface="org.freedesktop.DBus"))
        except dbus.exceptions.DBusException:
            return None  # that connection is gone

    def _session_bus(self):
        if self._bus is None:
            self._bus = dbus.bus.BusConnection(self.desktop.bus_address)
        return self._bus

    def tray_item(self, launcher, timeout=START_TIMEOUT):
        """The status item that `launcher` registered with the tray host."""
        def registered():
            if launcher.poll() is not None:
                raise AssertionError(f"lumivane exited with {launcher.returncode} before "
                                     "showing its status item")
            for entry in self.desktop.tray_registrations():
                if self._connection_pid(entry["sender"]) == launcher.pid:
                    return entry
            return None

        entry = wait_until(registered, timeout, "the status item to register with the tray")
        item = TrayItem(self.desktop.bus_address, entry["service"], entry["path"])
        self.addCleanup(item.close)
        return item

    # --- the browser and the file manager -------------------------------------------------

    def wait_for_urls(self, count, timeout=START_TIMEOUT):
        """The opened URLs, once there are at least `count`."""
        return wait_until(lambda: (urls := self.desktop.opened_urls()) and len(urls) >= count
                          and urls, timeout, f"{count} URL(s) to open in the browser")

    def wait_for_file_manager(self, count, timeout=START_TIMEOUT):
        return wait_until(lambda: (calls := self.desktop.file_manager_calls())
                          and len(calls) >= count and calls,
                          timeout, f"{count} call(s) to the file manager")

    def wait_for_openers(self, timeout=SETTLE_TIMEOUT):
        """Waits until every xdg-open and browser that the program started has finished.

        After that the browser record is complete: a page that was asked for is in it.
        """
        def finished():
            running = [command for pid, command in processes.marked(self.marker).items()
                       if "xdg-open" in command or str(self.desktop.browser) in command]
            return not running
        wait_until(finished, timeout, "the browser openers to finish")

    # --- the served application -----------------------------------------------------------

    def app_events(self, event=None):
        path = self.desktop.records / "events.jsonl"
        try:
            lines = path.read_text().splitlines()
        except FileNotFoundError:
            return []
        events = [json.loads(line) for line in lines if line]
        return [e for e in events if event is None or e["event"] == event]

    def wait_for_event(self, event, count=1, timeout=START_TIMEOUT, **match):
        def found():
            events = [e for e in self.app_events(event)
                      if all(e.get(k) == v for k, v in match.items())]
            return len(events) >= count and events
        return wait_until(found, timeout, f"{count} {event!r} event(s) from the served app")

    def server_pids(self):
        """Live processes of this test that run the served application (`-m app`); the
        status recorder that may stand in front of the interpreter does not count."""
        return {pid: command for pid, command in processes.marked(self.marker).items()
                if " -m app" in command and not command.startswith(SYSTEM_PYTHON + " ")}

    # --- alerts ---------------------------------------------------------------------------

    def wait_for_alert(self, timeout=START_TIMEOUT):
        windows = wait_until(lambda: self.desktop.windows(ALERT_TITLE), timeout,
                             f"an alert titled {ALERT_TITLE!r}")
        self.assertEqual(len(windows), 1, "more than one alert is shown")
        return windows[0]

    def read_alert(self, launcher, timeout=START_TIMEOUT):
        """The one alert that `launcher` shows, as a screen reader reads it."""
        if not self.accessibility:
            raise AssertionError("set accessibility = True to read alerts")

        def shown():
            for entry in self.desktop.accessible_applications():
                if self._connection_pid(entry["sender"]) != launcher.pid:
                    continue
                tree = AccessibleTree(self._session_bus(), entry["service"], entry["path"])
                alerts = tree.alerts()
                if alerts:
                    self.assertEqual(len(alerts), 1, "more than one alert is shown")
                    return tree.describe_alert(alerts[0])
            return None
        return wait_until(shown, timeout, "an alert in the accessible tree")

    def answer_alert(self, window, button):
        """Chooses a button by keyboard: Return for the default (first) one; Tab moves the
        focus on from the default button in the order the buttons are shown."""
        if button == 0:
            self.desktop.press(window, "Return")
        else:
            self.desktop.press(window, *(["Tab"] * button), "space")
        wait_until(lambda: not self.desktop.window_is_visible(window), EXIT_TIMEOUT,
                   "the alert to close")

    def screenshot(self, name, window=None, stable_name=None):
        """Keeps a picture of the screen in the test's artifacts; with `window`, also one of
        that window alone, which `stable_name` copies to the top of the artifacts."""
        path = self.desktop.screenshot(self.artifacts / f"{name}.png")
        if window is not None:
            path = self.desktop.screenshot(self.artifacts / f"{name}-window.png", window)
        if stable_name:
            self.artifacts_root.mkdir(parents=True, exist_ok=True)
            shutil.copy2(path, self.artifacts_root / f"{stable_name}.png")
        return path

    def assert_no_alert(self):
        self.assertEqual(self.desktop.windows(ALERT_TITLE), [], "an alert is shown")

    # --- the end of a test ----------------------------------------------------------------

    def wait_for_processes_to_end(self, timeout=SETTLE_TIMEOUT, keep=()):
        """Waits until no process of this test runs but the desktop's own and `keep`.

        Returns what is still running then (pid -> command line).
        """
        def rest():
            ignored = self.desktop.infrastructure_pids() | set(keep)
            return {pid: command for pid, command in processes.marked(self.marker).items()
                    if pid not in ignored}
        try:
            wait_until(lambda: not rest(), timeout, "the test's processes to end")
        except processes.Timeout:
            pass
        return rest()

    def run(self, result=None):
        self._result = result
        return super().run(result)

    def _succeeded(self):
        # Failures are reported to the result as they happen, before the clean-ups run.
        result = getattr(self, "_result", None)
        if result is None:
            return False
        return not any(test is self for test, _ in result.failures + result.errors)

    def _finish(self):
        succeeded = self._succeeded()
        leftovers = self.wait_for_processes_to_end(
            timeout=SETTLE_TIMEOUT if succeeded else 1)
        for launcher in self.launchers:
            if launcher.poll() is None:
                launcher.kill()
        for pid in leftovers:
            processes.kill(pid)
        for launcher in self.launchers:
            launcher.wait()
        if self._bus is not None:
            self._bus.close()
        self.desktop.stop()
        for pid in processes.marked(self.marker):
            processes.kill(pid)

        if not succeeded or leftovers:
            self._report(leftovers)
        if os.environ.get("LUMIVANE_E2E_KEEP"):
            sys.stderr.write(f"kept {self.root}\n")
        else:
            shutil.rmtree(self.root, ignore_errors=True)
        if succeeded and leftovers:
            listing = "\n".join(f"  {pid}: {command}" for pid, command in leftovers.items())
            self.fail(f"processes of this test were still running at its end:\n{listing}")

    def _report(self, leftovers):
        self.artifacts.mkdir(parents=True, exist_ok=True)
        self.desktop.copy_output_to(self.artifacts)
        if self.log_path.is_file():
            shutil.copy2(self.log_path, self.artifacts / "lumivane.log")
        lines = [f"\n=== end-to-end scenario failed: {self.id()}"]
        if leftovers:
            lines.append("processes left at the end: " + ", ".join(
                f"{pid} ({command})" for pid, command in leftovers.items()))
        log_tail = self.log_text().splitlines()[-40:]
        lines.append(f"--- server log ({self.log_path}), last {len(log_tail)} lines:")
        lines.extend(log_tail or ["(empty or missing)"])
        for launcher in self.launchers:
            tail = self.launcher_output(launcher).splitlines()[-20:]
            lines.append(f"--- lumivane pid {launcher.pid} output, last {len(tail)} lines:")
            lines.extend(tail or ["(none)"])
        lines.append(f"--- artifacts in {self.artifacts}")
        sys.stderr.write("\n".join(lines) + "\n")
