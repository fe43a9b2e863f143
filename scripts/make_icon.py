#!/usr/bin/env python3
"""Draws the program's icon and writes it as res/zelkor.ico.

    scripts/make_icon.py [OUTPUT]

One 32 x 32 image at 32 bits per pixel: a blue tile with a white globe and a
green tick (a nameserver that answered). The file holds a single image so
that the icon resource is exactly one BITMAPINFOHEADER, the 32-bit colour
rows and the 1-bit mask. Standard library only; the output is the same byte
for byte on every run.
"""

import math
import struct
import sys
from pathlib import Path

SIZE = 32
SUPERSAMPLE = 4  # 4 x 4 samples per pixel smooth the edges enough at 32 px
HEADER_SIZE = 40  # BITMAPINFOHEADER
XOR_SIZE = SIZE * SIZE * 4  # BGRA rows
MASK_ROW = ((SIZE + 31) // 32) * 4  # 1 bit per pixel, rows padded to 32 bits
MASK_SIZE = MASK_ROW * SIZE
IMAGE_SIZE = HEADER_SIZE + XOR_SIZE + MASK_SIZE  # 4,264 bytes

TILE_TOP = (0x2F, 0x7F, 0xD8)
TILE_BOTTOM = (0x15, 0x4A, 0x9A)
WHITE = (0xFF, 0xFF, 0xFF)
GREEN = (0x2E, 0xC2, 0x5A)
GREEN_EDGE = (0x0E, 0x6B, 0x2C)


def rounded_square(x, y, lo, hi, radius):
    """Signed distance to a square [lo, hi]^2 with rounded corners."""
    cx = min(max(x, lo + radius), hi - radius)
    cy = min(max(y, lo + radius), hi - radius)
    return math.hypot(x - cx, y - cy) - radius


def segment(x, y, ax, ay, bx, by):
    """Distance to the segment from (ax, ay) to (bx, by)."""
    dx, dy = bx - ax, by - ay
    t = ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)
    t = min(max(t, 0.0), 1.0)
    return math.hypot(x - ax - t * dx, y - ay - t * dy)


def sample(x, y):
    """Colour (r, g, b) and coverage of one sample point, or None."""
    tile = rounded_square(x, y, 1.0, 31.0, 6.0)
    if tile > 0:
        return None
    # Tick first: it lies over the globe.
    tick = min(segment(x, y, 17.0, 23.0, 21.0, 27.0),
               segment(x, y, 21.0, 27.0, 28.5, 16.5))
    if tick <= 3.6:
        if tick <= 1.7:
            return GREEN
        return GREEN_EDGE if tick <= 2.6 else WHITE
    # Globe: a ring, the equator, one meridian ellipse and the axis.
    gx, gy, r = 14.0, 14.0, 9.5
    d = math.hypot(x - gx, y - gy)
    line = 1.1
    on_globe = abs(d - r) <= line
    if d <= r:
        on_globe = on_globe or abs(y - gy) <= line * 0.8
        on_globe = on_globe or abs(x - gx) <= line * 0.8
        ex = (x - gx) / (r * 0.5)
        ey = (y - gy) / r
        on_globe = on_globe or abs(math.hypot(ex, ey) - 1.0) * r * 0.5 <= line * 0.8
    if on_globe:
        return WHITE
    t = (y - 1.0) / 30.0
    return tuple(round(a + (b - a) * t) for a, b in zip(TILE_TOP, TILE_BOTTOM))


def render():
    """Top-down rows of (b, g, r, a) pixels."""
    rows = []
    n = SUPERSAMPLE
    for py in range(SIZE):
        row = []
        for px in range(SIZE):
            acc = [0, 0, 0]
            hits = 0
            for sy in range(n):
                for sx in range(n):
                    c = sample(px + (sx + 0.5) / n, py + (sy + 0.5) / n)
                    if c is None:
                        continue
                    hits += 1
                    for i in range(3):
                        acc[i] += c[i]
            if hits == 0:
                row.append((0, 0, 0, 0))
                continue
            r, g, b = (round(v / hits) for v in acc)
            row.append((b, g, r, round(255 * hits / (n * n))))
        rows.append(row)
    return rows


def icon_bytes():
    rows = render()
    header = struct.pack("<IiiHHIIiiII", HEADER_SIZE, SIZE, 2 * SIZE, 1, 32, 0,
                         XOR_SIZE + MASK_SIZE, 0, 0, 0, 0)
    xor = bytearray()
    mask = bytearray()
    for row in reversed(rows):  # bitmaps are stored bottom-up
        bits = 0
        for px in row:
            xor += bytes(px)
            bits = (bits << 1) | (1 if px[3] == 0 else 0)
        bits <<= MASK_ROW * 8 - SIZE
        mask += bits.to_bytes(MASK_ROW, "big")
    image = header + bytes(xor) + bytes(mask)
    assert len(image) == IMAGE_SIZE
    # ICONDIR, then one ICONDIRENTRY pointing just behind itself.
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, IMAGE_SIZE,
                        6 + 16)
    return directory + entry + image


def main():
    root = Path(__file__).resolve().parent.parent
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else root / "res" / "zelkor.ico"
    out.write_bytes(icon_bytes())


if __name__ == "__main__":
    main()
