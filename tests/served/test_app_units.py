"""Pure pieces of the stand-in, checked in-process against tables."""

import sys
import unittest
from pathlib import Path

from standin import SERVED_DIR

sys.dont_write_bytecode = True  # keep the source tree free of caches
sys.path.insert(0, str(SERVED_DIR))

from app import redirects, settings, signin  # noqa: E402


class SafeNextTest(unittest.TestCase):
    def test_same_origin_paths_are_kept(self):
        for candidate in ("/", "/?pair=1", "/licenses", "/a/b?c=d&e=f#g", "/%7Euser", "/caf\u00e9"):
            with self.subTest(candidate=candidate):
                self.assertEqual(redirects.safe_next(candidate), candidate)

    def test_everything_else_becomes_main_page(self):
        for candidate in (
            None,
            "",
            "//evil.example",
            "/\\evil",
            "/ok\\..\\evil",
            "https://evil.example/",
            "javascript:alert(1)",
            "evil.example/path",
            "%2F%2Fevil",
            "/%2F%2Fevil",
            "/%5C%5Cevil",
            "/%25%32%46%25%32%46evil",  # "//evil" under two layers of escaping
            "/%25252525252F",  # more layers than any honest link has
            "/\r\nLocation: x",
            "/%0D%0ALocation: x",
            "/\x00",
            "/\x7f",
            "/\u0085next-line",
            "/\t/evil",
        ):
            with self.subTest(candidate=candidate):
                self.assertEqual(redirects.safe_next(candidate), "/")

    def test_location_header_escapes_what_a_header_cannot_hold(self):
        for path, expected in (
            ("/?pair=1", "/?pair=1"),
            ("/a b", "/a%20b"),
            ("/caf\u00e9", "/caf%C3%A9"),
            ('/"<>', "/%22%3C%3E"),
            ("/already%20escaped", "/already%20escaped"),
        ):
            with self.subTest(path=path):
                self.assertEqual(redirects.location_header(path), expected)


class CookieTest(unittest.TestCase):
    def test_session_values_are_found_among_other_cookies(self):
        for headers, expected in (
            ([], []),
            (["lumivane_session=abc"], ["abc"]),
            (['theme={"a":1}; lumivane_session=abc; x'], ["abc"]),
            (["a=1", "lumivane_session=one", "lumivane_session=two"], ["one", "two"]),
            (["lumivane_sessionx=abc; xlumivane_session=def"], []),
            (['lumivane_session="quoted"'], ["quoted"]),
        ):
            with self.subTest(headers=headers):
                self.assertEqual(signin.cookie_values(headers, "lumivane_session"), expected)


class ApplicationSupportTest(unittest.TestCase):
    def test_xdg_data_home_is_used_only_when_absolute(self):
        for env, expected in (
            ({"XDG_DATA_HOME": "/x/data", "HOME": "/h"}, "/x/data"),
            ({"XDG_DATA_HOME": "relative", "HOME": "/h"}, "/h/.local/share"),
            ({"XDG_DATA_HOME": "", "HOME": "/h"}, "/h/.local/share"),
            ({"HOME": "/h"}, "/h/.local/share"),
        ):
            with self.subTest(env=env):
                self.assertEqual(settings.application_support_dir(env), Path(expected))
                self.assertEqual(
                    settings.handoff_file(env), Path(expected) / "Lumivane" / "data" / "launch.json"
                )

    def test_port_setting(self):
        for value, expected in (
            (None, 8000),
            ("", 8000),
            ("0", 0),
            ("8123", 8123),
            ("65535", 65535),
        ):
            with self.subTest(value=value):
                env = {} if value is None else {"LUMIVANE_STANDIN_PORT": value}
                self.assertEqual(settings.port_from(env), expected)
        for value in ("-1", "65536", "80a", "0x50", " "):
            with self.subTest(value=value):
                with self.assertRaises(settings.SettingsError):
                    settings.port_from({"LUMIVANE_STANDIN_PORT": value})


class LoginTokensTest(unittest.TestCase):
    def test_each_token_works_once_and_its_successor_is_published(self):
        published = []
        tokens = signin.LoginTokens(published.append)
        tokens.publish_current()
        first = published[-1]
        self.assertTrue(tokens.redeem(first, self.fail))
        self.assertEqual(len(published), 2)
        self.assertNotEqual(published[-1], first)
        self.assertFalse(tokens.redeem(first, self.fail))
        self.assertTrue(tokens.redeem(published[-1], self.fail))

    def test_closed_tokens_publish_nothing(self):
        published = []
        tokens = signin.LoginTokens(published.append)
        tokens.publish_current()
        tokens.close(lambda: None)
        self.assertFalse(tokens.redeem(published[-1], self.fail))
        self.assertEqual(len(published), 1)

    def test_failed_publication_still_signs_in(self):
        errors = []

        def publish(token):
            if published:
                raise OSError("disk full")
            published.append(token)

        published = []
        tokens = signin.LoginTokens(publish)
        tokens.publish_current()
        self.assertTrue(tokens.redeem(published[0], errors.append))
        self.assertEqual([str(e) for e in errors], ["disk full"])


if __name__ == "__main__":
    unittest.main()
