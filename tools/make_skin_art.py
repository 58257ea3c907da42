#!/usr/bin/env python3
"""Draws the uninstaller's artwork: the close button in three states (46 x 32), the product logo
(124 x 124) and the window icon (16 to 256 pixels, PNG entries in one .ico).

Usage: make_skin_art.py <skin img dir> <icon path>
Pure Python (zlib only), anti-aliased by 4 x 4 supersampling.
"""
import math
import struct
import sys
import zlib

BRAND = (0xF0, 0x54, 0x3F)
BRAND_DARK = (0xB8, 0x35, 0x26)


def png(width, height, pixels):
    """pixels: list of rows of (r, g, b, a)."""
    raw = b"".join(b"\x00" + bytes(c for px in row for c in px) for row in pixels)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


def render(width, height, coverage_and_colour):
    """coverage_and_colour(x, y) -> (r, g, b, a) at a sample point; 4 x 4 samples a pixel."""
    rows = []
    for py in range(height):
        row = []
        for px in range(width):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(4):
                for sx in range(4):
                    r, g, b, a = coverage_and_colour(px + (sx + 0.5) / 4, py + (sy + 0.5) / 4)
                    acc[0] += r * a
                    acc[1] += g * a
                    acc[2] += b * a
                    acc[3] += a
            alpha = acc[3] / 16
            if alpha <= 0:
                row.append((0, 0, 0, 0))
            else:
                row.append(tuple(int(round(acc[i] / acc[3])) for i in range(3)) + (int(round(alpha * 255)),))
        rows.append(row)
    return rows


def segment_distance(x, y, x0, y0, x1, y1):
    dx, dy = x1 - x0, y1 - y0
    t = max(0.0, min(1.0, ((x - x0) * dx + (y - y0) * dy) / (dx * dx + dy * dy)))
    return math.hypot(x - (x0 + t * dx), y - (y0 + t * dy))


def close_button(background, cross):
    w, h = 46, 32
    cx, cy, arm, thickness = w / 2, h / 2, 5.0, 0.6

    def sample(x, y):
        on_cross = (segment_distance(x, y, cx - arm, cy - arm, cx + arm, cy + arm) <= thickness or
                    segment_distance(x, y, cx - arm, cy + arm, cx + arm, cy - arm) <= thickness)
        if on_cross:
            return cross + (1.0,)
        return background if background else (0, 0, 0, 0.0)

    return png(w, h, render(w, h, sample))


def logo(size):
    """A brand-coloured disc with a white V, drawn at any size."""
    c, radius = size / 2, size / 2 - max(1.0, size / 40)
    stroke = size * 0.075

    def sample(x, y):
        d = math.hypot(x - c, y - c)
        if d > radius:
            return (0, 0, 0, 0.0)
        t = (y / size)
        colour = tuple(int(BRAND[i] + (BRAND_DARK[i] - BRAND[i]) * t) for i in range(3))
        left = (c - size * 0.22, c - size * 0.18)
        bottom = (c, c + size * 0.22)
        right = (c + size * 0.22, c - size * 0.18)
        if (segment_distance(x, y, *left, *bottom) <= stroke or segment_distance(x, y, *bottom, *right) <= stroke):
            return (255, 255, 255, 1.0)
        return colour + (1.0,)

    return png(size, size, render(size, size, sample))


def icon(sizes):
    images = [logo(s) for s in sizes]
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    directory, data = b"", b""
    for size, image in zip(sizes, images):
        dim = 0 if size >= 256 else size
        directory += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(image), offset + len(data))
        data += image
    return header + directory + data


def main():
    img_dir, icon_path = sys.argv[1], sys.argv[2]
    files = {
        "close.png": close_button(None, (0x80, 0x80, 0x80)),
        "close_hot.png": close_button((0xE8, 0x4B, 0x38, 1.0), (255, 255, 255)),
        "close_push.png": close_button((0xC0, 0x3A, 0x2B, 1.0), (255, 255, 255)),
        "logo4.png": logo(124),
    }
    for name, data in files.items():
        with open(f"{img_dir}/{name}", "wb") as f:
            f.write(data)
    with open(icon_path, "wb") as f:
        f.write(icon([16, 20, 24, 32, 48, 64, 128, 256]))


if __name__ == "__main__":
    main()
