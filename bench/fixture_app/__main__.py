"""The benchmark's served application, installed as a bundle's `app` package.

Lumivane (or the reference relay) runs it as `python3 -m app --no-browser`; the benchmark
runs it directly for the start-up figure. What it does comes from the JSON file named by
LUMIVANE_BENCH_CONFIG, read at start (the launcher passes its environment on):

  mode   "serve"   listen at once and answer; stop on SIGINT or SIGTERM
         "ready"   wait `delay` seconds, then listen and answer
         "flood"   listen and answer; on SIGUSR1 write `bytes` bytes to standard output as
                   fast as it can
         "quit"    listen and answer; SIGINT ends the process at once (default action)
         "growth"  listen and answer; SIGUSR1 makes it exit with status 1
         "reuse"   a server the launcher finds already answering: listen and record the
                   arrival of every request

Every step is appended to the JSON-lines file named by LUMIVANE_BENCH_RECORD as
{"event", "pid", "time", ...}, with time.time(): "started", "ready" (the first moment an
answer is possible: the socket listens), "request" (a GET arrived), "answered" (its reply
was sent), "flood-start" and "flood-done". It writes nothing else to its output.
"""

import json
import os
import signal
import socketserver
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, HTTPServer

with open(os.environ["LUMIVANE_BENCH_CONFIG"], encoding="utf-8") as _stream:
    CONFIG = json.load(_stream)
RECORD = os.environ["LUMIVANE_BENCH_RECORD"]
_record_lock = threading.Lock()


def record(event, when=None, **details):
    line = json.dumps({"event": event, "pid": os.getpid(),
                       "time": time.time() if when is None else when, **details})
    with _record_lock, open(RECORD, "a", encoding="utf-8") as stream:
        stream.write(line + "\n")


class Server(socketserver.ThreadingMixIn, HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def server_bind(self):
        # HTTPServer looks up the host's name here, which can stall without a resolver.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]


class Handler(BaseHTTPRequestHandler):
    def do_GET(self):
        arrived = time.time()
        body = b"<!doctype html><title>bench fixture</title>"
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
        self.wfile.flush()
        answered = time.time()
        record("request", when=arrived, path=self.path)
        record("answered", when=answered, path=self.path)

    def log_message(self, format, *args):
        pass  # the log must hold the flood and nothing else


def flood(total):
    """Writes `total` bytes of 64-byte lines to standard output in 1 MiB writes."""
    line = b"flood " + b"." * 57 + b"\n"
    chunk = line * (1024 * 1024 // len(line)) + b"." * (1024 * 1024 % len(line))
    start_cpu = os.times()
    record("flood-start", cpu=start_cpu.user + start_cpu.system)
    left = total
    view = memoryview(chunk)
    while left > 0:
        piece = view[:min(left, len(chunk))]
        while piece:
            wrote = os.write(1, piece)
            piece = piece[wrote:]
            left -= wrote
    done_cpu = os.times()
    record("flood-done", bytes=total, cpu=done_cpu.user + done_cpu.system)


def main():
    mode = CONFIG["mode"]
    stop = threading.Event()
    flood_asked = threading.Event()

    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    if mode == "quit":
        signal.signal(signal.SIGINT, signal.SIG_DFL)
    else:
        signal.signal(signal.SIGINT, lambda *_: stop.set())
    if mode == "flood":
        signal.signal(signal.SIGUSR1, lambda *_: flood_asked.set())
    elif mode == "growth":
        signal.signal(signal.SIGUSR1, lambda *_: os._exit(1))
    record("started", mode=mode, ppid=os.getppid())

    if mode == "ready" and stop.wait(CONFIG["delay"]):
        return 0

    server = Server(("127.0.0.1", 8000), Handler)  # binds and listens
    record("ready")
    threading.Thread(target=server.serve_forever, daemon=True).start()

    while not stop.is_set():
        if mode == "flood":
            if flood_asked.wait(0.5):
                flood_asked.clear()
                flood(CONFIG["bytes"])
        else:
            # A signal handler runs between two waits; a bounded wait lets it in.
            stop.wait(3600)
    return 0


if __name__ == "__main__":
    sys.exit(main())
