"""Starting Lumivane while it already runs opens the main page in the running one."""

import unittest

from harness.bundle import exit_statuses
from harness.case import LauncherTestCase
from test_main_road import assert_handoff_with_next, handoff_url


class SecondLaunch(LauncherTestCase):
    def test_a_second_launch_opens_the_main_page_in_the_first_and_exits(self):
        bundle = self.make_bundle(app="stand-in", interpreter="status-recorder")
        first = self.launch(bundle)
        self.tray_item(first)
        [first_page] = self.wait_for_urls(1)

        second = self.launch(bundle)
        self.assertEqual(self.wait_for_exit(second), 0)
        opened = self.wait_for_urls(2)
        self.assertEqual(opened[0], first_page)
        assert_handoff_with_next(self, opened[1], handoff_url(self), "/")
        self.assertEqual(len(self.server_pids()), 1, "the second launch started a server")
        self.assertEqual(len({r["sender"] for r in self.desktop.tray_registrations()}), 1,
                         "the second launch showed a status item")
        self.assertIsNone(first.poll())

        # The desktop ending the session: SIGTERM stops the server as Quit would.
        first.terminate()
        self.assertEqual(self.wait_for_exit(first), 0)
        self.assertEqual([s["returncode"] for s in exit_statuses(bundle)], [0])
        self.assertIn("SIGINT received, stopping", self.log_text())
        self.wait_for_openers()
        self.assertEqual(len(self.desktop.opened_urls()), 2)
        self.assertEqual(self.log_text().count("--- Lumivane started "), 1)


if __name__ == "__main__":
    unittest.main()
