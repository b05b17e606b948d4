"""How the server is started: what the child process sees, and the server log."""

import calendar
import json
import os
import re
import signal
import stat
import time
import unittest

from harness.case import LauncherTestCase

HEADER = re.compile(r"\n--- Lumivane started (\d{4}-\d\d-\d\d \d\d:\d\d:\d\d) \+0000 ---\n")


class ChildView(LauncherTestCase):
    def test_child_gets_its_arguments_directory_environment_and_only_the_standard_streams(self):
        bundle = self.make_bundle(app="fixture", behaviour={"record_view": True})
        changes = {
            "PYTHONPATH": "/nowhere/lib",
            "PYTHONHOME": "/nowhere",
            "PYTHONNOUSERSITE": "0",
            "PYTHONDONTWRITEBYTECODE": "",
            "LUMIVANE_MODELS": "/elsewhere/models",
            "LUMIVANE_LAUNCHER": "0",
            "E2E_PASSED_THROUGH": "as it is = with; odd characters \u00e9",
        }
        # Started as from a non-interactive shell: SIGINT ignored, and with two signals
        # blocked; none of that may reach the server.
        launcher = self.launch(bundle, signal_state=(
            (signal.SIGINT,), (signal.SIGTERM, signal.SIGUSR1)), **changes)
        self.tray_item(launcher)
        self.wait_for_event("listening")
        view = self.read_view()
        self.assertEqual(view["sigint"], "default")
        self.assertEqual(view["sigblk"], "0000000000000000")

        self.assertEqual(view["argv"], [str(bundle.interpreter), "-m", "app", "--no-browser"])
        self.assertEqual(os.path.realpath(view["cwd"]), os.path.realpath(bundle.app_dir))

        expected = self.desktop.environment(**changes)
        del expected["PYTHONPATH"], expected["PYTHONHOME"]
        expected.update(PYTHONNOUSERSITE="1", PYTHONDONTWRITEBYTECODE="1",
                        LUMIVANE_MODELS=str(bundle.models), LUMIVANE_LAUNCHER="1")
        self.assertEqual(view["environ"], expected)

        self.assertEqual(view["fds"], [0, 1, 2])
        self.assertEqual(view["fd_targets"]["0"], "/dev/null")  # the launcher's own stdin
        self.assertEqual(view["fd_targets"]["1"], str(self.log_path))
        self.assertEqual(view["fd_targets"]["2"], str(self.log_path))
        positions = view["output_positions"]
        self.assertEqual(positions["1"], positions["2"],
                         "standard output and standard error are two openings of the log")
        self.assertEqual(view["pgid"], view["pid"], "the child has no process group of its own")

        # The launcher came in with SIGTERM blocked and still stops on it, server and all.
        launcher.send_signal(signal.SIGTERM)
        self.assertEqual(self.wait_for_exit(launcher), 0)
        self.assertEqual([e["name"] for e in self.app_events("signal")], ["SIGINT"])

    def read_view(self):
        path = self.desktop.records / "view.json"
        self.wait_for_event("started")
        return json.loads(path.read_text())


class ServerLog(LauncherTestCase):
    def run_once(self, bundle, urls_before):
        started = time.time()
        launcher = self.launch(bundle)
        item = self.tray_item(launcher)
        self.wait_for_urls(urls_before + 1)
        item.click("Quit Lumivane")
        self.assertEqual(self.wait_for_exit(launcher), 0)
        return started, time.time()

    def test_log_is_created_private_and_each_start_appends_its_header(self):
        bundle = self.make_bundle(app="fixture")
        self.assertFalse(self.log_path.parent.exists())

        first_run = self.run_once(bundle, 0)
        first = self.log_path.read_bytes()
        self.assertEqual(stat.S_IMODE(self.log_path.stat().st_mode), 0o600)
        self.assertTrue(first.startswith(b"\n--- Lumivane started "), first[:80])
        self.assertIn(b'"GET /login HTTP/1.1" 200', first, "the server's output is not logged")

        # An existing log keeps its mode: the launcher sets it only when it creates the file.
        os.chmod(self.log_path, 0o640)
        second_run = self.run_once(bundle, 1)
        second = self.log_path.read_bytes()
        self.assertEqual(stat.S_IMODE(self.log_path.stat().st_mode), 0o640)
        self.assertTrue(second.startswith(first), "the earlier runs' log was not kept")

        headers = list(HEADER.finditer(second.decode()))
        self.assertEqual([h.start() for h in headers][1:], [len(first)],
                         "the second header does not follow the first run's output")
        self.assertEqual(len(headers), 2, second.decode()[:2000])
        for header, (started, ended) in zip(headers, (first_run, second_run)):
            stamp = calendar.timegm(time.strptime(header.group(1), "%Y-%m-%d %H:%M:%S"))
            # UTC, to the second: between the launch and the end of that run.
            self.assertLessEqual(int(started) - 1, stamp, header.group(0))
            self.assertLessEqual(stamp, ended + 1, header.group(0))

    def test_a_directory_at_the_log_path_leaves_the_output_on_the_launchers_own(self):
        self.log_path.mkdir(parents=True)
        bundle = self.make_bundle(app="fixture")
        launcher = self.launch(bundle)
        item = self.tray_item(launcher)
        self.wait_for_urls(1)
        self.wait_for_event("request", path="/login")
        item.click("Quit Lumivane")
        self.assertEqual(self.wait_for_exit(launcher), 0)
        self.assertTrue(self.log_path.is_dir())
        self.assertEqual(list(self.log_path.iterdir()), [])
        output = self.launcher_output(launcher)
        self.assertIn('"GET /login HTTP/1.1" 200', output)
        self.assertNotIn("--- Lumivane started", output)

    def test_a_server_that_writes_a_lot_is_logged_whole_and_still_served(self):
        count = 4 * 1024 * 1024
        bundle = self.make_bundle(app="fixture", behaviour={"output_bytes": count})
        launcher = self.launch(bundle)
        item = self.tray_item(launcher)
        self.wait_for_urls(1)
        item.click("Quit Lumivane")
        self.assertEqual(self.wait_for_exit(launcher), 0)
        log = self.log_path.read_bytes()
        lines = count // 64
        for stream in (b"out", b"err"):
            numbers = re.findall(rb"fixture " + stream + rb" (\d{10}) ", log)
            self.assertEqual(numbers, [b"%010d" % n for n in range(lines)],
                             f"std{stream.decode()} lost or reordered output")
        self.assertIn(b"fixture output done\n", log)


if __name__ == "__main__":
    unittest.main()
