"""Waiting for the started server: the page opens once, when /login first answers below 500;
and the menu works while the server is still starting."""

import unittest

from harness.case import LauncherTestCase

# The launcher pauses 0.5 s after each negative answer and gives up on a probe after 1.5 s.
# Lower bounds hold on any machine (load only makes gaps longer); upper bounds are generous.
PAUSE_AT_LEAST = 0.45
TIMEOUT_AND_PAUSE_AT_LEAST = 1.8
GAP_AT_MOST = 15


class StartupWait(LauncherTestCase):
    def start(self, behaviour):
        bundle = self.make_bundle(app="fixture", behaviour=behaviour)
        launcher = self.launch(bundle)
        return launcher, self.tray_item(launcher)

    def probes(self):
        return [(e["status"], e["time"]) for e in self.app_events("request")
                if e["path"] == "/login"]

    def quit(self, launcher, item):
        item.click("Quit Lumivane")
        self.assertEqual(self.wait_for_exit(launcher), 0)
        self.wait_for_openers()

    def test_a_slow_server_is_opened_once_it_listens(self):
        launcher, item = self.start({"answer_after": 3})
        [opened] = self.wait_for_urls(1)
        [listening] = self.app_events("listening")
        self.assertGreaterEqual(self.desktop.browser_record.stat().st_mtime, listening["time"])
        self.quit(launcher, item)
        self.assertEqual([status for status, _ in self.probes()], [200])
        self.assertEqual(self.desktop.opened_urls(), [opened])

    def test_errors_are_probed_again_after_a_pause_until_the_server_answers(self):
        launcher, item = self.start({"statuses": [500, 503, 200]})
        self.wait_for_urls(1)
        self.quit(launcher, item)
        probes = self.probes()
        # The wait ends with the first answer below 500: no probe after it.
        self.assertEqual([status for status, _ in probes], [500, 503, 200])
        for (_, earlier), (_, later) in zip(probes, probes[1:]):
            self.assertGreaterEqual(later - earlier, PAUSE_AT_LEAST)
            self.assertLessEqual(later - earlier, GAP_AT_MOST)
        self.assertEqual(len(self.desktop.opened_urls()), 1)

    def test_a_probe_that_gets_no_answer_is_given_up_and_sent_again(self):
        launcher, item = self.start({"statuses": ["silent", 200]})
        self.wait_for_urls(1)
        self.quit(launcher, item)
        (_, unanswered), (status, answered) = self.probes()
        self.assertEqual(status, 200)
        self.assertGreaterEqual(answered - unanswered, TIMEOUT_AND_PAUSE_AT_LEAST)
        self.assertLessEqual(answered - unanswered, GAP_AT_MOST)
        self.assertEqual(len(self.desktop.opened_urls()), 1)

    def test_the_menu_works_while_the_server_is_still_starting(self):
        launcher, item = self.start({"listen": False, "handoff": None})
        self.wait_for_event("started")
        self.assertEqual([e.label for e in item.menu() if not e.is_separator and not e.enabled],
                         [])
        item.click("Open Lumivane")
        self.assertEqual(self.wait_for_urls(1), ["http://localhost:8000/"])
        self.assertEqual(self.desktop.windows("Lumivane"), [], "an alert is shown")
        self.quit(launcher, item)
        self.assertEqual(self.desktop.opened_urls(), ["http://localhost:8000/"])
        self.assertEqual([e["name"] for e in self.app_events("signal")], ["SIGINT"])


if __name__ == "__main__":
    unittest.main()
