#!/usr/bin/env python3
"""Draw Lumivane's menu icon: MenuIcon.png (18x18) and MenuIcon@2x.png (36x36).

A template icon: black on transparent, where only the alpha channel carries
the shape, so the desktop can tint it to match the panel. The shape is a ring
around a play triangle, drawn analytically and antialiased by supersampling.
The PNG holds no timestamp or other varying chunk, so every run writes the
same bytes. Standard library only.

Usage: make_icon.py OUTPUT_DIRECTORY
"""

import struct
import sys
import zlib
from pathlib import Path

SIZES = {"MenuIcon.png": 18, "MenuIcon@2x.png": 36}

# Samples per pixel along each axis; 8x8 gives 65 coverage levels.
_SUPERSAMPLING = 8

# The shape in a unit square, y pointing down.
_RING_CENTRE = (0.5, 0.5)
_RING_OUTER = 0.47
_RING_INNER = 0.36
_TRIANGLE = ((0.40, 0.29), (0.40, 0.71), (0.74, 0.50))


def _edge(a, b, x, y):
    return (b[0] - a[0]) * (y - a[1]) - (b[1] - a[1]) * (x - a[0])


def _inside(x: float, y: float) -> bool:
    dx, dy = x - _RING_CENTRE[0], y - _RING_CENTRE[1]
    distance_squared = dx * dx + dy * dy
    if _RING_INNER**2 <= distance_squared <= _RING_OUTER**2:
        return True
    a, b, c = _TRIANGLE
    sides = (_edge(a, b, x, y), _edge(b, c, x, y), _edge(c, a, x, y))
    return all(side >= 0 for side in sides) or all(side <= 0 for side in sides)


def alpha_mask(size: int) -> list[list[int]]:
    """Rows of alpha values 0-255 for a size x size icon."""
    n = _SUPERSAMPLING
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            covered = sum(
                _inside((px + (sx + 0.5) / n) / size, (py + (sy + 0.5) / n) / size)
                for sy in range(n)
                for sx in range(n)
            )
            row.append((covered * 255 + (n * n) // 2) // (n * n))
        rows.append(row)
    return rows


def _chunk(kind: bytes, payload: bytes) -> bytes:
    return (
        struct.pack(">I", len(payload))
        + kind
        + payload
        + struct.pack(">I", zlib.crc32(kind + payload) & 0xFFFFFFFF)
    )


def encode_png(mask: list[list[int]]) -> bytes:
    """An 8-bit RGBA PNG, black everywhere, with mask as its alpha channel."""
    height, width = len(mask), len(mask[0])
    raw = b"".join(b"\x00" + b"".join(bytes((0, 0, 0, a)) for a in row) for row in mask)
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (
        b"\x89PNG\r\n\x1a\n"
        + _chunk(b"IHDR", header)
        + _chunk(b"IDAT", zlib.compress(raw, 9))
        + _chunk(b"IEND", b"")
    )


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    directory = Path(argv[1])
    directory.mkdir(parents=True, exist_ok=True)
    for name, size in SIZES.items():
        (directory / name).write_bytes(encode_png(alpha_mask(size)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
