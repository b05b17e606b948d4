"""A served application that behaves as a test tells it, installed as the bundle's `app`.

The launcher runs it as `python3 -m app --no-browser` in the bundle's lumivane/ directory,
where behaviour.json beside it says what to do (every key is optional):

  record_dir     where events.jsonl and view.json go (required)
  exit_at_start  exit at once with this status, before listening
  answer_after   seconds to wait before listening
  listen         false: never listen, only keep running
  statuses       statuses for successive GETs of /login; the last one repeats (default 200);
                 "silent" takes the request and never answers it
  exit_after     seconds after listening, then exit with exit_status (default 1)
  ignore         signal names ("SIGINT", "SIGTERM") that are recorded but do not stop it
  grandchild     true: start a worker process that stays in this process group
  output_bytes   write this many bytes to standard output and as many to standard error
  stamp_lines    write this many lines "fixture stamp <pid> <n>" to standard output at start
  flood_seconds  after listening, write log lines to standard error as fast as it can, one
                 write each, for this many seconds (or until flood_max_bytes), then go on
  handoff        the text of data/launch.json, written before listening; null writes none
                 (default: a sign-in URL on localhost:8000)
  record_view    true: write argv, cwd, environment and open descriptors to view.json

Every step is appended to events.jsonl as {"event", "pid", "time", ...}. Unless told
otherwise it stops on SIGINT or SIGTERM and exits 0.
"""

import os

# The descriptors the launcher left open, looked at before this program opens any itself.
# Listing /proc/self/fd opens one more for the listing; it is closed again by the time
# fstat looks, so only the inherited ones remain.
def _open_descriptors():
    listed = [int(name) for name in os.listdir("/proc/self/fd")]
    still_open = []
    for fd in listed:
        try:
            os.fstat(fd)
        except OSError:
            continue
        still_open.append(fd)
    return sorted(still_open)


INHERITED_FDS = _open_descriptors()

import signal  # noqa: E402

# The interpreter installs its own SIGINT handler only where SIGINT came in at its default;
# looked at before this program installs its handlers.
INHERITED_SIGINT = signal.getsignal(signal.SIGINT)

import json  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import threading  # noqa: E402
import time  # noqa: E402
import socketserver  # noqa: E402
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer  # noqa: E402

with open("behaviour.json", encoding="utf-8") as _stream:
    BEHAVIOUR = json.load(_stream)
RECORD_DIR = BEHAVIOUR["record_dir"]
EVENTS = os.path.join(RECORD_DIR, "events.jsonl")
DEFAULT_HANDOFF = json.dumps({"url": "http://localhost:8000/login?token=fixture-token"})

_events_lock = threading.Lock()


def record(event, **details):
    line = json.dumps({"event": event, "pid": os.getpid(), "time": time.time(), **details})
    with _events_lock, open(EVENTS, "a", encoding="utf-8") as stream:
        stream.write(line + "\n")


def record_view():
    with open("/proc/self/cmdline", "rb") as stream:
        argv = [part.decode() for part in stream.read().rstrip(b"\0").split(b"\0")]
    # Standard output and standard error share one open file when writing to one moves
    # the other's position too.
    os.write(1, b"fixture: checking the output descriptors\n")
    positions = {}
    for fd in (1, 2):
        with open(f"/proc/self/fdinfo/{fd}", encoding="ascii") as stream:
            fields = dict(line.split(":", 1) for line in stream.read().splitlines() if ":" in line)
        positions[fd] = int(fields["pos"].strip())
    with open("/proc/self/status", encoding="ascii") as stream:
        status = dict(line.split(":\t", 1) for line in stream.read().splitlines() if ":\t" in line)
    view = {
        "sigint": ("default" if INHERITED_SIGINT is signal.default_int_handler
                   else str(INHERITED_SIGINT)),
        "sigblk": status["SigBlk"].strip(),
        "argv": argv,
        "cwd": os.getcwd(),
        "environ": dict(os.environ),
        "fds": INHERITED_FDS,
        "fd_targets": {str(fd): os.readlink(f"/proc/self/fd/{fd}") for fd in (0, 1, 2)},
        "output_positions": positions,
        "pgid": os.getpgid(0),
        "pid": os.getpid(),
    }
    with open(os.path.join(RECORD_DIR, "view.json"), "w", encoding="utf-8") as stream:
        json.dump(view, stream)


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def server_bind(self):
        # HTTPServer.server_bind looks up the host's name, which can stall without a
        # resolver; the name is not needed.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]


class Handler(BaseHTTPRequestHandler):
    statuses = list(BEHAVIOUR.get("statuses", [200]))
    lock = threading.Lock()
    stopping = threading.Event()

    def do_GET(self):
        path = self.path.partition("?")[0]
        if path == "/login":
            with self.lock:
                status = self.statuses.pop(0) if len(self.statuses) > 1 else self.statuses[0]
        else:
            status = 200
        record("request", path=self.path, status=status)
        if status == "silent":
            # Takes the connection and never answers.
            self.stopping.wait()
            return
        body = b"<!doctype html><title>Lumivane fixture</title>"
        self.send_response(status)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, format, *args):
        sys.stderr.write("fixture: " + (format % args) + "\n")


def write_output(count):
    """Writes about `count` bytes to each of standard output and standard error: numbered
    lines of 64 bytes, the two streams interleaved in blocks."""
    lines = count // 64
    for first in range(0, lines, 512):
        for fd, name in ((1, "out"), (2, "err")):
            block = "".join(f"fixture {name} {n:010d} ".ljust(63, ".") + "\n"
                            for n in range(first, min(first + 512, lines)))
            os.write(fd, block.encode())
    os.write(2, b"fixture output done\n")
    record("output", lines=lines)


def write_stamps(count):
    """Lines that name this process, so that a test can find every one of them in the log."""
    pid = os.getpid()
    for n in range(count):
        os.write(1, f"fixture stamp {pid} {n}\n".encode())


def flood(seconds, max_bytes):
    """Writes log lines as a busy server does (one write each) for `seconds`; returns how
    many bytes and lines it wrote."""
    written = 0
    lines = 0
    deadline = time.monotonic() + seconds
    while written < max_bytes:
        # The clock is read once per 1024 lines; the writes themselves set the pace.
        for _ in range(1024):
            line = f"fixture flood {lines:012d} GET /api/status HTTP/1.1 200 -\n".encode()
            written += os.write(2, line)
            lines += 1
        if time.monotonic() >= deadline:
            break
    return written, lines


def start_grandchild():
    worker = subprocess.Popen(
        [sys.executable, "-c", "import time\nwhile True: time.sleep(1)"],
        stdin=subprocess.DEVNULL,
    )
    record("grandchild", child=worker.pid)
    return worker


def main():
    stop = threading.Event()
    ignored = set(BEHAVIOUR.get("ignore", []))

    def on_signal(signum, _frame):
        name = signal.Signals(signum).name
        record("signal", name=name)
        if name not in ignored:
            stop.set()

    signal.signal(signal.SIGINT, on_signal)
    signal.signal(signal.SIGTERM, on_signal)
    record("started", argv=sys.argv, pgid=os.getpgid(0), ppid=os.getppid())

    if BEHAVIOUR.get("record_view"):
        record_view()
    if "exit_at_start" in BEHAVIOUR:
        sys.stderr.write("fixture: failing at start as asked\n")
        record("exit", status=BEHAVIOUR["exit_at_start"])
        return BEHAVIOUR["exit_at_start"]
    if BEHAVIOUR.get("stamp_lines"):
        write_stamps(BEHAVIOUR["stamp_lines"])
    if BEHAVIOUR.get("grandchild"):
        start_grandchild()
    if BEHAVIOUR.get("output_bytes"):
        write_output(BEHAVIOUR["output_bytes"])

    if stop.wait(BEHAVIOUR.get("answer_after", 0)):
        record("exit", status=0)
        return 0

    handoff = BEHAVIOUR.get("handoff", DEFAULT_HANDOFF)
    if handoff is not None:
        path = os.path.join(os.environ["XDG_DATA_HOME"], "Lumivane", "data", "launch.json")
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="utf-8") as stream:
            stream.write(handoff)

    if BEHAVIOUR.get("listen", True):
        server = Server(("127.0.0.1", 8000), Handler)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        record("listening")

    if BEHAVIOUR.get("flood_seconds"):
        record("flood-start")
        written, lines = flood(BEHAVIOUR["flood_seconds"],
                               BEHAVIOUR.get("flood_max_bytes", 4 << 30))
        record("flood-end", bytes=written, lines=lines)

    if "exit_after" in BEHAVIOUR and not stop.wait(BEHAVIOUR["exit_after"]):
        status = BEHAVIOUR.get("exit_status", 1)
        record("exit", status=status)
        return status

    stop.wait()
    record("exit", status=0)
    return 0


if __name__ == "__main__":
    sys.exit(main())
