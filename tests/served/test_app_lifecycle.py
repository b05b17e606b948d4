"""The stand-in as a process: hand-off file, start-up failures and stopping."""

import json
import os
import shutil
import signal
import socket
import stat
import sys
import unittest

from standin import SERVED_DIR, StandInTestCase


def mode(path) -> int:
    return stat.S_IMODE(os.stat(path).st_mode)


class HandoffFileTest(StandInTestCase):
    def test_file_is_private_json_naming_a_listening_server(self):
        server = self.start_and_wait()
        document = server.handoff()
        self.assertIsInstance(document, dict)
        self.assertEqual(document["pid"], server.process.pid)
        self.assertRegex(
            document["url"], rf"^http://localhost:{server.port}/login\?token=[A-Za-z0-9_-]{{40,}}$"
        )
        self.assertEqual(mode(server.handoff_path), 0o600)
        for directory in (server.handoff_path.parent, server.handoff_path.parent.parent):
            with self.subTest(directory=directory):
                self.assertEqual(mode(directory), 0o700)
        # Published only once listening: the first request needs no retry.
        self.assertEqual(server.get("/login").status, 200)
        self.assertEqual(
            [p.name for p in server.handoff_path.parent.iterdir()], ["launch.json"],
            "no temporary file may be left behind",
        )

    def test_existing_directories_and_a_stale_file_are_taken_over(self):
        data = self.workdir / "data-home" / "Lumivane" / "data"
        data.mkdir(parents=True, mode=0o755)
        (data / "launch.json").write_text('{"url": "http://localhost:1/stale", "pid": 1}')
        server = self.start_and_wait()
        self.assertNotIn("stale", server.handoff()["url"])
        self.assertEqual(mode(server.handoff_path), 0o600)

    def test_relative_xdg_data_home_falls_back_to_home(self):
        server = self.start(env={"XDG_DATA_HOME": "relative/dir"})
        server.handoff_path = server.home / ".local" / "share" / "Lumivane" / "data" / "launch.json"
        server.wait_for_handoff()
        self.assertEqual(server.get("/login").status, 200)
        self.assertFalse((SERVED_DIR / "relative").exists())

    def test_unwritable_data_directory_stops_start_up(self):
        (self.workdir / "data-home").mkdir()
        (self.workdir / "data-home" / "Lumivane").write_text("a file where a directory belongs")
        server = self.start()
        self.assertEqual(server.wait_for_exit(), 1)
        self.assertIn("cannot write", server.output())


class StopTest(StandInTestCase):
    def test_signals_stop_cleanly_and_remove_the_file(self):
        for signum in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal=signum.name):
                server = self.start_and_wait(workdir=self.workdir / signum.name)
                self.assertIn(f"Lumivane serving on http://127.0.0.1:{server.port}", server.output())
                server.session_cookie()  # a rotated token is still this server's own
                self.assertEqual(server.stop(signum), 0)
                self.assertFalse(server.handoff_path.exists())
                self.assertNotIn("Traceback", server.output())

    def test_file_written_by_someone_else_is_left_alone(self):
        server = self.start_and_wait()
        foreign = json.dumps({"url": "http://localhost:8000/login?token=other", "pid": 1})
        server.handoff_path.write_text(foreign)
        self.assertEqual(server.stop(signal.SIGTERM), 0)
        self.assertEqual(server.handoff_path.read_text(), foreign)


class StartUpFailureTest(StandInTestCase):
    def test_port_in_use_is_reported_and_publishes_nothing(self):
        with socket.socket() as holder:
            holder.bind(("127.0.0.1", 0))
            holder.listen()
            port = holder.getsockname()[1]
            server = self.start(port=str(port))
            self.assertEqual(server.wait_for_exit(), 2)
        self.assertIn(f"port {port} is already in use", server.output())
        self.assertFalse(server.handoff_path.exists())
        self.assertFalse(server.handoff_path.parent.exists())

    def test_bad_arguments_and_settings_are_rejected(self):
        for args, env, message in (
            (("--no-browser", "--bogus"), {}, "unrecognized arguments: --bogus"),
            (("extra",), {}, "unrecognized arguments: extra"),
            (("--no-browser",), {"LUMIVANE_STANDIN_PORT": "eighty"}, "LUMIVANE_STANDIN_PORT"),
            (("--no-browser",), {"LUMIVANE_STANDIN_PORT": "70000"}, "LUMIVANE_STANDIN_PORT"),
        ):
            with self.subTest(args=args, env=env):
                server = self.start(args=args, env=env)
                self.assertEqual(server.wait_for_exit(), 2)
                self.assertIn(message, server.output())
                self.assertFalse(server.handoff_path.exists())


@unittest.skipUnless(
    os.geteuid() == 0 and shutil.which("unshare") and shutil.which("ip"),
    "needs root to make a private network namespace",
)
class DefaultPortTest(StandInTestCase):
    def test_listens_on_8000_when_no_port_is_given(self):
        # In a network namespace of its own, port 8000 is free whatever else runs.
        script = 'ip link set lo up && exec "$0" -m app --no-browser'
        server = self.start(port=None, command=["unshare", "-n", "sh", "-c", script, sys.executable])
        document = server.wait_for_handoff()
        self.assertRegex(document["url"], r"^http://localhost:8000/login\?token=")
        self.assertIn("Lumivane serving on http://127.0.0.1:8000", server.output())
        self.assertEqual(server.stop(signal.SIGTERM), 0)
        self.assertFalse(server.handoff_path.exists())


if __name__ == "__main__":
    unittest.main()
