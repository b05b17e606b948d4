"""Runs the stand-in served application as a real process for the tests.

Each StandIn gets its own temporary XDG_DATA_HOME and HOME and, unless told
otherwise, an ephemeral port, so tests can run beside each other and beside a
real Lumivane without touching port 8000 or the user's files. The port the
kernel picked is read back from the hand-off URL.
"""

import http.client
import json
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path
from urllib.parse import parse_qs, urlencode, urlsplit

SERVED_DIR = Path(__file__).resolve().parents[2] / "served"

# Generous: a loaded CI machine may take a while to start an interpreter.
STARTUP_DEADLINE_S = 30.0
EXIT_DEADLINE_S = 20.0
POLL_INTERVAL_S = 0.02


def child_environment(data_home: Path, home: Path, port: str | None, extra: dict) -> dict:
    env = {
        k: v
        for k, v in os.environ.items()
        if k not in ("PYTHONPATH", "PYTHONHOME", "PYTHONSAFEPATH") and not k.startswith("LUMIVANE_")
    }
    env.update(
        XDG_DATA_HOME=str(data_home),
        HOME=str(home),
        PYTHONDONTWRITEBYTECODE="1",
        PYTHONNOUSERSITE="1",
    )
    if port is not None:
        env["LUMIVANE_STANDIN_PORT"] = port
    env.update(extra)
    return env


class Response:
    def __init__(self, raw: http.client.HTTPResponse) -> None:
        self.status = raw.status
        self.headers = raw.headers
        self.body = raw.read().decode("utf-8")

    def header_values(self, name: str) -> list[str]:
        return self.headers.get_all(name) or []


class StandIn:
    """One stand-in process. Use as a context manager; it is killed on exit if still running."""

    def __init__(
        self,
        workdir: Path,
        port: str | None = "0",
        env: dict | None = None,
        args: tuple = ("--no-browser",),
        python: str = sys.executable,
        command: list | None = None,
        cwd: Path = SERVED_DIR,
    ) -> None:
        self.data_home = workdir / "data-home"
        self.home = workdir / "home"
        self.home.mkdir(exist_ok=True)
        self.handoff_path = self.data_home / "Lumivane" / "data" / "launch.json"
        self.log_path = workdir / "standin.log"
        environment = child_environment(self.data_home, self.home, port, env or {})
        self._log = open(self.log_path, "wb")
        self.process = subprocess.Popen(
            command or [python, "-m", "app", *args],
            cwd=cwd,
            env=environment,
            stdin=subprocess.DEVNULL,
            stdout=self._log,
            stderr=subprocess.STDOUT,
        )
        self.port: int | None = None
        # The pid that the hand-off file names; a wrapper may exec the server.
        self.expected_pid = self.process.pid

    def __enter__(self) -> "StandIn":
        return self

    def __exit__(self, *exc) -> None:
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self._log.close()

    def output(self) -> str:
        self._log.flush()
        return self.log_path.read_text(encoding="utf-8", errors="replace")

    def wait_for_handoff(self) -> dict:
        """This process's hand-off document once it is there; fails if the process exits first.

        A file left by someone else (another pid) does not count.
        """
        deadline = time.monotonic() + STARTUP_DEADLINE_S
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise AssertionError(
                    f"stand-in exited with {self.process.returncode} before publishing:\n{self.output()}"
                )
            try:
                document = json.loads(self.handoff_path.read_text(encoding="utf-8"))
            except (FileNotFoundError, ValueError):
                document = None
            if not isinstance(document, dict) or document.get("pid") != self.expected_pid:
                time.sleep(POLL_INTERVAL_S)
                continue
            self.port = urlsplit(document["url"]).port
            return document
        raise AssertionError(f"no hand-off file after {STARTUP_DEADLINE_S} s:\n{self.output()}")

    def handoff(self) -> dict:
        return json.loads(self.handoff_path.read_text(encoding="utf-8"))

    def current_token(self) -> str:
        return parse_qs(urlsplit(self.handoff()["url"]).query)["token"][0]

    def wait_for_exit(self) -> int:
        return self.process.wait(timeout=EXIT_DEADLINE_S)

    def stop(self, signum: int = signal.SIGTERM) -> int:
        self.process.send_signal(signum)
        return self.wait_for_exit()

    def get(self, target: str, headers: dict | None = None, method: str = "GET") -> Response:
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        try:
            connection.request(method, target, headers=headers or {})
            return Response(connection.getresponse())
        finally:
            connection.close()

    def login(self, next_page: str | None = None, token: str | None = None) -> Response:
        """A sign-in with next_page encoded as a query decoder expects it."""
        params = {"token": self.current_token() if token is None else token}
        if next_page is not None:
            params["next"] = next_page
        return self.get("/login?" + urlencode(params))

    def session_cookie(self) -> str:
        """Sign in and return the Cookie header value that carries the session."""
        response = self.login("/")
        if response.status != 303:
            raise AssertionError(f"sign-in answered {response.status}")
        return response.headers["Set-Cookie"].split(";", 1)[0]


class StandInTestCase(unittest.TestCase):
    """Gives each test a temporary directory for its stand-in."""

    def setUp(self) -> None:
        self._tmp = tempfile.TemporaryDirectory(prefix="lumivane-served-")
        self.addCleanup(self._tmp.cleanup)
        self.workdir = Path(self._tmp.name)

    def start(self, workdir: Path | None = None, **kwargs) -> StandIn:
        """A stand-in whose files live in workdir (default: the test's directory)."""
        if workdir is None:
            workdir = self.workdir
        workdir.mkdir(parents=True, exist_ok=True)
        server = StandIn(workdir, **kwargs)
        self.addCleanup(server.__exit__)
        return server

    def start_and_wait(self, **kwargs) -> StandIn:
        server = self.start(**kwargs)
        server.wait_for_handoff()
        return server
