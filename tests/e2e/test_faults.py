"""Faults and a soak: many unexpected stops in a row, termination signals at awkward moments,
a server that floods its log, and a launcher that is killed outright.

Each scenario is bounded: every wait has a timeout, and the soak stops after its cycles.
Figures (descriptor and memory readings, the launcher's CPU time under the flood) are
printed to standard error and kept as JSON in the test's artifacts directory.
"""

import json
import re
import signal
import sys
import unittest

from harness import processes
from harness.case import LauncherTestCase
from harness.processes import wait_until

START_AGAIN, SHOW_LOG, QUIT = 0, 1, 2
HEADER = re.compile(r"^--- Lumivane started .* ---$", re.MULTILINE)
STAMPS = 50


class FaultCase(LauncherTestCase):
    def record_figures(self, name, figures):
        self.artifacts.mkdir(parents=True, exist_ok=True)
        (self.artifacts / f"{name}.json").write_text(json.dumps(figures, indent=2) + "\n")
        sys.stderr.write(f"\n{name}: {json.dumps(figures)}\n")

    def signals_received(self):
        return [e["name"] for e in self.app_events("signal")]


class Soak(FaultCase):
    def test_a_hundred_unexpected_stops_each_started_again(self):
        cycles = 100
        bundle = self.make_bundle(app="fixture", behaviour={
            "stamp_lines": STAMPS, "exit_after": 0.2, "exit_status": 3})
        launcher = self.launch(bundle)
        self.tray_item(launcher)
        readings = {}
        for cycle in range(1, cycles + 1):
            alert = self.wait_for_alert()
            # Read while the alert is up, the same state every cycle: the server that
            # stopped has been reaped, and none runs.
            self.assertEqual(self.server_pids(), {}, f"cycle {cycle}")
            zombies = [pid for pid, state in processes.children(launcher.pid).items() if state == "Z"]
            self.assertEqual(zombies, [], f"cycle {cycle}: unreaped children")
            if cycle in (10, cycles):
                readings[cycle] = {"fds": processes.fd_count(launcher.pid),
                                   "vm_rss_kib": processes.status_kib(launcher.pid, "VmRSS"),
                                   "rss_anon_kib": processes.status_kib(launcher.pid, "RssAnon")}
            self.answer_alert(alert, START_AGAIN)
            self.wait_for_event("started", count=cycle + 1)

        self.answer_alert(self.wait_for_alert(), QUIT)
        self.assertEqual(self.wait_for_exit(launcher), 0)
        first, last = readings[10], readings[cycles]
        self.record_figures("soak", {
            "cycles": cycles, "after_cycle_10": first, f"after_cycle_{cycles}": last,
            "fd_growth": last["fds"] - first["fds"],
            "rss_anon_growth_kib": last["rss_anon_kib"] - first["rss_anon_kib"]})
        self.assertEqual(last["fds"], first["fds"], "descriptors leak across restarts")
        # Heap use settles after the first alerts; 90 more cycles may not add up to a leak.
        # A leaked alert or process object per cycle would grow it well past this.
        self.assertLess(last["rss_anon_kib"] - first["rss_anon_kib"], 2048,
                        "memory grows with every restart")

        # The log: one header per start, and each server's every line after its own header.
        log = self.log_text()
        starts = [e["pid"] for e in self.app_events("started")]
        self.assertEqual(len(starts), cycles + 1)
        self.assertEqual(len(HEADER.findall(log)), cycles + 1)
        sections = HEADER.split(log)[1:]
        for number, (pid, section) in enumerate(zip(starts, sections), start=1):
            stamps = re.findall(rf"^fixture stamp {pid} (\d+)$", section, re.MULTILINE)
            self.assertEqual(stamps, [str(n) for n in range(STAMPS)], f"start {number}")
        self.wait_for_openers()
        self.assertLessEqual(len(self.desktop.opened_urls()), 1, "a page opened per restart")


class Faults(FaultCase):
    def test_sigterm_during_the_startup_wait_stops_the_server_once(self):
        bundle = self.make_bundle(app="fixture", behaviour={"answer_after": 120})
        launcher = self.launch(bundle)
        self.tray_item(launcher)
        self.wait_for_event("started")
        launcher.send_signal(signal.SIGTERM)
        launcher.send_signal(signal.SIGTERM)
        self.assertEqual(self.wait_for_exit(launcher), 0)
        self.wait_for_event("exit")
        self.assertEqual(self.signals_received(), ["SIGINT"])
        self.assertEqual(len(self.app_events("started")), 1)
        self.assert_no_alert()
        self.wait_for_openers()
        self.assertEqual(self.desktop.opened_urls(), [])

    def test_sigterm_during_an_alert_ends_the_launcher_without_starting_again(self):
        bundle = self.make_bundle(app="fixture", behaviour={"exit_after": 0.5})
        launcher = self.launch(bundle)
        self.tray_item(launcher)
        alert = self.wait_for_alert()
        launcher.send_signal(signal.SIGTERM)
        self.assertEqual(self.wait_for_exit(launcher), 0)
        self.assertFalse(self.desktop.window_is_visible(alert))
        self.assertEqual(len(self.app_events("started")), 1)
        self.assertEqual(self.signals_received(), [])

    def test_sigterm_during_the_graceful_stop_changes_nothing(self):
        bundle = self.make_bundle(app="fixture", behaviour={"ignore": ["SIGINT"]})
        launcher = self.launch(bundle)
        item = self.tray_item(launcher)
        self.wait_for_urls(1)
        item.click("Quit Lumivane")
        self.wait_for_event("signal", name="SIGINT")
        for _ in range(3):
            launcher.send_signal(signal.SIGTERM)
        self.assertEqual(self.wait_for_exit(launcher, timeout=40), 0)
        received = self.app_events("signal")
        self.assertEqual([e["name"] for e in received], ["SIGINT", "SIGTERM"])
        # The grace period ran its course (6 s; the bound leaves room for a loaded machine).
        self.assertGreaterEqual(received[1]["time"] - received[0]["time"], 5)
        self.assert_no_alert()

    def test_a_server_flooding_its_log_costs_the_launcher_no_cpu(self):
        seconds = 10
        bundle = self.make_bundle(app="fixture", behaviour={"flood_seconds": seconds})
        launcher = self.launch(bundle)
        item = self.tray_item(launcher)
        [started] = self.wait_for_event("flood-start")
        before = processes.cpu_ns(launcher.pid)
        [ended] = self.wait_for_event("flood-end", timeout=seconds + 120)
        spent_ms = (processes.cpu_ns(launcher.pid) - before) / 1e6
        elapsed = ended["time"] - started["time"]
        item.click("Quit Lumivane")
        self.assertEqual(self.wait_for_exit(launcher), 0)

        size = self.log_path.stat().st_size
        self.record_figures("flood", {
            "seconds": round(elapsed, 2), "bytes": ended["bytes"], "lines": ended["lines"],
            "launcher_cpu_ms": round(spent_ms, 3),
            "launcher_cpu_percent": round(100 * spent_ms / 1000 / elapsed, 4),
            "log_bytes": size})
        self.assertGreater(ended["bytes"], 0)
        self.assertGreaterEqual(size, ended["bytes"], "flood lines are missing from the log")
        last = f"fixture flood {ended['lines'] - 1:012d} "
        with open(self.log_path, "rb") as stream:
            stream.seek(max(0, size - (1 << 20)))
            self.assertIn(last.encode(), stream.read())
        # The launcher never touches the server's output; its own work in these seconds is
        # a handful of wake-ups at most. A generous bound: 1% of the time.
        self.assertLess(spent_ms, 10 * elapsed, "the launcher works while the server writes")

    def test_a_killed_launcher_leaves_the_server_and_the_next_launch_reuses_it(self):
        bundle = self.make_bundle(app="fixture")
        first = self.launch(bundle)
        self.tray_item(first)
        self.wait_for_urls(1)
        [server] = self.server_pids()
        first.kill()
        self.assertEqual(self.wait_for_exit(first), -signal.SIGKILL)

        second = self.launch(bundle)
        item = self.tray_item(second)
        self.wait_for_urls(2)
        # Well after the first launcher died: the same server still runs, and is the only one.
        self.assertEqual(list(self.server_pids()), [server], "the server died with the launcher")
        self.assertEqual(len(self.app_events("started")), 1)
        item.click("Quit Lumivane")
        self.assertEqual(self.wait_for_exit(second), 0)
        # Not the launcher's own: it is left running, as a server found at start always is.
        self.assertTrue(processes.alive(server))
        self.assertEqual(self.signals_received(), [])
        processes.kill(server, signal.SIGTERM)
        wait_until(lambda: not processes.alive(server), 30, "the server to stop")


if __name__ == "__main__":
    unittest.main()
