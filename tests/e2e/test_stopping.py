"""Stopping the server on quit: SIGINT, the grace period, SIGTERM, and the processes that
the server started itself; and the termination signals that reach the launcher."""

import signal
import time
import unittest

from harness import processes
from harness.bundle import exit_statuses
from harness.case import LauncherTestCase
from harness.processes import wait_until

# The grace period is 6 s; the bounds leave room for a loaded machine.
GRACE_AT_LEAST = 5
GRACE_AT_MOST = 20


class StubbornServer(LauncherTestCase):
    def start(self, behaviour):
        bundle = self.make_bundle(app="fixture", behaviour=behaviour)
        launcher = self.launch(bundle)
        item = self.tray_item(launcher)
        self.wait_for_urls(1)
        return launcher, item

    def signals_received(self):
        return [(e["name"], e["time"]) for e in self.app_events("signal")]

    def test_a_server_that_ignores_sigint_gets_sigterm_after_the_grace_period(self):
        launcher, item = self.start({"ignore": ["SIGINT"]})
        item.click("Quit Lumivane")
        self.assertEqual(self.wait_for_exit(launcher, timeout=GRACE_AT_MOST + 10), 0)
        exited = time.time()
        received = self.signals_received()
        self.assertEqual([name for name, _ in received], ["SIGINT", "SIGTERM"])
        (_, interrupted), (_, terminated) = received
        self.assertGreaterEqual(terminated - interrupted, GRACE_AT_LEAST)
        self.assertLessEqual(exited - interrupted, GRACE_AT_MOST)

    def test_a_server_that_ignores_sigint_and_sigterm_outlives_the_launcher(self):
        launcher, item = self.start({"ignore": ["SIGINT", "SIGTERM"]})
        [server] = self.server_pids()
        item.click("Quit Lumivane")
        self.assertEqual(self.wait_for_exit(launcher, timeout=GRACE_AT_MOST + 10), 0)
        self.assertEqual([name for name, _ in self.signals_received()], ["SIGINT", "SIGTERM"])
        self.assertTrue(processes.alive(server), "the server was killed")
        self.assertEqual(self.app_events("exit"), [])
        processes.kill(server)
        wait_until(lambda: not processes.alive(server), 30, "the stubborn server to die")

    def test_the_servers_own_worker_stops_with_it(self):
        launcher, item = self.start({"grandchild": True})
        [started] = self.wait_for_event("grandchild")
        worker = started["child"]
        self.assertTrue(processes.alive(worker))
        item.click("Quit Lumivane")
        self.assertEqual(self.wait_for_exit(launcher), 0)
        wait_until(lambda: not processes.alive(worker), 30, "the worker to stop")
        self.assertEqual([name for name, _ in self.signals_received()], ["SIGINT"])


class TerminationSignals(LauncherTestCase):
    def test_each_termination_signal_stops_the_server_gracefully(self):
        for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            with self.subTest(signal=number.name):
                bundle = self.make_bundle(app="stand-in", interpreter="status-recorder")
                launcher = self.launch(bundle)
                self.tray_item(launcher)
                self.wait_for_urls(len(self.launchers))
                before = self.log_text()
                launcher.send_signal(number)
                self.assertEqual(self.wait_for_exit(launcher), 0)
                self.assertEqual(self.wait_for_processes_to_end(), {})
                self.assertEqual([s["returncode"] for s in exit_statuses(bundle)], [0])
                self.assertIn("SIGINT received, stopping", self.log_text()[len(before):])
                self.assert_no_alert()


if __name__ == "__main__":
    unittest.main()
