#!/usr/bin/env python3
"""Draws the assistant's toolbar images as 64x64 RGBA PNGs (standard library only).

    ToolbarItemIcon.png  the toolbar button: a "Q" ring in slate
    BadgeSignedIn.png    the same in blue with a green dot: someone is signed in

Run from anywhere; the PNGs are written next to the assistant's scripts.
"""
import math
import os
import struct
import zlib

SIZE = 64
SAMPLES = 4  # per axis, for smooth edges

SLATE = (60, 70, 90)
BLUE = (49, 87, 213)
GREEN = (46, 170, 90)
WHITE = (255, 255, 255)


def q_ring(x, y):
    """True inside the letter: a ring with a tail to the lower right."""
    cx, cy = 30.0, 30.0
    r = math.hypot(x - cx, y - cy)
    if 15.0 <= r <= 23.0:
        return True
    # The tail: a thick stroke from inside the ring towards the corner.
    tx, ty = x - 40.0, y - 40.0
    along = (tx + ty) / math.sqrt(2)
    across = abs(tx - ty) / math.sqrt(2)
    return -6.0 <= along <= 12.0 and across <= 4.0


def dot(x, y, cx=50.0, cy=14.0, radius=11.0):
    return math.hypot(x - cx, y - cy) <= radius


def render(shapes):
    """shapes: list of (inside(x, y), rgb), later shapes drawn over earlier ones."""
    rows = []
    for py in range(SIZE):
        row = bytearray([0])  # filter type: none
        for px in range(SIZE):
            red = green = blue = alpha = 0.0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    x = px + (sx + 0.5) / SAMPLES
                    y = py + (sy + 0.5) / SAMPLES
                    colour = None
                    for inside, rgb in shapes:
                        if inside(x, y):
                            colour = rgb
                    if colour:
                        red += colour[0]
                        green += colour[1]
                        blue += colour[2]
                        alpha += 1
            if alpha:
                row += bytes([round(red / alpha), round(green / alpha), round(blue / alpha),
                              round(255 * alpha / SAMPLES ** 2)])
            else:
                row += bytes(4)
        rows.append(bytes(row))
    return b"".join(rows)


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def png(pixels):
    header = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(pixels, 9)) + chunk(b"IEND", b""))


def main():
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir)
    images = {
        "ToolbarItemIcon.png": [(q_ring, SLATE)],
        "BadgeSignedIn.png": [(q_ring, BLUE), (lambda x, y: dot(x, y, radius=13.0), WHITE),
                              (dot, GREEN)],
    }
    for name, shapes in images.items():
        with open(os.path.join(out, name), "wb") as file:
            file.write(png(render(shapes)))


if __name__ == "__main__":
    main()
