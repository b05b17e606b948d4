"""A minimal PNG reader for the icon tests: 8-bit RGBA, non-interlaced, any filter."""

import struct
import zlib


class PngError(Exception):
    pass


def chunks(data: bytes) -> list[tuple[bytes, bytes]]:
    if not data.startswith(b"\x89PNG\r\n\x1a\n"):
        raise PngError("not a PNG signature")
    found = []
    offset = 8
    while offset < len(data):
        (length,) = struct.unpack(">I", data[offset : offset + 4])
        kind = data[offset + 4 : offset + 8]
        payload = data[offset + 8 : offset + 8 + length]
        (crc,) = struct.unpack(">I", data[offset + 8 + length : offset + 12 + length])
        if zlib.crc32(kind + payload) & 0xFFFFFFFF != crc:
            raise PngError(f"bad CRC in {kind!r}")
        found.append((kind, payload))
        offset += 12 + length
    return found


def _paeth(a: int, b: int, c: int) -> int:
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def rgba_rows(data: bytes) -> tuple[int, int, list[list[tuple[int, int, int, int]]]]:
    """(width, height, rows of RGBA pixels)."""
    parts = chunks(data)
    kind, header = parts[0]
    if kind != b"IHDR":
        raise PngError("IHDR is not first")
    width, height, depth, colour, compression, filtering, interlace = struct.unpack(">IIBBBBB", header)
    if (depth, colour, compression, filtering, interlace) != (8, 6, 0, 0, 0):
        raise PngError("only 8-bit non-interlaced RGBA is read here")
    raw = zlib.decompress(b"".join(p for k, p in parts if k == b"IDAT"))
    stride = width * 4
    if len(raw) != height * (stride + 1):
        raise PngError("image data has the wrong size")
    previous = bytearray(stride)
    rows = []
    for y in range(height):
        line = raw[y * (stride + 1) : (y + 1) * (stride + 1)]
        kind, current = line[0], bytearray(line[1:])
        for i in range(stride):
            left = current[i - 4] if i >= 4 else 0
            up = previous[i]
            up_left = previous[i - 4] if i >= 4 else 0
            if kind == 1:
                current[i] = (current[i] + left) & 0xFF
            elif kind == 2:
                current[i] = (current[i] + up) & 0xFF
            elif kind == 3:
                current[i] = (current[i] + (left + up) // 2) & 0xFF
            elif kind == 4:
                current[i] = (current[i] + _paeth(left, up, up_left)) & 0xFF
            elif kind != 0:
                raise PngError(f"unknown filter {kind}")
        rows.append([tuple(current[x * 4 : x * 4 + 4]) for x in range(width)])
        previous = current
    return width, height, rows
