"""A server that stops while nobody asked it to: the alert and each of its three answers."""

import signal
import unittest
from urllib.parse import parse_qs, urlsplit

from harness import processes
from harness.case import LauncherTestCase
from harness.processes import wait_until

START_AGAIN, SHOW_LOG, QUIT = 0, 1, 2
MESSAGE = "Lumivane stopped unexpectedly"
INFORMATIVE = ("Your videos are safe. You can start it again, or look at the log to see "
               "what happened.")


class UnexpectedStop(LauncherTestCase):
    accessibility = True

    def assert_unexpected_stop_alert(self, launcher):
        alert = self.read_alert(launcher)
        self.assertEqual(alert.title, "Lumivane")
        self.assertEqual(sorted(alert.texts), sorted([MESSAGE, INFORMATIVE]))
        self.assertEqual(alert.buttons, ["Start Again", "Show Log", "Quit"])
    def only_server(self, other_than=()):
        servers = wait_until(lambda: set(self.server_pids()) - set(other_than), 60,
                             "a running server")
        self.assertEqual(len(servers), 1, self.server_pids())
        return servers.pop()

    def test_start_again_starts_a_new_server_without_a_second_page_then_show_log_quits(self):
        bundle = self.make_bundle(app="fixture")
        launcher = self.launch(bundle)
        item = self.tray_item(launcher)
        [first_page] = self.wait_for_urls(1)
        first = self.only_server()

        processes.kill(first, signal.SIGKILL)
        alert = self.wait_for_alert()
        self.assert_unexpected_stop_alert(launcher)
        self.screenshot("unexpected-stop", alert, stable_name="alert-unexpected-stop")
        self.answer_alert(alert, START_AGAIN)

        second = self.only_server(other_than={first})
        self.wait_for_event("request", path="/login", pid=second)
        # Once the new server has answered, a page it caused to open would be asked for
        # before this one.
        item.click("Connect Quest\u2026")
        self.wait_for_urls(2)
        self.wait_for_openers()
        opened = self.desktop.opened_urls()
        self.assertEqual(len(opened), 2, opened)
        self.assertEqual(opened[0], first_page)
        self.assertEqual(parse_qs(urlsplit(opened[1]).query)["next"], ["/?pair=1"])
        self.assertEqual(self.log_text().count("--- Lumivane started "), 2)

        processes.kill(second, signal.SIGKILL)
        alert = self.wait_for_alert()
        self.assert_unexpected_stop_alert(launcher)
        self.answer_alert(alert, SHOW_LOG)
        self.assertEqual(self.wait_for_exit(launcher), 0)
        # The request may still be on its way to the file manager when the launcher ends.
        self.assertEqual(self.wait_for_file_manager(1),
                         [{"method": "ShowItems", "uris": [self.log_path.as_uri()]}])

    def test_a_server_that_exits_by_itself_with_status_0_is_reported_and_quit_quits(self):
        bundle = self.make_bundle(app="fixture", behaviour={"exit_after": 1, "exit_status": 0})
        launcher = self.launch(bundle)
        self.tray_item(launcher)
        self.wait_for_urls(1)
        alert = self.wait_for_alert()
        self.assert_unexpected_stop_alert(launcher)
        self.answer_alert(alert, QUIT)
        self.assertEqual(self.wait_for_exit(launcher), 0)
        self.assertEqual(self.desktop.file_manager_calls(), [])
        self.assertEqual(self.log_text().count("--- Lumivane started "), 1)

    def test_a_server_that_dies_at_every_start_is_reported_every_time(self):
        bundle = self.make_bundle(app="fixture", behaviour={"exit_at_start": 3})
        launcher = self.launch(bundle)
        self.tray_item(launcher)
        self.answer_alert(self.wait_for_alert(), START_AGAIN)
        self.wait_for_event("exit", count=2)
        self.answer_alert(self.wait_for_alert(), QUIT)
        self.assertEqual(self.wait_for_exit(launcher), 0)
        self.assertEqual(len(self.app_events("started")), 2)
        self.assertEqual(self.log_text().count("fixture: failing at start as asked"), 2)
        self.wait_for_openers()
        self.assertEqual(self.desktop.opened_urls(), [], "a page opened for a server that "
                                                         "never answered")


if __name__ == "__main__":
    unittest.main()
