"""The built program in a terminal with no display server, driven as a user at a terminal
(or nobody at all) would drive it.

Runs inside a network namespace of its own (see CMakeLists.txt), so port 8000 and the
abstract sockets are private. Needs tmux.
"""

import os
import re
import shutil
import socket
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

PROGRAM = Path(os.environ["LUMIVANE_PROGRAM"])
BUILT = Path(os.environ["LUMIVANE_BUILT_RESOURCES"])
TMUX = os.environ.get("LUMIVANE_TMUX", "tmux")

# Stands in for the bundled interpreter: runs the real one and records how it ended. The
# launcher signals the whole process group, so the real interpreter gets the signals itself.
RECORDER = """#!/usr/bin/python3
import signal, subprocess, sys
for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
    signal.signal(number, lambda *_: None)
status = subprocess.Popen([{interpreter!r}] + sys.argv[1:]).wait()
with open({record!r}, "a") as stream:
    stream.write("%d\\n" % status)
sys.exit(status if status >= 0 else 128 - status)
"""

PAGE_LINE = re.compile(r"Open (http://localhost:8000/login\?token=[^&\s]+&next=/) in your browser")
PROMPT = "1) Start Again  2) Show Log  3) Quit [1]: "
KEYS_LINE = ("Keys: o Open Lumivane, p Connect Quest\u2026, l Show Log, c Licences & Credits, "
             "q Quit Lumivane")


def poll(what, probe, timeout=60.0):
    """Calls `probe` until it returns something true; fails the test after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.1)


class Session(unittest.TestCase):
    def setUp(self):
        self.root = Path(tempfile.mkdtemp(prefix="lumivane-terminal-"))
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)
        self.home = self.root / "home"
        runtime = self.root / "runtime"
        for directory in (self.home, runtime):
            directory.mkdir(mode=0o700)
        self.env = {
            "PATH": "/usr/local/bin:/usr/bin:/bin",
            "HOME": str(self.home),
            "XDG_RUNTIME_DIR": str(runtime),
            "XDG_CONFIG_HOME": str(self.home / ".config"),
            "XDG_DATA_HOME": str(self.home / ".local/share"),
            "XDG_STATE_HOME": str(self.home / ".local/state"),
            "XDG_CACHE_HOME": str(self.home / ".cache"),
            "LANG": "C.UTF-8",
        }

    def make_bundle(self, app):
        """bin/lumivane beside share/lumivane, with the interpreter behind the recorder."""
        run = Path(tempfile.mkdtemp(prefix="run-", dir=self.root))
        bundle = run / "bundle"
        (bundle / "bin").mkdir(parents=True)
        executable = bundle / "bin" / "lumivane"
        shutil.copy2(PROGRAM, executable)
        resources = bundle / "share" / "lumivane"
        (resources / "models").mkdir(parents=True)
        shutil.copy2(BUILT / "MenuIcon.png", resources / "MenuIcon.png")
        interpreter = resources / "python" / "bin" / "python3"
        interpreter.parent.mkdir(parents=True)
        self.record = run / "exit-statuses"
        interpreter.write_text(RECORDER.format(
            interpreter=str(BUILT / "python" / "bin" / "python3"), record=str(self.record)))
        interpreter.chmod(0o755)
        app(resources / "lumivane")
        return executable

    def exit_statuses(self):
        try:
            return [int(line) for line in self.record.read_text().split()]
        except FileNotFoundError:
            return []

    def server_log(self):
        logs = list(self.home.rglob("lumivane.log"))
        self.assertEqual(len(logs), 1, f"server logs: {logs}")
        return logs[0].read_text(errors="replace")


def stand_in(app_dir):
    shutil.copytree(BUILT / "lumivane", app_dir,
                    ignore=shutil.ignore_patterns("__pycache__", "*.pyc"))


def crashing_app(app_dir):
    package = app_dir / "app"
    package.mkdir(parents=True)
    (package / "__init__.py").write_text("")
    (package / "__main__.py").write_text("import sys\nsys.exit(3)\n")


class AtATerminal(Session):
    """A user logged in over SSH: the page is printed, keys run the menu."""

    def start(self, app):
        executable = self.make_bundle(app)
        run = executable.parent.parent.parent
        script = run / "run.sh"
        exports = "".join(f"export {name}='{value}'\n" for name, value in self.env.items())
        script.write_text(
            "unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM DBUS_SESSION_BUS_ADDRESS\n"
            + exports
            + f"'{executable}'\n"
            + 'echo "lumivane exit status $?"\n'
            + "stty -a\n"
            + "echo END-OF-RUN\n"
            # Keeps the pane, and what it shows, until the session is killed.
            + "read keep\n")
        self.tmux = [TMUX, "-S", str(run / "tmux.sock"), "-f", "/dev/null"]
        server_env = {"PATH": self.env["PATH"], "HOME": self.env["HOME"], "TERM": "xterm"}
        subprocess.run(self.tmux + ["new-session", "-d", "-x", "200", "-y", "50", "-s", "lv",
                                    "sh", str(script)], env=server_env, check=True)
        self.addCleanup(subprocess.run, self.tmux + ["kill-server"], env=server_env,
                        stderr=subprocess.DEVNULL)
        self.tmux_env = server_env

    def screen(self):
        return subprocess.run(self.tmux + ["capture-pane", "-p", "-J", "-t", "lv", "-S", "-200"],
                              env=self.tmux_env, capture_output=True, text=True, check=True).stdout

    def send(self, *keys):
        for key in keys:
            command = ["send-keys", "-t", "lv"] + (["Enter"] if key == "\n" else ["-l", key])
            subprocess.run(self.tmux + command, env=self.tmux_env, check=True)

    def end_of_run(self):
        return poll("the end of the run",
                    lambda: (lambda text: text if "END-OF-RUN" in text else None)(self.screen()))

    def assert_sane_exit(self, screen):
        self.assertIn("lumivane exit status 0", screen)
        modes = screen.split("lumivane exit status 0", 1)[1]
        self.assertRegex(modes, r"(?<![-\w])icanon\b", "canonical input not restored")
        self.assertRegex(modes, r"(?<![-\w])echo\b", "echo not restored")

    def test_page_is_printed_and_q_quits_cleanly(self):
        self.start(stand_in)
        page = poll("the page line", lambda: PAGE_LINE.search(self.screen()))
        self.assertIn(KEYS_LINE, self.screen())
        self.assertNotIn("END-OF-RUN", self.screen())

        # Keys run the menu's commands, whatever the case.
        self.send("O")
        poll("the page again", lambda: len(PAGE_LINE.findall(self.screen())) == 2)
        self.send("l")
        poll("the log's path", lambda: re.search(r"Log: /\S+/Logs/Lumivane/lumivane\.log", self.screen()))
        self.send("q")
        screen = self.end_of_run()

        self.assert_sane_exit(screen)
        self.assertEqual(self.exit_statuses(), [0], "the stand-in did not end with status 0")
        log = self.server_log()
        self.assertNotIn("Traceback", log)
        print(f"\npage: {page.group(1)}")

    def test_alert_is_answered_on_the_prompt(self):
        # The answers given, one per alert after a bad answer to the first; what the screen
        # shows besides; how many times the server ran.
        cases = [
            (["3"], None, [3]),
            (["2"], r"Log: /\S+/Logs/Lumivane/lumivane\.log", [3]),
            (["1", "3"], None, [3, 3]),
        ]
        for answers, shown, runs in cases:
            with self.subTest(answers=answers):
                self.start(crashing_app)
                poll("the alert prompt", lambda: PROMPT in self.screen())
                self.send("x", "\n")
                poll("the prompt again", lambda: self.screen().count(PROMPT) == 2)
                for number, answer in enumerate(answers):
                    poll("the alert", lambda: self.screen().count(PROMPT) == number + 2)
                    self.send(answer, "\n")
                screen = self.end_of_run()
                self.assert_sane_exit(screen)
                self.assertEqual(screen.count("Lumivane stopped unexpectedly"), len(answers))
                if shown:
                    self.assertRegex(screen, shown)
                self.assertEqual(self.exit_statuses(), runs)
                print(f"\n--- answers {answers} ---\n" + screen.split("speed", 1)[0].rstrip())


class WithoutATerminal(Session):
    """Nobody to answer: a server that stops at once is not started again."""

    def test_unexpected_stop_is_printed_once_and_leads_to_quitting(self):
        executable = self.make_bundle(crashing_app)
        env = dict(self.env)
        done = subprocess.run([str(executable)], stdin=subprocess.DEVNULL, env=env,
                              capture_output=True, text=True, timeout=60)
        print("\n" + done.stderr)
        self.assertEqual(done.returncode, 0)
        self.assertEqual(done.stderr.count("Lumivane stopped unexpectedly"), 1)
        self.assertIn("(no terminal to answer on: dismissed)", done.stderr)
        self.assertEqual(self.exit_statuses(), [3], "the server was started more than once")


class DisplayThatRefuses(Session):
    """A display socket that accepts a connection and speaks no protocol: the desktop front
    end is chosen, and Qt cannot start on it. The program says so and ends with status 1,
    without aborting and without starting the server."""

    def test_the_program_ends_with_a_clear_error_instead_of_aborting(self):
        executable = self.make_bundle(stand_in)
        with socket.socket(socket.AF_UNIX) as listener:
            listener.bind(str(self.root / "wayland-0"))
            listener.listen(8)
            env = dict(self.env, WAYLAND_DISPLAY=str(self.root / "wayland-0"))
            done = subprocess.run([str(executable)], stdin=subprocess.DEVNULL, env=env,
                                  capture_output=True, text=True, timeout=60)
        self.assertEqual(done.returncode, 1, done.stderr)
        self.assertIn("lumivane: the display could not be used", done.stderr)
        self.assertEqual(self.exit_statuses(), [], "a server was started")


if __name__ == "__main__":
    unittest.main()
