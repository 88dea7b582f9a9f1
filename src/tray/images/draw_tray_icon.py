#!/usr/bin/env python3
"""Draws the Orvo tray icon (64x64 RGBA PNG) without any imaging library.

A rounded teal tile, a white ring and an amber reading pulse inside it. Every
pixel is sampled 8x8 times so the edges stay smooth at tray sizes. Run once and
commit the result:  python3 draw_tray_icon.py tray_icon2.png
"""
import math
import struct
import sys
import zlib

SIZE = 64
SAMPLES = 8

TOP = (20, 150, 140)
BOTTOM = (8, 78, 92)
BORDER = (4, 52, 62)
RING = (255, 255, 255)
PULSE = (255, 190, 40)

PULSE_POINTS = [(14.5, 33.0), (23.0, 33.0), (27.0, 22.5), (32.5, 43.5), (36.5, 27.5), (40.0, 33.0), (49.5, 33.0)]


def in_rounded_square(x, y, lo, hi, radius):
    cx = min(max(x, lo + radius), hi - radius)
    cy = min(max(y, lo + radius), hi - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius and lo <= x <= hi and lo <= y <= hi


def segment_distance(x, y, a, b):
    ax, ay = a
    bx, by = b
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(x - (ax + t * dx), y - (ay + t * dy))


def sample(x, y):
    """Colour (r, g, b) and alpha (0 or 1) of one sub-pixel sample."""
    if not in_rounded_square(x, y, 1.0, 63.0, 13.0):
        return (0, 0, 0), 0.0
    if not in_rounded_square(x, y, 2.5, 61.5, 11.5):
        return BORDER, 1.0
    r = math.hypot(x - 32.0, y - 32.0)
    if 16.0 <= r <= 22.5:
        return RING, 1.0
    if r < 16.0:
        if min(segment_distance(x, y, a, b) for a, b in zip(PULSE_POINTS, PULSE_POINTS[1:])) <= 1.9:
            return PULSE, 1.0
    t = (y - 2.5) / 59.0
    return tuple(round(TOP[i] + (BOTTOM[i] - TOP[i]) * t) for i in range(3)), 1.0


def render():
    rows = []
    step = 1.0 / SAMPLES
    for py in range(SIZE):
        row = bytearray([0])  # PNG filter type: none
        for px in range(SIZE):
            acc = [0.0, 0.0, 0.0]
            alpha = 0.0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    colour, a = sample(px + (sx + 0.5) * step, py + (sy + 0.5) * step)
                    alpha += a
                    for i in range(3):
                        acc[i] += colour[i] * a
            n = SAMPLES * SAMPLES
            if alpha > 0:
                row += bytes(round(acc[i] / alpha) for i in range(3))
            else:
                row += bytes(3)
            row.append(round(255 * alpha / n))
        rows.append(bytes(row))
    return b"".join(rows)


def png(raw):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


if __name__ == "__main__":
    with open(sys.argv[1] if len(sys.argv) > 1 else "tray_icon2.png", "wb") as out:
        out.write(png(render()))
