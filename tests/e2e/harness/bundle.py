"""A bundle of the launcher's own for one test, made from the built one.

    bin/lumivane                 a copy of the built program (it finds its resources from
                                 its own location)
    share/lumivane/python        the built interpreter environment, or none, or a recorder
    share/lumivane/lumivane      the stand-in served application, or a fixture as `app`
    share/lumivane/models        an empty directory
    share/lumivane/MenuIcon.png  the built icon
"""

import json
import os
import shutil
from pathlib import Path

from .desktop import SYSTEM_PYTHON

APPS_DIR = Path(__file__).resolve().parent.parent / "apps"

# Stands in for the bundled interpreter: runs the real one with the same arguments and
# records how it ended. Termination signals reach the real interpreter directly (the
# launcher signals the whole process group), so this one only waits for it.
STATUS_RECORDER = """#!{python}
import json, signal, subprocess, sys
for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
    signal.signal(number, lambda *_: None)
child = subprocess.Popen([{interpreter!r}] + sys.argv[1:])
status = child.wait()
with open({record!r}, "a") as stream:
    stream.write(json.dumps({{"pid": child.pid, "returncode": status}}) + "\\n")
sys.exit(status if status >= 0 else 128 - status)
"""


class Bundle:
    def __init__(self, root):
        self.root = Path(root)
        self.executable = self.root / "bin" / "lumivane"
        self.resources = self.root / "share" / "lumivane"
        self.interpreter = self.resources / "python" / "bin" / "python3"
        self.app_dir = self.resources / "lumivane"
        self.models = self.resources / "models"
        self.exit_record = None


def make_bundle(root, built_executable, built_resources, app="stand-in", behaviour=None,
                interpreter="bundled", record_dir=None):
    """Lays out a bundle under `root`.

    app: "stand-in" copies the built served application; "fixture" installs
    apps/fixture_app.py as `app` with `behaviour` (a dict) as its behaviour.json.
    interpreter: "bundled" links the built environment, "missing" leaves python/ out,
    "status-recorder" puts the recorder above in its place (its record: exit-status-*.jsonl
    in `record_dir`).
    """
    bundle = Bundle(root)
    built_resources = Path(built_resources)
    bundle.executable.parent.mkdir(parents=True)
    shutil.copy2(built_executable, bundle.executable)
    bundle.resources.mkdir(parents=True)
    shutil.copy2(built_resources / "MenuIcon.png", bundle.resources / "MenuIcon.png")
    bundle.models.mkdir()

    built_python = built_resources / "python"
    if interpreter == "bundled":
        os.symlink(built_python, bundle.resources / "python")
    elif interpreter == "status-recorder":
        bundle.interpreter.parent.mkdir(parents=True)
        bundle.exit_record = Path(record_dir) / f"exit-status-{bundle.root.name}.jsonl"
        bundle.interpreter.write_text(STATUS_RECORDER.format(
            python=SYSTEM_PYTHON, interpreter=str(built_python / "bin" / "python3"),
            record=str(bundle.exit_record)))
        bundle.interpreter.chmod(0o755)
    elif interpreter != "missing":
        raise ValueError(f"unknown interpreter {interpreter!r}")

    if app == "stand-in":
        shutil.copytree(built_resources / "lumivane", bundle.app_dir,
                        ignore=shutil.ignore_patterns("__pycache__", "*.pyc"))
    elif app == "fixture":
        bundle.app_dir.mkdir()
        shutil.copy2(APPS_DIR / "fixture_app.py", bundle.app_dir / "app.py")
        settings = {"record_dir": str(record_dir), **(behaviour or {})}
        (bundle.app_dir / "behaviour.json").write_text(json.dumps(settings))
    else:
        raise ValueError(f"unknown app {app!r}")
    return bundle


def exit_statuses(bundle):
    """What the status recorder saw, one entry per ended interpreter."""
    try:
        lines = bundle.exit_record.read_text().splitlines()
    except FileNotFoundError:
        return []
    return [json.loads(line) for line in lines if line]
