"""The assembled bundle resources: layout, contents, and the app run from them.

Checks the directory named by LUMIVANE_BUNDLE_RESOURCES (ctest sets it to the
build tree's share/lumivane).
"""

import os
import re
import signal
import subprocess
import tempfile
import unittest
from pathlib import Path

from standin import SERVED_DIR, StandInTestCase
from test_bundle_icon import SIZES, draw

RESOURCES = os.environ.get("LUMIVANE_BUNDLE_RESOURCES")


def relative_files(root: Path) -> set[str]:
    return {str(p.relative_to(root)) for p in root.rglob("*") if p.is_file()}


@unittest.skipUnless(RESOURCES, "LUMIVANE_BUNDLE_RESOURCES names no bundle to check")
class BundleLayoutTest(StandInTestCase):
    def setUp(self):
        super().setUp()
        self.resources = Path(RESOURCES)
        self.python = self.resources / "python" / "bin" / "python3"

    def test_interpreter_is_a_virtual_environment_of_the_system_python(self):
        result = subprocess.run(
            [str(self.python), "-c", "import sys; print(sys.prefix); print(sys.base_prefix)"],
            capture_output=True, text=True, check=True, env={"PATH": "/usr/bin:/bin"},
        )
        prefix, base_prefix = result.stdout.split()
        self.assertEqual(Path(prefix), self.resources / "python")
        self.assertNotEqual(prefix, base_prefix)
        self.assertTrue((self.resources / "python" / "pyvenv.cfg").is_file())

    def test_served_application_is_an_exact_copy_without_caches(self):
        source = SERVED_DIR / "app"
        copy = self.resources / "lumivane" / "app"
        source_files = {f for f in relative_files(source) if "__pycache__" not in f}
        self.assertEqual(relative_files(copy), source_files)
        for name in source_files:
            with self.subTest(file=name):
                self.assertEqual((copy / name).read_bytes(), (source / name).read_bytes())

    def test_models_directory_holds_only_its_readme(self):
        models = self.resources / "models"
        self.assertEqual(relative_files(models), {"README.txt"})
        self.assertIn("models", (models / "README.txt").read_text())

    def test_menu_icons_match_the_generator(self):
        with tempfile.TemporaryDirectory() as fresh:
            draw(Path(fresh))
            for name in SIZES:
                with self.subTest(name=name):
                    self.assertEqual(
                        (self.resources / name).read_bytes(), (Path(fresh) / name).read_bytes()
                    )

    def test_bundled_interpreter_serves_every_page(self):
        models = str(self.resources / "models")
        server = self.start_and_wait(
            python=str(self.python),
            cwd=self.resources / "lumivane",
            env={"LUMIVANE_MODELS": models, "LUMIVANE_LAUNCHER": "1"},
        )
        self.assertEqual(server.get("/login").status, 200)
        self.assertIn("uriparser", server.get("/licenses").body)
        cookie = {"Cookie": server.session_cookie()}
        main = server.get("/", cookie)
        self.assertEqual(main.status, 200)
        self.assertIn(models, main.body)
        self.assertRegex(server.get("/?pair=1", cookie).body, re.compile(r'id="pairing-code">\d{6}<'))
        self.assertEqual(server.stop(signal.SIGINT), 0)
        self.assertFalse(server.handoff_path.exists())


if __name__ == "__main__":
    unittest.main()
