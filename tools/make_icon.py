#!/usr/bin/env python3
"""Draws the launcher's emblem (a gold V on a dark blue shield-round badge)
and writes it as a Windows icon with eight images: 32 and 16 pixels at 4 bits
per pixel, 48, 32 and 16 pixels at 8 and at 32 bits per pixel.

Usage: make_icon.py OUTPUT.ico
"""
import struct
import sys

BLUE = (24, 44, 92)
RIM = (200, 160, 60)
GOLD = (240, 200, 80)


def sample(x, y):
    """Colour and coverage of the emblem at (x, y) in the unit square."""
    cx, cy = x - 0.5, y - 0.5
    r2 = cx * cx + cy * cy
    if r2 > 0.48 * 0.48:
        return None
    if r2 > 0.42 * 0.42:
        return RIM
    # A V made of two thick strokes from the top corners down to the centre bottom.
    for sx in (-1, 1):
        ax, ay = 0.5 + sx * 0.22, 0.25
        bx, by = 0.5, 0.78
        dx, dy = bx - ax, by - ay
        t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
        px, py = ax + t * dx - x, ay + t * dy - y
        if px * px + py * py < 0.075 * 0.075:
            return GOLD
    return BLUE


def render(size, ss=4):
    """RGBA rows, top row first, with supersampled edges."""
    rows = []
    for j in range(size):
        row = []
        for i in range(size):
            acc = [0, 0, 0]
            hits = 0
            for v in range(ss):
                for u in range(ss):
                    c = sample((i + (u + 0.5) / ss) / size, (j + (v + 0.5) / ss) / size)
                    if c is not None:
                        hits += 1
                        for k in range(3):
                            acc[k] += c[k]
            if hits == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append(tuple(a // hits for a in acc) + (255 * hits // (ss * ss),))
        rows.append(row)
    return rows


VGA16 = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
         (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
         (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]


def cube_palette():
    pal = [(r * 51, g * 51, b * 51) for r in range(6) for g in range(6) for b in range(6)]
    pal += [(i * 255 // 39, i * 255 // 39, i * 255 // 39) for i in range(40)]
    return pal


def nearest(pal, c):
    return min(range(len(pal)), key=lambda k: sum((pal[k][n] - c[n]) ** 2 for n in range(3)))


def pad4(b):
    return b + b"\0" * (-len(b) % 4)


def and_mask(rows):
    data = b""
    for row in reversed(rows):
        bits = bytearray((len(row) + 7) // 8)
        for i, p in enumerate(row):
            if p[3] < 128:
                bits[i // 8] |= 0x80 >> (i % 8)
        data += pad4(bytes(bits))
    return data


def image(size, bpp):
    rows = render(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bpp, 0, 0, 0, 0, 0, 0)
    if bpp == 32:
        xor = b"".join(bytes(b for p in row for b in (p[2], p[1], p[0], p[3])) for row in reversed(rows))
        return header + xor + and_mask(rows)
    pal = VGA16 if bpp == 4 else cube_palette()
    pal = pal + [(0, 0, 0)] * ((1 << bpp) - len(pal))
    palette = b"".join(bytes((c[2], c[1], c[0], 0)) for c in pal)
    xor = b""
    for row in reversed(rows):
        idx = [nearest(pal, p) if p[3] >= 128 else 0 for p in row]
        if bpp == 4:
            packed = bytes((idx[i] << 4) | idx[i + 1] for i in range(0, len(idx), 2))
        else:
            packed = bytes(idx)
        xor += pad4(packed)
    return header + palette + xor + and_mask(rows)


def main():
    formats = [(32, 4), (16, 4), (48, 8), (32, 8), (16, 8), (48, 32), (32, 32), (16, 32)]
    images = [image(s, b) for s, b in formats]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for (size, bpp), data in zip(formats, images):
        colors = 16 if bpp == 4 else 0
        out += struct.pack("<BBBBHHII", size, size, colors, 0, 1, bpp, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    with open(sys.argv[1], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
