"""A real browser as the user's default: headless Chromium follows what the launcher opens
through the served application's sign-in to the page that was asked for."""

import html
import shutil
import unittest

from harness.case import LauncherTestCase
from harness.processes import wait_until

# Each URL goes to a fresh headless Chromium with a profile of its own, which signs in with
# the URL's one-time token and is sent on to the page; the page it ends on is kept as
# dom-N.html (N counts the URLs).
CHROMIUM_BROWSER = """#!/bin/sh
for url in "$@"; do
  printf '%s\\n' "$url" >> '{record}'
  n=$(wc -l < '{record}')
  chromium --headless --no-sandbox --disable-gpu --no-first-run \\
    --disable-background-networking --disable-component-update --disable-sync \\
    --disable-quic --disable-dev-shm-usage --user-data-dir='{profiles}'/profile-$n \\
    --dump-dom "$url" > '{pages}'/dom-$n.part 2> '{pages}'/chromium-$n.log
  mv '{pages}'/dom-$n.part '{pages}'/dom-$n.html
done
"""

BROWSER_TIMEOUT = 120


class RealBrowser(LauncherTestCase):
    def setUp(self):
        if shutil.which("chromium") is None:
            self.skipTest("chromium is not installed (Debian: apt-get install chromium)")
        super().setUp()
        self.pages = self.root / "pages"
        self.pages.mkdir()
        self.desktop.set_browser(CHROMIUM_BROWSER.format(
            record=self.desktop.browser_record, profiles=self.root / "profiles",
            pages=self.pages))

    def page(self, number):
        path = self.pages / f"dom-{number}.html"
        self.wait_for_urls(number)
        wait_until(path.exists, BROWSER_TIMEOUT, f"Chromium to load page {number}")
        return html.unescape(path.read_text(errors="replace"))

    def test_the_browser_signs_in_and_lands_on_the_main_page_then_the_pairing_page(self):
        bundle = self.make_bundle(app="stand-in")
        launcher = self.launch(bundle)
        item = self.tray_item(launcher)

        main = self.page(1)
        self.assertIn("<title>Lumivane</title>", main)
        self.assertIn("<h1>Lumivane</h1>", main)
        self.assertIn(f"Models folder: <code>{bundle.models}</code>", main)

        # The sign-in link is used up; the served application leaves a new one, which the
        # launcher reads afresh.
        item.click("Connect Quest\u2026")
        pairing = self.page(2)
        self.assertIn("<h1>Connect Quest</h1>", pairing)
        self.assertRegex(pairing, r'id="pairing-code">\d{6}<')

        item.click("Quit Lumivane")
        self.assertEqual(self.wait_for_exit(launcher), 0)


if __name__ == "__main__":
    unittest.main()
