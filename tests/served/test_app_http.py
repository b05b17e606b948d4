"""The stand-in's HTTP behaviour: sign-in, redirects, sessions and pages."""

import html
import re
import unittest

from standin import StandInTestCase

HOSTILE_NEXTS = (
    "//evil.example",
    "//evil.example/path",
    "https://evil.example/",
    "http:/evil.example",
    "/\\evil",
    "\\\\evil",
    "%2F%2Fevil",
    "/%2F%2Fevil",
    "/%5Cevil",
    "/%252F%252Fevil",
    "javascript:alert(1)",
    "\r\nLocation: x",
    "/\r\nSet-Cookie: stolen=1",
    "/%0d%0aSet-Cookie:%20stolen=1",
    "/\t/evil.example",
    " /leading-space",
    "evil.example",
    "",
)

SAME_ORIGIN_NEXTS = ("/", "/?pair=1", "/licenses", "/?a=1&b=two", "/deep/path?q=%20x")


class SignInTest(StandInTestCase):
    def test_probe_without_token_answers_200_and_says_how_to_get_in(self):
        server = self.start_and_wait()
        for target in ("/login", "/login?next=/"):
            with self.subTest(target=target):
                response = server.get(target)
                self.assertEqual(response.status, 200)
                self.assertIn("Open Lumivane", response.body)
                self.assertEqual(response.header_values("Set-Cookie"), [])

    def test_token_sets_session_cookie_and_follows_same_origin_next(self):
        server = self.start_and_wait()
        for next_page in SAME_ORIGIN_NEXTS:
            with self.subTest(next=next_page):
                response = server.login(next_page)
                self.assertEqual(response.status, 303)
                self.assertEqual(response.headers["Location"], next_page)
                cookies = response.header_values("Set-Cookie")
                self.assertEqual(len(cookies), 1)
                attributes = [part.strip() for part in cookies[0].split(";")]
                self.assertRegex(attributes[0], r"^lumivane_session=[A-Za-z0-9_-]{20,}$")
                self.assertIn("HttpOnly", attributes)
                self.assertIn("SameSite=Strict", attributes)
                self.assertIn("Path=/", attributes)

    def test_next_as_the_launcher_writes_it_round_trips(self):
        # "/" and "?" may stay literal in a query; "=" may or may not be escaped.
        server = self.start_and_wait()
        for query_next, expected in (
            ("next=/", "/"),
            ("next=/?pair=1", "/?pair=1"),
            ("next=/?pair%3D1", "/?pair=1"),
            ("next=%2F%3Fpair%3D1", "/?pair=1"),
            ("next=/licenses&next=/?pair=1", "/?pair=1"),
        ):
            with self.subTest(query=query_next):
                response = server.get(f"/login?token={server.current_token()}&{query_next}")
                self.assertEqual(response.status, 303)
                self.assertEqual(response.headers["Location"], expected)

    def test_hostile_next_lands_on_main_page(self):
        server = self.start_and_wait()
        for next_page in HOSTILE_NEXTS:
            with self.subTest(next=next_page):
                response = server.login(next_page)
                self.assertEqual(response.status, 303)
                self.assertEqual(response.header_values("Location"), ["/"])
                self.assertEqual(len(response.header_values("Set-Cookie")), 1)
                self.assertNotIn("stolen", str(response.headers))

    def test_hostile_next_written_raw_in_the_query_lands_on_main_page(self):
        server = self.start_and_wait()
        for raw in ("next=%2F%2Fevil", "next=//evil.example", "next=/%5Cevil", "next=%0d%0aLocation:%20x"):
            with self.subTest(query=raw):
                response = server.get(f"/login?token={server.current_token()}&{raw}")
                self.assertEqual(response.status, 303)
                self.assertEqual(response.header_values("Location"), ["/"])

    def test_token_is_one_time_and_a_new_one_is_published(self):
        server = self.start_and_wait()
        first = server.handoff()
        first_token = server.current_token()
        self.assertEqual(server.login("/", token=first_token).status, 303)

        second = server.handoff()
        second_token = server.current_token()
        self.assertNotEqual(second_token, first_token)
        self.assertEqual(second["pid"], first["pid"])
        self.assertEqual(second["url"], f"http://localhost:{server.port}/login?token={second_token}")

        reused = server.login("/", token=first_token)
        self.assertEqual(reused.status, 403)
        self.assertIn("Open Lumivane", reused.body)
        self.assertEqual(reused.header_values("Set-Cookie"), [])
        self.assertEqual(server.current_token(), second_token, "a refused token must not rotate")

        self.assertEqual(server.login("/", token=second_token).status, 303)

    def test_wrong_tokens_are_refused(self):
        server = self.start_and_wait()
        token = server.current_token()
        for query in (
            "token=",
            "token=" + "A" * len(token),
            "token=" + token[:-1],
            "token=%C3%A9",
            f"token={token}&token={token}",
        ):
            with self.subTest(query=query):
                response = server.get("/login?" + query)
                self.assertEqual(response.status, 403)
                self.assertIn("Open Lumivane", response.body)
        self.assertEqual(server.current_token(), token)

    def test_token_does_not_reach_the_log(self):
        server = self.start_and_wait()
        token = server.current_token()
        server.login("/")
        server.stop()
        output = server.output()
        self.assertIn("GET /login?token=", output)
        self.assertNotIn(token, output)


class PagesTest(StandInTestCase):
    def test_pages_without_a_session_are_401_and_say_how_to_get_in(self):
        server = self.start_and_wait()
        for target, headers in (
            ("/", {}),
            ("/?pair=1", {}),
            ("/no-such-page", {}),
            ("/", {"Cookie": "lumivane_session=forged"}),
            ("/", {"Cookie": "lumivane_session="}),
        ):
            with self.subTest(target=target, headers=headers):
                response = server.get(target, headers)
                self.assertEqual(response.status, 401)
                self.assertIn("Open Lumivane", response.body)
                self.assertIn("tray menu", response.body)
                self.assertNotIn(server.current_token(), response.body)

    def test_licenses_page_is_public_and_credits_each_component(self):
        server = self.start_and_wait()
        response = server.get("/licenses")
        self.assertEqual(response.status, 200)
        text = html.unescape(response.body)
        for expected in (
            "Qt 6",
            "LGPL-3.0",
            "GNU LESSER GENERAL PUBLIC LICENSE",
            "The Qt Company Ltd.",
            "nlohmann/json",
            "MIT License",
            "Niels Lohmann",
            "Permission is hereby granted, free of charge",
            "uriparser",
            "BSD 3-Clause",
            "Redistribution and use in source and binary forms",
            "Python Software Foundation",
            "PYTHON SOFTWARE FOUNDATION LICENSE VERSION 2",
        ):
            with self.subTest(expected=expected):
                self.assertIn(expected, text)
        self.assertNotIn("GoogleTest", text)

    def test_signed_in_pages(self):
        models = '/opt/<script>alert("x")</script>&models'
        server = self.start_and_wait(env={"LUMIVANE_MODELS": models})
        cookie = {"Cookie": "other=1; " + server.session_cookie()}

        main = server.get("/", cookie)
        self.assertEqual(main.status, 200)
        self.assertIn("<title>Lumivane</title>", main.body)
        self.assertIn("Welcome", main.body)
        self.assertIn(html.escape(models), main.body)
        self.assertNotIn("<script>", main.body)

        pairing = server.get("/?pair=1", cookie)
        self.assertEqual(pairing.status, 200)
        code = re.search(r'id="pairing-code">(\d{6})<', pairing.body)
        self.assertIsNotNone(code, pairing.body)
        self.assertEqual(server.get("/?pair=1", cookie).body, pairing.body)

        self.assertNotIn("pairing-code", server.get("/?pair=0", cookie).body)

        missing = server.get("/%3Cscript%3Ealert(1)%3C/script%3E", cookie)
        self.assertEqual(missing.status, 404)
        self.assertNotIn("<script>", missing.body)
        self.assertNotIn("%3Cscript", missing.body)

    def test_pages_carry_protective_headers(self):
        server = self.start_and_wait()
        response = server.get("/licenses")
        self.assertEqual(response.headers["Content-Type"], "text/html; charset=utf-8")
        self.assertEqual(response.headers["X-Content-Type-Options"], "nosniff")
        self.assertEqual(response.headers["Cache-Control"], "no-store")
        self.assertIn("default-src 'none'", response.headers["Content-Security-Policy"])

    def test_head_sends_headers_only(self):
        server = self.start_and_wait()
        response = server.get("/licenses", method="HEAD")
        self.assertEqual(response.status, 200)
        self.assertGreater(int(response.headers["Content-Length"]), 0)
        self.assertEqual(response.body, "")

    def test_requests_for_other_host_names_are_refused(self):
        # A page of another site that rebinds its name to 127.0.0.1 sends its own Host.
        server = self.start_and_wait()
        for host, status in (
            (f"localhost:{server.port}", 200),
            (f"127.0.0.1:{server.port}", 200),
            (f"LOCALHOST:{server.port}", 200),
            (f"evil.example:{server.port}", 400),
            ("localhost:1", 400),
        ):
            with self.subTest(host=host):
                self.assertEqual(server.get("/licenses", {"Host": host}).status, status)


if __name__ == "__main__":
    unittest.main()
