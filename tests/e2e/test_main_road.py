"""Launch, open the served application in the browser, quit; and reuse of a server that
already answers."""

import json
import signal
import subprocess
import unittest
import urllib.request
from urllib.parse import parse_qsl, urlsplit

from harness.bundle import exit_statuses
from harness.case import LauncherTestCase
from harness.processes import wait_until


def handoff_url(case):
    path = case.desktop.data_home / "Lumivane" / "data" / "launch.json"
    return json.loads(path.read_text())["url"]


def assert_handoff_with_next(case, opened, handoff, page):
    """`opened` is `handoff` with one query item next=`page` after its own."""
    got, want = urlsplit(opened), urlsplit(handoff)
    case.assertEqual((got.scheme, got.netloc, got.path, got.fragment),
                     (want.scheme, want.netloc, want.path, want.fragment), opened)
    case.assertEqual(parse_qsl(got.query, keep_blank_values=True),
                     parse_qsl(want.query, keep_blank_values=True) + [("next", page)], opened)


class MainRoad(LauncherTestCase):
    def test_starts_the_server_opens_the_main_page_once_and_stops_it_on_quit(self):
        bundle = self.make_bundle(app="stand-in", interpreter="status-recorder")
        launcher = self.launch(bundle)
        item = self.tray_item(launcher)

        [opened] = self.wait_for_urls(1)
        assert_handoff_with_next(self, opened, handoff_url(self), "/")
        self.assertTrue(urlsplit(opened).query.startswith("token="), opened)
        self.assertEqual(len(self.server_pids()), 1, self.server_pids())

        item.click("Quit Lumivane")
        self.assertEqual(self.wait_for_exit(launcher), 0)
        self.assertEqual(self.wait_for_processes_to_end(), {})
        # The server ended on SIGINT, by its own orderly stop.
        self.assertEqual([s["returncode"] for s in exit_statuses(bundle)], [0])
        self.assertIn("SIGINT received, stopping", self.log_text())
        self.assertNotIn("SIGTERM", self.log_text())
        self.wait_for_openers()
        self.assertEqual(self.desktop.opened_urls(), [opened])
        self.assert_no_alert()


class Reuse(LauncherTestCase):
    def test_a_server_that_already_answers_is_opened_and_left_running(self):
        bundle = self.make_bundle(app="stand-in")
        with open(self.desktop.output / "own-server.log", "wb") as output:
            server = subprocess.Popen(
                [str(bundle.interpreter), "-m", "app", "--no-browser"], cwd=bundle.app_dir,
                env=self.desktop.environment(), stdin=subprocess.DEVNULL, stdout=output,
                stderr=output)
        self.addCleanup(server.wait)
        self.addCleanup(server.kill)
        wait_until(lambda: answers("http://127.0.0.1:8000/login"), 60, "the own server")

        launcher = self.launch(bundle)
        item = self.tray_item(launcher)
        [opened] = self.wait_for_urls(1)
        assert_handoff_with_next(self, opened, handoff_url(self), "/")
        self.assertEqual(set(self.server_pids()), {server.pid}, "a second server was started")

        # No server was started, so there is no log yet; the file manager is asked all the same.
        item.click("Show Log")
        self.assertEqual(self.wait_for_file_manager(1),
                         [{"method": "ShowItems", "uris": [self.log_path.as_uri()]}])
        self.assertFalse(self.log_path.exists(), "a server start was logged")

        item.click("Quit Lumivane")
        self.assertEqual(self.wait_for_exit(launcher), 0)
        self.assertEqual(self.wait_for_processes_to_end(keep={server.pid}), {})
        self.assertIsNone(server.poll(), "the server that was already running was stopped")
        self.assertTrue(answers("http://127.0.0.1:8000/login"))
        self.wait_for_openers()
        self.assertEqual(self.desktop.opened_urls(), [opened])

        server.send_signal(signal.SIGINT)
        self.assertEqual(server.wait(timeout=30), 0)


def answers(url):
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    try:
        with opener.open(url, timeout=2) as response:
            return response.status < 500
    except OSError:
        return False


if __name__ == "__main__":
    unittest.main()
