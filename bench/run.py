"""Runs the benchmark: six figures of what Lumivane costs while it waits and how soon it
reacts, each measured side by side with a baseline in the same session.

    /usr/bin/python3 bench/run.py --build BUILD_DIR [--out FILE] [--budget SECONDS]

BUILD_DIR holds the built bundle (bundle/bin/lumivane) and the benchmark's own programs
(bench-tools/baseline_tray, bench-tools/relay); scripts/bench builds both. Each figure runs in
a process of its own inside a private network namespace (port 8000 and the X server's and
bus's abstract sockets are its own) with a desktop session of its own. Whatever a figure
started is found by its marker and ended when the figure is over. The table goes to
standard output and, with the notes, to FILE (bench/results.md by default).
"""

import argparse
import datetime
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import traceback
import uuid
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH_DIR))

from benchlib.figures import FIGURES  # noqa: E402
from benchlib.session import Session, processes  # noqa: E402

SYSTEM_PYTHON = "/usr/bin/python3"
# The most each figure may take; the growth figure gets what is left of the budget.
FIGURE_LIMITS = {"idle": 120, "flood": 240, "startup": 150, "quit": 150, "readiness": 300}
ORDER = ["idle", "flood", "startup", "quit", "readiness", "growth"]
COLUMNS = ("figure", "lumivane", "baseline", "ratio", "goal", "met")
HEADINGS = ("Figure", "Lumivane", "Baseline", "Ratio", "Goal", "Met?")


def run_figure(arguments):
    """Inside the namespace: one session, one figure, its rows as JSON."""
    session = Session(arguments.root, arguments.marker, arguments.build)
    result = {"rows": [], "notes": []}
    try:
        session.start()
        rows, notes = FIGURES[arguments.figure](session, arguments.budget)
        result = {"rows": rows, "notes": notes}
    except Exception as error:  # the figure failed: say so in the table
        traceback.print_exc()
        result["error"] = f"{type(error).__name__}: {error}"
    finally:
        session.stop()
    Path(arguments.result).write_text(json.dumps(result))
    return 0


def sweep(marker):
    """Ends, by pid, whatever still carries a figure's marker; returns what it found."""
    left = processes.marked(marker)
    for pid in left:
        processes.kill(pid)
    return left


def run_all(arguments):
    began = time.monotonic()
    deadline = began + arguments.budget
    build = Path(arguments.build).resolve()
    for needed in (build / "bundle" / "bin" / "lumivane", build / "bench-tools" / "baseline_tray",
                   build / "bench-tools" / "relay"):
        if not needed.exists():
            sys.exit(f"bench: {needed} is missing; build with scripts/bench")

    rows, notes = [], []
    for name in ORDER:
        remaining = deadline - time.monotonic()
        limit = min(FIGURE_LIMITS.get(name, remaining), remaining)
        if limit < 20:
            rows.append({"figure": name, "lumivane": "not run: the time budget was used up",
                         "baseline": "", "ratio": "", "goal": "", "met": "**no**"})
            continue
        marker = uuid.uuid4().hex
        root = Path(tempfile.mkdtemp(prefix=f"lumivane-bench-{name}-"))
        result_file = root / "result.json"
        command = ["unshare", "--net", "--", "sh", "-c", 'ip link set lo up && exec "$@"', "sh",
                   SYSTEM_PYTHON, "-B", str(Path(__file__).resolve()), "--figure", name,
                   "--build", str(build), "--root", str(root / "run"), "--marker", marker,
                   "--result", str(result_file), "--budget", str(int(limit - 10))]
        sys.stderr.write(f"bench: {name} (up to {limit:.0f} s)\n")
        figure_began = time.monotonic()
        log = open(root / "figure.log", "wb")
        child = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT)
        log.close()
        try:
            child.wait(timeout=limit)
        except subprocess.TimeoutExpired:
            child.kill()
            child.wait()
        except BaseException:  # interrupted: leave nothing behind
            child.kill()
            child.wait()
            sweep(marker)
            shutil.rmtree(root, ignore_errors=True)
            raise
        leftovers = sweep(marker)
        took = time.monotonic() - figure_began
        try:
            result = json.loads(result_file.read_text())
        except (FileNotFoundError, json.JSONDecodeError):
            result = {"rows": [], "notes": [], "error": f"no result within {limit:.0f} s"}
        if result.get("error"):
            tail = (root / "figure.log").read_text(errors="replace").splitlines()[-15:]
            sys.stderr.write(f"bench: {name} failed: {result['error']}\n" + "\n".join(tail) + "\n")
            rows.append({"figure": name, "lumivane": f"failed: {result['error']}",
                         "baseline": "", "ratio": "", "goal": "", "met": "**no**"})
        rows.extend(result["rows"])
        notes.extend(result["notes"])
        if leftovers:
            notes.append(f"{name}: {len(leftovers)} process(es) outlived the figure and were "
                         "killed: " + "; ".join(leftovers.values()))
        sys.stderr.write(f"bench: {name} took {took:.0f} s\n")
        shutil.rmtree(root, ignore_errors=True)

    table = format_table(rows)
    print(table)
    out = Path(arguments.out)
    out.parent.mkdir(parents=True, exist_ok=True)
    stamp = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    load = os.getloadavg()
    text = [f"# Lumivane benchmark, {stamp}", "",
            f"Load average at the end: {load[0]:.2f} {load[1]:.2f} {load[2]:.2f} on "
            f"{os.cpu_count()} CPUs; the whole run took {time.monotonic() - began:.0f} s.", "",
            table, "", "## How each figure was measured", ""]
    text += [f"- {note}" for note in notes]
    out.write_text("\n".join(text) + "\n")
    print(f"\nwritten to {out}")
    return 0


def format_table(rows):
    lines = ["| " + " | ".join(HEADINGS) + " |", "|" + "---|" * len(HEADINGS)]
    for entry in rows:
        cells = [str(entry.get(column, "")).replace("|", "\\|") for column in COLUMNS]
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--out", default=str(BENCH_DIR / "results.md"))
    parser.add_argument("--budget", type=float, default=540)
    parser.add_argument("--figure", choices=sorted(FIGURES))
    parser.add_argument("--only", action="append", choices=sorted(FIGURES),
                        help="run only these figures (for trying one out)")
    parser.add_argument("--root")
    parser.add_argument("--marker")
    parser.add_argument("--result")
    arguments = parser.parse_args()
    if arguments.figure:
        return run_figure(arguments)
    if arguments.only:
        ORDER[:] = [name for name in ORDER if name in arguments.only]
    return run_all(arguments)


if __name__ == "__main__":
    sys.exit(main())
