"""A private desktop session for one test: an X server, a session bus and its services.

Everything lives under one temporary directory: the user's home with its XDG directories,
the runtime directory (0700), the records that the fixtures write, and the programs that
stand in for the browser. The X server and the bus listen only on sockets of their own; run
inside a private network namespace, even their abstract sockets are private.
"""

import json
import os
import pwd
import select
import shutil
import subprocess
import time
from pathlib import Path

from . import processes

E2E_DIR = Path(__file__).resolve().parent.parent
SYSTEM_PYTHON = "/usr/bin/python3"

BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
"""

# Appends every URL it is asked to open to the record, one a line, as a browser would
# open each in a tab.
BROWSER_RECORDER = """#!/bin/sh
for url in "$@"; do
  printf '%s\\n' "$url" >> '{record}'
done
"""


def _read_line(stream_fd, timeout, what):
    """Reads one line from a pipe, failing after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    data = b""
    while b"\n" not in data:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise processes.Timeout(f"timed out waiting for {what}")
        ready, _, _ = select.select([stream_fd], [], [], remaining)
        if not ready:
            continue
        chunk = os.read(stream_fd, 4096)
        if not chunk:
            raise AssertionError(f"{what}: the pipe closed before a line arrived")
        data += chunk
    return data.split(b"\n", 1)[0].decode().strip()


class Desktop:
    def __init__(self, root, marker, accessibility=False):
        self.root = Path(root)
        self.accessibility = accessibility
        self.user = pwd.getpwuid(os.getuid()).pw_name
        self.marker = marker
        self.home = self.root / "home"
        self.data_home = self.home / ".local" / "share"
        self.state_home = self.home / ".local" / "state"
        self.config_home = self.home / ".config"
        self.cache_home = self.home / ".cache"
        self.runtime_dir = self.root / "runtime"
        self.system_data = self.root / "system-data"  # XDG_DATA_DIRS: no desktop entries
        self.records = self.root / "records"
        self.bin = self.root / "bin"
        self.output = self.root / "output"
        for directory in (self.data_home, self.state_home, self.config_home, self.cache_home,
                          self.system_data, self.records, self.bin, self.output):
            directory.mkdir(parents=True, exist_ok=True)
        self.runtime_dir.mkdir(mode=0o700)
        os.chmod(self.runtime_dir, 0o700)

        self.browser_record = self.records / "browser.txt"
        self.browser = self.bin / "browser"
        self.set_browser(BROWSER_RECORDER.format(record=self.browser_record))

        self.display = None
        self.bus_address = None
        self._owned = []  # (name, Popen) of the session's own programs, in start order

    # --- start and stop -------------------------------------------------------------------

    def start(self):
        self._start_x_server()
        self._start_bus()
        self._start_services()
        return self

    def _spawn(self, name, argv, **kwargs):
        log = open(self.output / f"{name}.log", "wb")
        kwargs.setdefault("stdout", log)
        kwargs.setdefault("stderr", log)
        process = subprocess.Popen(argv, env=self.environment(), stdin=subprocess.DEVNULL,
                                   **kwargs)
        log.close()
        self._owned.append((name, process))
        return process

    def _start_x_server(self):
        read_end, write_end = os.pipe()
        try:
            # -noreset: without it the server starts over whenever its last client leaves,
            # compiling its keymap again while the next client waits.
            self._spawn("xvfb", ["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp",
                                 "-noreset", "-screen", "0", "1024x768x24"],
                        pass_fds=(write_end,))
            os.close(write_end)
            number = _read_line(read_end, 30, "the X server's display number")
        finally:
            os.close(read_end)
        self.display = f":{number}"

    def _start_bus(self):
        socket = self.runtime_dir / "bus"
        config = self.root / "session-bus.conf"
        config.write_text(BUS_CONFIG.format(socket=socket))
        read_end, write_end = os.pipe()
        try:
            self._spawn("dbus-daemon", ["dbus-daemon", "--nofork", f"--config-file={config}",
                                        f"--print-address={write_end}"],
                        pass_fds=(write_end,))
            os.close(write_end)
            self.bus_address = _read_line(read_end, 30, "the session bus's address")
        finally:
            os.close(read_end)

    def _start_services(self):
        services = self._spawn(
            "services",
            [SYSTEM_PYTHON, "-B", "-m", "harness.services", self.bus_address, str(self.records)]
            + (["--accessibility"] if self.accessibility else []),
            cwd=E2E_DIR, stdout=subprocess.PIPE)
        try:
            line = _read_line(services.stdout.fileno(), 30, "the tray host and file manager")
        finally:
            services.stdout.close()
        if line != "ready":
            raise AssertionError(f"the desktop services said {line!r} instead of ready")

    def infrastructure_pids(self):
        """The session's own programs and whatever they run (the X server's keymap
        compiler, say)."""
        own = {process.pid for _, process in self._owned}
        return {pid for pid in processes.marked(self.marker)
                if processes.descends_from(pid, own)} | own

    def stop(self):
        for _, process in reversed(self._owned):
            if process.poll() is None:
                process.terminate()
        for _, process in reversed(self._owned):
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        self._owned.clear()

    # --- the session's environment --------------------------------------------------------

    def environment(self, **changes):
        """The environment of a program started in this session, as a user's login gives it.

        Nothing of the test runner's own environment leaks in. `changes` set variables;
        a value of None removes one.
        """
        env = {
            "PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
            "HOME": str(self.home),
            "USER": self.user,
            "LOGNAME": self.user,
            "LANG": "C.UTF-8",
            "XDG_DATA_HOME": str(self.data_home),
            "XDG_STATE_HOME": str(self.state_home),
            "XDG_CONFIG_HOME": str(self.config_home),
            "XDG_CACHE_HOME": str(self.cache_home),
            "XDG_RUNTIME_DIR": str(self.runtime_dir),
            # Without desktop entries, xdg-open finds no registered handler and asks $BROWSER.
            "XDG_DATA_DIRS": str(self.system_data),
            "XDG_CONFIG_DIRS": str(self.system_data),
            "QT_QPA_PLATFORM": "xcb",
            "BROWSER": str(self.browser),
            processes.MARKER_VARIABLE: self.marker,
        }
        if self.display:
            env["DISPLAY"] = self.display
        if self.bus_address:
            env["DBUS_SESSION_BUS_ADDRESS"] = self.bus_address
        for name, value in changes.items():
            if value is None:
                env.pop(name, None)
            else:
                env[name] = value
        return env

    def set_browser(self, script):
        self.browser.write_text(script)
        self.browser.chmod(0o755)

    # --- what the desktop recorded --------------------------------------------------------

    def opened_urls(self):
        try:
            return self.browser_record.read_text().splitlines()
        except FileNotFoundError:
            return []

    def _jsonl(self, name):
        try:
            lines = (self.records / name).read_text().splitlines()
        except FileNotFoundError:
            return []
        return [json.loads(line) for line in lines if line]

    def tray_registrations(self):
        return self._jsonl("tray-items.jsonl")

    def file_manager_calls(self):
        return self._jsonl("file-manager.jsonl")

    def accessible_applications(self):
        return self._jsonl("accessibility.jsonl")

    # --- windows, keys and pictures -------------------------------------------------------

    def _x(self, argv, check=True):
        return subprocess.run(argv, env=self.environment(), capture_output=True, text=True,
                              check=check, timeout=30)

    def windows(self, name):
        """Ids of the visible windows whose title is exactly `name`."""
        found = self._x(["xdotool", "search", "--onlyvisible", "--name", f"^{name}$"],
                        check=False)
        return [int(line) for line in found.stdout.split()]

    def window_title(self, window):
        return self._x(["xdotool", "getwindowname", str(window)]).stdout.strip()

    def window_is_visible(self, window):
        info = self._x(["xwininfo", "-id", str(window)], check=False)
        return info.returncode == 0 and "Map State: IsViewable" in info.stdout

    def press(self, window, *keys):
        """Gives the window the keyboard focus and types the keys, as a user would."""
        self._x(["xdotool", "windowfocus", "--sync", str(window)])
        for key in keys:
            self._x(["xdotool", "key", "--clearmodifiers", key])

    def screenshot(self, path, window="root"):
        """A picture of the whole screen, or of one window."""
        path = Path(path)
        path.parent.mkdir(parents=True, exist_ok=True)
        self._x(["import", "-window", str(window), str(path)])
        return path

    def copy_output_to(self, directory):
        """Keeps the session's own logs and records beside a failed test's artifacts."""
        directory = Path(directory)
        for source in (self.output, self.records):
            if source.is_dir():
                shutil.copytree(source, directory / source.name, dirs_exist_ok=True)
