"""The menu icon generator: valid, reproducible, monochrome template PNGs."""

import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

import pngread

MAKE_ICON = Path(__file__).resolve().parents[2] / "bundle" / "make_icon.py"
SIZES = {"MenuIcon.png": 18, "MenuIcon@2x.png": 36}


def draw(directory: Path) -> None:
    subprocess.run([sys.executable, str(MAKE_ICON), str(directory)], check=True)


class MenuIconTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls._tmp = tempfile.TemporaryDirectory(prefix="lumivane-icon-")
        cls.first = Path(cls._tmp.name) / "first"
        cls.second = Path(cls._tmp.name) / "second"
        draw(cls.first)
        draw(cls.second)

    @classmethod
    def tearDownClass(cls):
        cls._tmp.cleanup()

    def test_every_run_writes_the_same_bytes(self):
        for name in SIZES:
            with self.subTest(name=name):
                self.assertEqual((self.first / name).read_bytes(), (self.second / name).read_bytes())

    def test_icons_are_black_shapes_on_transparent(self):
        for name, size in SIZES.items():
            with self.subTest(name=name):
                data = (self.first / name).read_bytes()
                kinds = [kind for kind, _ in pngread.chunks(data)]
                self.assertEqual(kinds[0], b"IHDR")
                self.assertEqual(kinds[-1], b"IEND")
                self.assertEqual(set(kinds), {b"IHDR", b"IDAT", b"IEND"}, "no time or text chunks")

                width, height, rows = pngread.rgba_rows(data)
                self.assertEqual((width, height), (size, size))
                pixels = [pixel for row in rows for pixel in row]
                self.assertEqual({pixel[:3] for pixel in pixels}, {(0, 0, 0)})
                alphas = [pixel[3] for pixel in pixels]
                self.assertIn(0, alphas)
                self.assertIn(255, alphas)
                for corner in (rows[0][0], rows[0][-1], rows[-1][0], rows[-1][-1]):
                    self.assertEqual(corner[3], 0, "corners lie outside the ring")
                # Ink on the ring's left edge and on the triangle, none between them.
                middle = rows[size // 2]
                self.assertGreater(middle[int(0.085 * size)][3], 200)
                self.assertGreater(middle[size // 2][3], 200)
                self.assertEqual(middle[size // 4][3], 0)

    def test_without_an_output_directory_it_explains_its_usage(self):
        result = subprocess.run([sys.executable, str(MAKE_ICON)], capture_output=True, text=True)
        self.assertEqual(result.returncode, 2)
        self.assertIn("Usage", result.stderr)


if __name__ == "__main__":
    unittest.main()
