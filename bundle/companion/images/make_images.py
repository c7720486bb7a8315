#!/usr/bin/env python3
"""Draws the companion's images: the mark, the done badge, the warning marks and the
enable-extension illustration, light and dark. Standard library only (zlib, struct).

Shapes are signed distance functions; each pixel gets the shape's coverage from the
distance at its centre (analytic anti-aliasing). Images are drawn at twice the size the
screen shows them, so they stay sharp on high-density displays.

    python3 make_images.py [output-folder]
"""

import math
import os
import struct
import sys
import zlib


def hex_color(value, alpha=1.0):
    return ((value >> 16 & 255) / 255.0, (value >> 8 & 255) / 255.0, (value & 255) / 255.0, alpha)


class Canvas:
    def __init__(self, width, height):
        self.width = width
        self.height = height
        # Premultiplied RGBA, row major.
        self.pixels = [[0.0, 0.0, 0.0, 0.0] for _ in range(width * height)]

    def fill(self, sdf, box, paint):
        """Composites `paint` (a colour, or a function of x, y giving one) over the area
        where sdf(x, y) < 0, with one pixel of anti-aliasing."""
        x0, y0, x1, y1 = box
        x0 = max(0, int(math.floor(x0)) - 1)
        y0 = max(0, int(math.floor(y0)) - 1)
        x1 = min(self.width, int(math.ceil(x1)) + 1)
        y1 = min(self.height, int(math.ceil(y1)) + 1)
        for y in range(y0, y1):
            cy = y + 0.5
            row = y * self.width
            for x in range(x0, x1):
                cx = x + 0.5
                coverage = 0.5 - sdf(cx, cy)
                if coverage <= 0.0:
                    continue
                if coverage > 1.0:
                    coverage = 1.0
                r, g, b, a = paint(cx, cy) if callable(paint) else paint
                a *= coverage
                pixel = self.pixels[row + x]
                keep = 1.0 - a
                pixel[0] = r * a + pixel[0] * keep
                pixel[1] = g * a + pixel[1] * keep
                pixel[2] = b * a + pixel[2] * keep
                pixel[3] = a + pixel[3] * keep

    def save(self, path):
        raw = bytearray()
        for y in range(self.height):
            raw.append(0)  # no filter
            for x in range(self.width):
                r, g, b, a = self.pixels[y * self.width + x]
                if a > 0:
                    r, g, b = r / a, g / a, b / a
                raw.extend(int(round(max(0.0, min(1.0, c)) * 255)) for c in (r, g, b, a))

        def chunk(kind, data):
            body = kind + data
            return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

        png = b"\x89PNG\r\n\x1a\n"
        png += chunk(b"IHDR", struct.pack(">IIBBBBB", self.width, self.height, 8, 6, 0, 0, 0))
        png += chunk(b"IDAT", zlib.compress(bytes(raw), 9))
        png += chunk(b"IEND", b"")
        with open(path, "wb") as out:
            out.write(png)


# Signed distance functions and their bounding boxes.

def circle(cx, cy, r):
    return (lambda x, y: math.hypot(x - cx, y - cy) - r), (cx - r, cy - r, cx + r, cy + r)


def ring(cx, cy, r, width):
    return (lambda x, y: abs(math.hypot(x - cx, y - cy) - r) - width / 2), (
        cx - r - width, cy - r - width, cx + r + width, cy + r + width)


def rounded_rect(x0, y0, x1, y1, radius):
    cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
    hx, hy = (x1 - x0) / 2 - radius, (y1 - y0) / 2 - radius

    def sdf(x, y):
        dx, dy = abs(x - cx) - hx, abs(y - cy) - hy
        outside = math.hypot(max(dx, 0.0), max(dy, 0.0))
        return outside + min(max(dx, dy), 0.0) - radius

    return sdf, (x0, y0, x1, y1)


def stroke(points, width):
    """A polyline with round joins and caps."""
    half = width / 2

    def segment(px, py, ax, ay, bx, by):
        vx, vy = bx - ax, by - ay
        t = ((px - ax) * vx + (py - ay) * vy) / (vx * vx + vy * vy)
        t = max(0.0, min(1.0, t))
        return math.hypot(px - ax - vx * t, py - ay - vy * t)

    pairs = list(zip(points, points[1:]))

    def sdf(x, y):
        return min(segment(x, y, a[0], a[1], b[0], b[1]) for a, b in pairs) - half

    xs = [p[0] for p in points]
    ys = [p[1] for p in points]
    return sdf, (min(xs) - half, min(ys) - half, max(xs) + half, max(ys) + half)


def polygon(points, radius=0.0):
    """A convex polygon, its corners rounded by `radius` (grown outward)."""
    n = len(points)
    area = sum(points[i][0] * points[(i + 1) % n][1] - points[(i + 1) % n][0] * points[i][1]
               for i in range(n))
    if area < 0:  # either winding will do
        points = list(reversed(points))

    def sdf(x, y):
        inside = True
        best = float("inf")
        for i in range(n):
            ax, ay = points[i]
            bx, by = points[(i + 1) % n]
            vx, vy = bx - ax, by - ay
            t = max(0.0, min(1.0, ((x - ax) * vx + (y - ay) * vy) / (vx * vx + vy * vy)))
            best = min(best, math.hypot(x - ax - vx * t, y - ay - vy * t))
            if vx * (y - ay) - vy * (x - ax) < 0:
                inside = False
        return (-best if inside else best) - radius

    xs = [p[0] for p in points]
    ys = [p[1] for p in points]
    return sdf, (min(xs) - radius, min(ys) - radius, max(xs) + radius, max(ys) + radius)


def draw(canvas, shape, paint):
    sdf, box = shape
    canvas.fill(sdf, box, paint)


def vertical_gradient(top, bottom, y0, y1):
    def paint(x, y):
        t = max(0.0, min(1.0, (y - y0) / (y1 - y0)))
        return tuple(a + (b - a) * t for a, b in zip(top, bottom))

    return paint


# The images.

def quorvane_glyph(canvas, cx, cy, size, color):
    """A "Q": a ring with a tail through its lower right."""
    r = size * 0.30
    width = size * 0.11
    draw(canvas, ring(cx, cy - size * 0.02, r, width), color)
    draw(canvas, stroke([(cx + r * 0.35, cy + r * 0.40), (cx + r * 1.05, cy + r * 1.10)],
                        width), color)


def quorvane_mark(size):
    canvas = Canvas(size, size)
    inset = size * 0.04
    blue = vertical_gradient(hex_color(0x3D86FF), hex_color(0x1558D6), inset, size - inset)
    draw(canvas, rounded_rect(inset, inset, size - inset, size - inset, size * 0.23), blue)
    quorvane_glyph(canvas, size / 2, size / 2, size, hex_color(0xFFFFFF))
    return canvas


def done_mark(size):
    canvas = Canvas(size, size)
    c = size / 2
    draw(canvas, circle(c, c, size * 0.48), hex_color(0xFFFFFF))
    draw(canvas, circle(c, c, size * 0.40), hex_color(0x22B35E))
    draw(canvas, stroke([(size * 0.31, size * 0.52), (size * 0.45, size * 0.65),
                         (size * 0.70, size * 0.38)], size * 0.09), hex_color(0xFFFFFF))
    return canvas


def warning_mark(size, dark):
    canvas = Canvas(size, size)
    fill = hex_color(0xF5A524) if not dark else hex_color(0xF2B23A)
    mark = hex_color(0xFFFFFF) if not dark else hex_color(0x1C1D23)
    r = size * 0.07
    draw(canvas, polygon([(size * 0.5, size * 0.12 + r), (size * 0.90 - r, size * 0.84 - r),
                          (size * 0.10 + r, size * 0.84 - r)], r), fill)
    draw(canvas, stroke([(size * 0.5, size * 0.37), (size * 0.5, size * 0.58)], size * 0.085), mark)
    draw(canvas, circle(size * 0.5, size * 0.71, size * 0.05), mark)
    return canvas


def enable_illustration(width, height, dark):
    """Safari's settings window on the Extensions pane, with the Quorvane checkbox ticked
    and the pointer on it."""
    s = width / 252.0  # drawn at 252 x 280 points
    palette = {
        "window": hex_color(0x2B2C33 if dark else 0xFFFFFF),
        "border": hex_color(0x3E4049 if dark else 0xDCDDE2),
        "titlebar": hex_color(0x33353D if dark else 0xF3F4F7),
        "sidebar": hex_color(0x26272D if dark else 0xF7F8FA),
        "line": hex_color(0x4A4C56 if dark else 0xC9CBD3),
        "faint": hex_color(0x3A3C45 if dark else 0xE6E7EC),
        "selected": hex_color(0x1768E5 if dark else 0x196DEF, 0.22 if dark else 0.12),
        "shadow": (0.0, 0.0, 0.0, 0.35 if dark else 0.10),
        "blue": hex_color(0x1768E5 if dark else 0x196DEF),
        "pointer": hex_color(0xFFFFFF if dark else 0x1C1E29),
        "pointerEdge": hex_color(0x1C1E29 if dark else 0xFFFFFF),
    }
    canvas = Canvas(width, height)

    def rect(x0, y0, x1, y1, radius, paint):
        draw(canvas, rounded_rect(x0 * s, y0 * s, x1 * s, y1 * s, radius * s), paint)

    # Window with a soft shadow.
    for i in range(6, 0, -1):
        shade = palette["shadow"]
        rect(8 - i * 0.5, 14 + i * 0.6, 244 + i * 0.5, 262 + i, 14 + i,
             (shade[0], shade[1], shade[2], shade[3] / 6))
    rect(8, 12, 244, 262, 12, palette["border"])
    rect(9, 13, 243, 261, 11, palette["window"])
    # Title bar: window buttons and the settings panes, Extensions selected.
    rect(9, 13, 243, 62, 11, palette["titlebar"])
    rect(9, 50, 243, 62, 0, palette["titlebar"])
    rect(9, 62, 243, 63, 0, palette["border"])
    for i, colour in enumerate((0xFF5F57, 0xFEBC2E, 0x28C840)):
        draw(canvas, circle((24 + i * 14) * s, 26 * s, 4.6 * s), hex_color(colour))
    for i in range(5):
        x = 40 + i * 38
        selected = i == 4
        if selected:
            rect(x - 13, 32, x + 13, 60, 6, palette["selected"])
        draw(canvas, rounded_rect((x - 6) * s, 36 * s, (x + 6) * s, 48 * s, 3 * s),
             palette["blue"] if selected else palette["line"])
        rect(x - 9, 52, x + 9, 55, 1.5, palette["blue"] if selected else palette["line"])
    # Sidebar with the extensions list; Quorvane is the first row.
    # Only its lower left corner follows the window's rounding.
    rect(9, 63, 96, 261, 11, palette["sidebar"])
    rect(9, 63, 96, 80, 0, palette["sidebar"])
    rect(80, 63, 96, 261, 0, palette["sidebar"])
    rect(96, 63, 97, 261, 0, palette["border"])
    rect(14, 72, 92, 100, 6, palette["selected"])
    # Checkbox, ticked.
    rect(19, 79, 33, 93, 3.5, palette["blue"])
    draw(canvas, stroke([(22.5 * s, 86.5 * s), (25.5 * s, 89.5 * s), (30 * s, 82.5 * s)], 2.2 * s),
         hex_color(0xFFFFFF))
    # The extension's icon and name.
    rect(37, 78, 53, 94, 4, vertical_gradient(hex_color(0x3D86FF), hex_color(0x1558D6),
                                              78 * s, 94 * s))
    quorvane_glyph(canvas, 45 * s, 86 * s, 16 * s, hex_color(0xFFFFFF))
    rect(57, 82, 88, 86, 2, palette["line"])
    rect(57, 89, 78, 92, 1.5, palette["faint"])
    # Other extensions, unticked.
    for row in range(3):
        y = 108 + row * 28
        rect(19, y, 33, y + 14, 3.5, palette["line"])
        rect(20.2, y + 1.2, 31.8, y + 12.8, 2.5, palette["sidebar"])
        rect(37, y - 1, 53, y + 15, 4, palette["faint"])
        rect(57, y + 3, 84 - row * 6, y + 7, 2, palette["faint"])
    # Detail pane: the extension's description as lines of text.
    rect(108, 76, 124, 92, 4, vertical_gradient(hex_color(0x3D86FF), hex_color(0x1558D6),
                                                76 * s, 92 * s))
    quorvane_glyph(canvas, 116 * s, 84 * s, 16 * s, hex_color(0xFFFFFF))
    rect(130, 78, 196, 83, 2.5, palette["line"])
    rect(130, 87, 170, 91, 2, palette["faint"])
    for i, end in enumerate((230, 222, 228, 204, 226, 190)):
        rect(108, 106 + i * 12, end, 110 + i * 12, 2, palette["faint"])
    rect(108, 190, 168, 206, 5, palette["faint"])
    # The pointer, resting on the checkbox.
    tip_x, tip_y = 28.0, 89.0
    arrow = [(0, 0), (0, 17), (4.2, 13.2), (7.2, 20), (10, 18.8), (7.1, 12.2), (12.5, 12.2)]
    outline = [((tip_x + x) * s, (tip_y + y) * s) for x, y in arrow]
    draw(canvas, stroke(outline + [outline[0]], 2.6 * s), palette["pointerEdge"])
    for part in ([arrow[0], arrow[1], arrow[2], arrow[6]], [arrow[2], arrow[3], arrow[4], arrow[5]]):
        draw(canvas, polygon([((tip_x + x) * s, (tip_y + y) * s) for x, y in part]),
             palette["pointer"])
    return canvas


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    images = {
        "QuorvaneMark": lambda: quorvane_mark(160),
        "DoneMark": lambda: done_mark(64),
        "LightWarningMark": lambda: warning_mark(80, dark=False),
        "DarkWarningMark": lambda: warning_mark(80, dark=True),
        "EnableQuorvaneAnimationLight": lambda: enable_illustration(504, 560, dark=False),
        "EnableQuorvaneAnimationDark": lambda: enable_illustration(504, 560, dark=True),
    }
    for name, make in images.items():
        make().save(os.path.join(out, name + ".png"))
        print(name)


if __name__ == "__main__":
    main()
