"""The HTTP server, its request handler and the process's start and stop.

Start: bind and listen on 127.0.0.1, then publish the hand-off file (the
launcher may read it as soon as the port answers), then serve. Stop: SIGINT or
SIGTERM ends serving, the hand-off file is removed if it is still ours, and
the process exits 0.
"""

import argparse
import errno
import os
import re
import secrets
import signal
import socketserver
import sys
import threading
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs

from . import pages, redirects, settings, signin
from .handoff import HandoffFile

_SECURITY_HEADERS = (
    ("Cache-Control", "no-store"),
    ("X-Content-Type-Options", "nosniff"),
    ("X-Frame-Options", "DENY"),
    ("Referrer-Policy", "no-referrer"),
    (
        "Content-Security-Policy",
        "default-src 'none'; style-src 'unsafe-inline'; base-uri 'none'; "
        "form-action 'none'; frame-ancestors 'none'",
    ),
)

# The sign-in token must not end up in the server log.
_TOKEN_IN_LOG = re.compile(r"(token=)[^&\s\"]*")
_UNPRINTABLE = re.compile(r"[\x00-\x1f\x7f-\x9f]")


def _log_safe(text: str) -> str:
    text = _TOKEN_IN_LOG.sub(r"\1<redacted>", text)
    return _UNPRINTABLE.sub(lambda m: f"\\x{ord(m.group()):02x}", text)


def log(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


class LumivaneServer(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, port: int, config: settings.Settings) -> None:
        super().__init__((settings.HOST, port), LumivaneHandler)
        self.config = config
        self.port = self.server_address[1]
        self.handoff = HandoffFile(config.handoff_file, os.getpid())
        self.tokens = signin.LoginTokens(self._publish)
        self.sessions = signin.Sessions()
        self.pairing_code = f"{secrets.randbelow(1_000_000):06d}"

    def server_bind(self) -> None:
        # HTTPServer.server_bind would look up the host's name, which can stall
        # without a resolver; the name is known.
        socketserver.TCPServer.server_bind(self)
        self.server_name = settings.HOST
        self.server_port = self.server_address[1]

    def login_url(self, token: str) -> str:
        return f"http://localhost:{self.port}/login?token={token}"

    def _publish(self, token: str) -> None:
        self.handoff.publish(self.login_url(token))

    def allowed_hosts(self) -> set[str]:
        return {f"{name}:{self.port}" for name in ("localhost", "127.0.0.1")}


class LumivaneHandler(BaseHTTPRequestHandler):
    server: LumivaneServer

    def version_string(self) -> str:
        return "Lumivane"

    def do_GET(self) -> None:
        self._dispatch(send_body=True)

    def do_HEAD(self) -> None:
        self._dispatch(send_body=False)

    def log_message(self, format: str, *args) -> None:
        line = f"{self.address_string()} - - [{self.log_date_time_string()}] {format % args}"
        log(_log_safe(line))

    def _dispatch(self, send_body: bool) -> None:
        self._send_body = send_body
        target, _, query = self.path.partition("?")
        target = target.partition("#")[0]
        if not target.startswith("/"):
            self._respond(HTTPStatus.BAD_REQUEST, pages.not_found_page())
            return
        if not self._host_is_ours():
            # A page reached through another name may be a DNS-rebinding attempt.
            self._respond(HTTPStatus.BAD_REQUEST, pages.bad_host_page())
            return
        params = parse_qs(query, keep_blank_values=True, max_num_fields=32)
        if target == "/login":
            self._login(params)
        elif target == "/licenses":
            self._respond(HTTPStatus.OK, pages.licenses_page())
        elif not self._signed_in():
            self._respond(HTTPStatus.UNAUTHORIZED, pages.not_signed_in_page())
        elif target == "/":
            if params.get("pair") == ["1"]:
                self._respond(HTTPStatus.OK, pages.pairing_page(self.server.pairing_code))
            else:
                self._respond(HTTPStatus.OK, pages.main_page(self.server.config.models))
        else:
            self._respond(HTTPStatus.NOT_FOUND, pages.not_found_page())

    def _host_is_ours(self) -> bool:
        hosts = self.headers.get_all("Host") or []
        if not hosts:
            return True  # HTTP/1.0 clients such as simple probes send none
        return len(hosts) == 1 and hosts[0].strip().lower() in self.server.allowed_hosts()

    def _signed_in(self) -> bool:
        cookies = signin.cookie_values(self.headers.get_all("Cookie") or [], signin.SESSION_COOKIE)
        return any(self.server.sessions.is_open(value) for value in cookies)

    def _login(self, params: dict[str, list[str]]) -> None:
        tokens = params.get("token")
        if tokens is None:
            # The launcher's readiness probe lands here.
            self._respond(HTTPStatus.OK, pages.login_page())
            return
        if len(tokens) != 1 or not self.server.tokens.redeem(tokens[0], self._publish_failed):
            self._respond(HTTPStatus.FORBIDDEN, pages.used_link_page())
            return
        session = self.server.sessions.open()
        # The launcher appends its "next" after any that the URL already had.
        destination = redirects.safe_next((params.get("next") or [None])[-1])
        self._respond(
            HTTPStatus.SEE_OTHER,
            b"",
            extra_headers=(
                ("Set-Cookie", signin.set_cookie_header(session)),
                ("Location", redirects.location_header(destination)),
            ),
        )

    def _publish_failed(self, error: Exception) -> None:
        log(f"Lumivane: could not rewrite {self.server.handoff.path}: {error}")

    def _respond(self, status: HTTPStatus, body: bytes, extra_headers=()) -> None:
        self.send_response(status)
        if body:
            self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        for name, value in _SECURITY_HEADERS + tuple(extra_headers):
            self.send_header(name, value)
        self.end_headers()
        if self._send_body and body:
            self.wfile.write(body)


def _parse_arguments(argv: list[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="app", description="Serve Lumivane's pages on 127.0.0.1.")
    parser.add_argument(
        "--no-browser",
        action="store_true",
        help="do not open a browser (the launcher opens it; this server never does)",
    )
    return parser.parse_args(argv)


def _install_stop_handlers(server: LumivaneServer) -> None:
    stopping = threading.Event()

    def request_stop(signum, _frame) -> None:
        if stopping.is_set():
            return
        stopping.set()
        log(f"Lumivane: {signal.Signals(signum).name} received, stopping")
        # shutdown() waits for serve_forever() to return, and serve_forever()
        # runs on this (the main) thread, so it must be called from another.
        threading.Thread(target=server.shutdown, name="shutdown", daemon=True).start()

    signal.signal(signal.SIGINT, request_stop)
    signal.signal(signal.SIGTERM, request_stop)


def main(argv: list[str] | None = None) -> int:
    _parse_arguments(sys.argv[1:] if argv is None else argv)
    try:
        config = settings.settings_from(os.environ)
    except settings.SettingsError as error:
        log(f"Lumivane: {error}")
        return 2

    # Until the handlers are in place a signal would end the process with a
    # traceback; nothing has been published yet, so that is harmless.
    try:
        server = LumivaneServer(config.port, config)
    except OSError as error:
        if error.errno == errno.EADDRINUSE:
            log(f"Lumivane: port {config.port} is already in use; is Lumivane already running?")
        else:
            log(f"Lumivane: cannot listen on {settings.HOST}:{config.port}: {error.strerror or error}")
        return 2

    _install_stop_handlers(server)
    try:
        # Already listening: connections wait in the backlog until serve_forever.
        log(f"Lumivane serving on http://{settings.HOST}:{server.port}")
        try:
            server.tokens.publish_current()
        except OSError as error:
            log(f"Lumivane: cannot write {config.handoff_file}: {error}")
            return 1
        server.serve_forever()
    finally:
        server.tokens.close(server.handoff.remove_if_ours)
        server.server_close()
    log("Lumivane stopped")
    return 0
