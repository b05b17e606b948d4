"""The benchmark's parts: what /proc says about a process, a private desktop session with
bundles of the launcher's own, and the figures measured in it.

The session and the /proc readers are the end-to-end tests' own (tests/e2e/harness)."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent.parent / "tests" / "e2e"))
