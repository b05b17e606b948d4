"""A bundle whose interpreter is missing: the server cannot be started at all."""

import unittest

from harness.case import LauncherTestCase


class MissingInterpreter(LauncherTestCase):
    accessibility = True

    def test_the_alert_is_shown_and_dismissing_it_ends_the_launcher(self):
        bundle = self.make_bundle(app="stand-in", interpreter="missing")
        launcher = self.launch(bundle)
        self.tray_item(launcher)
        alert = self.wait_for_alert()
        shown = self.read_alert(launcher)
        self.assertEqual(shown.title, "Lumivane")
        self.assertEqual(len(shown.texts), 2, shown.texts)
        self.assertIn("Lumivane couldn't start", shown.texts)
        [informative] = [text for text in shown.texts if text != "Lumivane couldn't start"]
        # What the launch service said, a blank line, then the advice.
        description, _, advice = informative.partition("\n\n")
        self.assertEqual(advice, "Try downloading Lumivane again.")
        self.assertIn(str(bundle.interpreter), description)
        self.assertEqual(len(shown.buttons), 1, shown.buttons)
        self.screenshot("couldnt-start", alert, stable_name="alert-couldnt-start")
        self.answer_alert(alert, 0)
        self.assertEqual(self.wait_for_exit(launcher), 0)
        # The start was prepared (the log and its header) before the launch failed.
        self.assertEqual(self.log_text().count("--- Lumivane started "), 1)
        self.wait_for_openers()
        self.assertEqual(self.desktop.opened_urls(), [])
        self.assertEqual(self.server_pids(), {})


if __name__ == "__main__":
    unittest.main()
