#!/usr/bin/env python3
"""Draws the module's two icons (the "[Add New Entry]" folder with a plus, the "[Settings]" gear) and writes
them as .ico files with 16, 32 and 48 pixel images, 32-bit with alpha. Standard library only.

usage: draw_icons.py [OUTPUT_FOLDER]   (default: the folder of this script)
"""
import math
import os
import struct
import sys

SIZES = (16, 32, 48)
SUPERSAMPLE = 4  # samples per pixel edge; enough for smooth edges at 16 pixels


def rounded_rect(x0, y0, x1, y1, r):
    def inside(x, y):
        if not (x0 <= x <= x1 and y0 <= y <= y1):
            return False
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    return inside


def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def gear(cx, cy, inner, outer, hole, teeth):
    def inside(x, y):
        dx, dy = x - cx, y - cy
        d = math.hypot(dx, dy)
        if d < hole or d > outer:
            return False
        if d <= inner:
            return True
        # a tooth where the angle falls in the first 45% of its sector, centred on the sector
        sector = 2 * math.pi / teeth
        a = (math.atan2(dy, dx) + sector * 0.225) % sector
        return a < sector * 0.45
    return inside


def hexcolor(text, alpha=255):
    return (int(text[0:2], 16), int(text[2:4], 16), int(text[4:6], 16), alpha)


# Shapes in unit coordinates (0..1, y down), painted in order; the last one covering a sample wins.
ADD_ENTRY = [
    (rounded_rect(0.04, 0.14, 0.46, 0.36, 0.05), hexcolor("C98A12")),   # folder tab
    (rounded_rect(0.04, 0.22, 0.96, 0.86, 0.06), hexcolor("C98A12")),   # folder back
    (rounded_rect(0.04, 0.32, 0.96, 0.86, 0.06), hexcolor("F2B33D")),   # folder front
    (circle(0.70, 0.70, 0.29), hexcolor("FFFFFF")),                      # badge rim
    (circle(0.70, 0.70, 0.245), hexcolor("228B3B")),                     # badge
    (rounded_rect(0.575, 0.655, 0.825, 0.745, 0.02), hexcolor("FFFFFF")),  # plus, across
    (rounded_rect(0.655, 0.575, 0.745, 0.825, 0.02), hexcolor("FFFFFF")),  # plus, down
]

SETTINGS = [
    (gear(0.5, 0.5, 0.33, 0.47, 0.0, 8), hexcolor("46596E")),           # gear body and teeth
    (circle(0.5, 0.5, 0.22), hexcolor("8FA3B8")),                        # lighter hub
    (circle(0.5, 0.5, 0.12), (0, 0, 0, 0)),                              # axle hole (transparent)
]


def render(shapes, size):
    """Returns rows of (r, g, b, a) tuples, top row first."""
    n = SUPERSAMPLE
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(n):
                for sx in range(n):
                    x = (px + (sx + 0.5) / n) / size
                    y = (py + (sy + 0.5) / n) / size
                    color = (0, 0, 0, 0)
                    for inside, c in shapes:
                        if inside(x, y):
                            color = c
                    a = color[3] / 255.0
                    acc[0] += color[0] * a
                    acc[1] += color[1] * a
                    acc[2] += color[2] * a
                    acc[3] += a
            count = n * n
            alpha = acc[3] / count
            if alpha <= 0:
                row.append((0, 0, 0, 0))
            else:  # un-premultiply: icons store straight alpha
                row.append(tuple(int(round(acc[i] / acc[3])) for i in range(3)) + (int(round(alpha * 255)),))
        rows.append(row)
    return rows


def dib_image(rows):
    """One icon image as a BITMAPINFOHEADER, bottom-up BGRA pixels and the 1-bit AND mask."""
    size = len(rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        line = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:  # transparent where the alpha is zero, for hosts that ignore alpha
                line[x // 8] |= 0x80 >> (x % 8)
        mask += line
    return header + pixels + bytes(mask)


def ico_bytes(shapes):
    images = [dib_image(render(shapes, s)) for s in SIZES]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for s, data in zip(SIZES, images):
        out += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(images)


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    for name, shapes in (("add_entry.ico", ADD_ENTRY), ("settings.ico", SETTINGS)):
        with open(os.path.join(folder, name), "wb") as f:
            f.write(ico_bytes(shapes))


if __name__ == "__main__":
    main()
