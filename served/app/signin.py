"""One-time sign-in tokens and the browser sessions they open.

The launcher opens the URL from the hand-off file with a "next" page; the
token in it is good for one sign-in. Redeeming it mints the next token and
republishes the file at once, so the launcher's following navigation works.
"""

import hmac
import secrets
import threading
from typing import Callable

SESSION_COOKIE = "lumivane_session"


def _new_secret() -> str:
    return secrets.token_urlsafe(32)


class LoginTokens:
    """The current token; publish is called with each new one, under the lock.

    Thread-safe: request handlers run on their own threads.
    """

    def __init__(self, publish: Callable[[str], None]) -> None:
        self._lock = threading.Lock()
        self._publish = publish
        self._current = _new_secret()
        self._closed = False

    def publish_current(self) -> None:
        """Publish the first token; raises what publish raises."""
        with self._lock:
            self._publish(self._current)

    def redeem(self, candidate: str, on_publish_error: Callable[[Exception], None]) -> bool:
        """True, and a fresh token published, when candidate is the current token."""
        with self._lock:
            if self._closed:
                return False
            if not hmac.compare_digest(candidate.encode("utf-8"), self._current.encode("utf-8")):
                return False
            self._current = _new_secret()
            try:
                self._publish(self._current)
            except OSError as error:
                # The sign-in itself succeeded; only the next launcher navigation
                # will fall back to the plain address.
                on_publish_error(error)
            return True

    def close(self, then: Callable[[], None]) -> None:
        """Refuse every later redemption, then run then() under the lock.

        Used at shutdown so that no straggling request republishes the file
        after it has been removed.
        """
        with self._lock:
            self._closed = True
            then()


class Sessions:
    """Session identifiers handed out as cookies. Thread-safe."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._ids: set[str] = set()

    def open(self) -> str:
        session = _new_secret()
        with self._lock:
            self._ids.add(session)
        return session

    def is_open(self, session: str) -> bool:
        with self._lock:
            return session in self._ids


def cookie_values(headers: list[str], name: str) -> list[str]:
    """Every value of cookie name in the given Cookie header lines.

    Parsed by hand: other programs on localhost may set cookies that a strict
    parser rejects, and one malformed cookie must not hide ours.
    """
    values = []
    for header in headers:
        for pair in header.split(";"):
            key, sep, value = pair.strip().partition("=")
            if sep and key.strip() == name:
                values.append(value.strip().strip('"'))
    return values


def set_cookie_header(session: str) -> str:
    return f"{SESSION_COOKIE}={session}; Path=/; HttpOnly; SameSite=Strict"
