"""The status item and its menu as a tray host sees them over D-Bus, and what each command
does; and how "Open Lumivane" follows the hand-off file through the real program."""

import json
import os
import subprocess
import unittest
from urllib.parse import parse_qs, parse_qsl, urlsplit

from harness.case import LauncherTestCase
from test_main_road import assert_handoff_with_next, handoff_url

SEPARATOR = "separator"
# Label, shortcut (dbusmenu key chords) or SEPARATOR, top to bottom.
EXPECTED_MENU = [
    ("Open Lumivane", [["Control", "O"]]),
    ("Connect Quest\u2026", []),
    SEPARATOR,
    ("Show Log", []),
    ("Licences & Credits", []),
    SEPARATOR,
    ("Quit Lumivane", [["Control", "Q"]]),
]


def png_alpha(path):
    """The alpha channel of a picture file, one byte a pixel, row by row."""
    rgba = subprocess.run(["convert", str(path), "-depth", "8", "RGBA:-"], check=True,
                          capture_output=True, timeout=30).stdout
    return rgba[3::4]


class StatusMenu(LauncherTestCase):
    def setUp(self):
        super().setUp()
        self.bundle = self.make_bundle(app="stand-in")
        self.launcher = self.launch(self.bundle)
        self.item = self.tray_item(self.launcher)
        self.wait_for_urls(1)

    def quit(self):
        self.item.click("Quit Lumivane")
        self.assertEqual(self.wait_for_exit(self.launcher), 0)

    def test_item_shows_the_icon_and_the_tooltip(self):
        properties = self.item.properties()
        _icon_name, _icon_pixmaps, title, _description = properties["ToolTip"]
        self.assertEqual(title, "Lumivane")
        # The 18 x 18 picture is MenuIcon.png itself: its shape (the alpha channel) matches.
        icon_alpha = png_alpha(self.bundle.resources / "MenuIcon.png")
        small = [argb for width, height, argb in properties["IconPixmap"]
                 if (width, height) == (18, 18)]
        self.assertTrue(small, "the item has no 18 x 18 picture")
        for argb in small:
            self.assertEqual(argb[0::4], icon_alpha, "the item does not show MenuIcon.png")
        self.quit()

    def test_menu_lists_the_five_commands_with_their_shortcuts_all_enabled(self):
        menu = self.item.menu()
        shown = [SEPARATOR if entry.is_separator else (entry.label, entry.shortcut)
                 for entry in menu]
        self.assertEqual(shown, EXPECTED_MENU)
        self.assertEqual([e.label for e in menu if not e.is_separator and not e.enabled], [])
        self.quit()

    def test_each_command_opens_its_page_or_shows_the_log(self):
        handoff = handoff_url(self)
        self.item.click("Open Lumivane")
        opened = self.wait_for_urls(2)[-1]
        assert_handoff_with_next(self, opened, handoff, "/")

        self.item.click("Connect Quest\u2026")
        opened = self.wait_for_urls(3)[-1]
        assert_handoff_with_next(self, opened, handoff, "/?pair=1")
        self.assertEqual(parse_qs(urlsplit(opened).query)["next"], ["/?pair=1"])

        self.item.click("Licences & Credits")
        self.assertEqual(self.wait_for_urls(4)[-1], "http://localhost:8000/licenses")

        self.item.click("Show Log")
        [shown] = self.wait_for_file_manager(1)
        self.assertEqual(shown, {"method": "ShowItems", "uris": [self.log_path.as_uri()]})

        # The menu stays as it was, and the launcher keeps running after each command.
        self.assertIsNone(self.launcher.poll())
        self.assertEqual(len(self.item.menu()), len(EXPECTED_MENU))
        self.quit()


class MissingIcon(LauncherTestCase):
    def test_without_its_icon_file_the_item_still_shows_a_picture_and_the_same_menu(self):
        bundle = self.make_bundle(app="fixture")
        (bundle.resources / "MenuIcon.png").unlink()
        launcher = self.launch(bundle)
        item = self.tray_item(launcher)
        self.wait_for_urls(1)
        properties = item.properties()
        self.assertEqual(properties["ToolTip"][2], "Lumivane")
        pictures = [argb[0::4] for _, _, argb in properties["IconPixmap"]]
        self.assertTrue(any(any(alpha) for alpha in pictures), "the item shows no picture")
        self.assertNotIn(png_alpha(self.built_resources / "MenuIcon.png"), pictures)
        self.assertEqual(len(item.menu()), len(EXPECTED_MENU))
        item.click("Quit Lumivane")
        self.assertEqual(self.wait_for_exit(launcher), 0)


# What "Open Lumivane" opens for each content of the hand-off file: the page directly, or
# the file's URL with next=/ after the query items it already has.
DIRECT = "http://localhost:8000/"
HANDOFF_CASES = [
    ("no file", None, DIRECT),
    ("not JSON", "{url: nope", DIRECT),
    ("an array", '["http://localhost:8000/login?token=t"]', DIRECT),
    ("an empty object", "{}", DIRECT),
    ("a number as url", '{"url": 8000}', DIRECT),
    ("null as url", '{"url": null}', DIRECT),
    ("a url with a blank", '{"url": "http://localhost:8000/log in?token=t"}', DIRECT),
    ("a url without a query", '{"url": "http://localhost:8000/login#top"}',
     ("http", "localhost:8000", "/login", [("next", "/")], "top")),
    ("a url with a query", '{"url": "http://localhost:8000/login?a=1"}',
     ("http", "localhost:8000", "/login", [("a", "1"), ("next", "/")], "")),
    ("a url that has a next already", '{"url": "http://localhost:8000/login?next=/old"}',
     ("http", "localhost:8000", "/login", [("next", "/old"), ("next", "/")], "")),
    ("another host and port", '{"url": "http://127.0.0.1:9000/in?token=t", "pid": 1}',
     ("http", "127.0.0.1:9000", "/in", [("token", "t"), ("next", "/")], "")),
]


class HandOffFile(LauncherTestCase):
    def test_open_follows_the_hand_off_file_as_it_is_at_each_click(self):
        bundle = self.make_bundle(app="fixture", behaviour={"handoff": None})
        launcher = self.launch(bundle)
        item = self.tray_item(launcher)
        self.assertEqual(self.wait_for_urls(1), [DIRECT])
        handoff = self.desktop.data_home / "Lumivane" / "data" / "launch.json"
        handoff.parent.mkdir(parents=True, exist_ok=True)

        for number, (name, content, expected) in enumerate(HANDOFF_CASES, start=2):
            with self.subTest(name):
                if content is None:
                    handoff.unlink(missing_ok=True)
                else:
                    staging = handoff.with_suffix(".tmp")
                    staging.write_text(content)
                    os.replace(staging, handoff)
                item.click("Open Lumivane")
                opened = self.wait_for_urls(number)[number - 1]
                if expected == DIRECT:
                    self.assertEqual(opened, DIRECT)
                else:
                    got = urlsplit(opened)
                    self.assertEqual((got.scheme, got.netloc, got.path,
                                      parse_qsl(got.query), got.fragment), expected, opened)

        # "Licences & Credits" never goes through the hand-off file.
        handoff.write_text(json.dumps({"url": "http://localhost:8000/login?token=t"}))
        item.click("Licences & Credits")
        self.assertEqual(self.wait_for_urls(len(HANDOFF_CASES) + 2)[-1],
                         "http://localhost:8000/licenses")
        item.click("Quit Lumivane")
        self.assertEqual(self.wait_for_exit(launcher), 0)


if __name__ == "__main__":
    unittest.main()
