#!/usr/bin/env python3
"""Draws the editor's tab-strip bitmaps and the plug-in icon.

Standard library only; run from anywhere, writes next to this script:
    bitmaps/*.bmp  (24-bit, bottom-up)
    korvel.ico     (32 x 32 and 16 x 16, 32-bit with alpha)
The outputs are committed, so the build needs no Python.
"""
import math
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
HEIGHT = 17

# The main window's background behind the strip (COLORREF 0xDEDBDB).
BACKGROUND = (0xDB, 0xDB, 0xDE)
ACTIVE_TOP = (0x5B, 0x6F, 0x93)
ACTIVE_BOTTOM = (0x2C, 0x38, 0x52)
INACTIVE_TOP = (0xB4, 0xB9, 0xC4)
INACTIVE_BOTTOM = (0x8C, 0x93, 0xA3)
OUTLINE = (0x22, 0x2A, 0x3C)
HIGHLIGHT = (0x8A, 0x9C, 0xBE)
RADIUS = 4.0


def mix(a, b, t):
    return tuple(int(round(x + (y - x) * t)) for x, y in zip(a, b))


def gradient(top, bottom, y):
    return mix(top, bottom, y / (HEIGHT - 1))


def tab_pixel(x, y, width, top, bottom, left_round, right_round):
    """One pixel of a tab whose top corners are rounded where asked."""
    colour = gradient(top, bottom, y)
    if y == 0:
        colour = OUTLINE
    elif y == 1:
        colour = mix(colour, HIGHLIGHT, 0.6)
    edge_left = left_round and x == 0
    edge_right = right_round and x == width - 1
    if edge_left or edge_right:
        colour = OUTLINE
    # Coverage of a rounded corner, sampled 4 x 4 for soft edges.
    cx = None
    if left_round and x < RADIUS and y < RADIUS:
        cx = RADIUS
    elif right_round and x >= width - RADIUS and y < RADIUS:
        cx = width - RADIUS
    if cx is not None:
        inside = sum(1 for sy in range(4) for sx in range(4)
                     if math.hypot(x + (sx + 0.5) / 4 - cx, y + (sy + 0.5) / 4 - RADIUS) <= RADIUS)
        if abs(math.hypot(x + 0.5 - cx, y + 0.5 - RADIUS) - (RADIUS - 0.5)) < 0.75:
            colour = OUTLINE
        colour = mix(BACKGROUND, colour, inside / 16)
    return colour


def tab_piece(width, active, left_round, right_round):
    top, bottom = (ACTIVE_TOP, ACTIVE_BOTTOM) if active else (INACTIVE_TOP, INACTIVE_BOTTOM)
    return [[tab_pixel(x, y, width, top, bottom, left_round, right_round) for x in range(width)]
            for y in range(HEIGHT)]


def strip_fill(width):
    rows = []
    for y in range(HEIGHT):
        colour = BACKGROUND if y < HEIGHT - 1 else OUTLINE
        rows.append([colour] * width)
    return rows


def separator():
    rows = []
    for y in range(HEIGHT):
        if y < 3 or y >= HEIGHT - 1:
            rows.append([BACKGROUND if y < HEIGHT - 1 else OUTLINE] * 2)
        else:
            rows.append([mix(BACKGROUND, OUTLINE, 0.55), (0xF4, 0xF4, 0xF6)])
    return rows


def strip_end(left):
    rows = []
    for y in range(HEIGHT):
        row = []
        for x in range(4):
            fade = (x + 1) / 4 if left else (4 - x) / 4
            row.append(mix(BACKGROUND, OUTLINE, fade) if y == HEIGHT - 1 else BACKGROUND)
        rows.append(row)
    return rows


def write_bmp(path, rows):
    height, width = len(rows), len(rows[0])
    stride = (width * 3 + 3) & ~3
    pixels = bytearray()
    for row in reversed(rows):
        line = bytearray()
        for r, g, b in row:
            line += bytes((b, g, r))
        line += b"\0" * (stride - len(line))
        pixels += line
    header = struct.pack("<2sIHHI", b"BM", 14 + 40 + len(pixels), 0, 0, 14 + 40)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    with open(path, "wb") as f:
        f.write(header + info + pixels)


def icon_image(size):
    """RGBA rows: two patch boxes joined by a wire on a dark rounded tile."""
    s = size / 32.0
    tile, tile_edge = (0x2C, 0x38, 0x52), (0x5B, 0x6F, 0x93)
    green, blue, wire = (0x6D, 0xF6, 0xA1), (0x63, 0xB9, 0xF5), (0xF0, 0xEF, 0xEF)
    boxes = [((4, 5, 12, 17), green), ((20, 15, 28, 27), blue)]

    def bezier(t):
        p0, p1, p2, p3 = (12, 9), (17.5, 9), (14.5, 22), (20, 22)
        u = 1 - t
        return (u ** 3 * p0[0] + 3 * u * u * t * p1[0] + 3 * u * t * t * p2[0] + t ** 3 * p3[0],
                u ** 3 * p0[1] + 3 * u * u * t * p1[1] + 3 * u * t * t * p2[1] + t ** 3 * p3[1])

    curve = [bezier(i / 64) for i in range(65)]
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            px, py = (x + 0.5) / s, (y + 0.5) / s
            # Rounded tile with a 5-unit corner radius.
            dx = max(5 - px, 0, px - 27)
            dy = max(5 - py, 0, py - 27)
            d = math.hypot(dx, dy)
            if d > 5:
                row.append((0, 0, 0, 0))
                continue
            colour = tile_edge if d > 4 else tile
            for (x0, y0, x1, y1), c in boxes:
                if x0 <= px <= x1 and y0 <= py <= y1:
                    colour = c
            if min(math.hypot(px - cx, py - cy) for cx, cy in curve) < 1.1:
                colour = wire
            alpha = 255 if d <= 4.5 else int(255 * (5 - d) * 2)
            row.append(colour + (alpha,))
        rows.append(row)
    return rows


def icon_entry_data(rows):
    size = len(rows)
    info = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            pixels += bytes((b, g, r, a))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return info + pixels + mask


def write_ico(path, images):
    entries, blobs = bytearray(), bytearray()
    offset = 6 + 16 * len(images)
    for rows in images:
        data = icon_entry_data(rows)
        size = len(rows)
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        blobs += data
        offset += len(data)
    with open(path, "wb") as f:
        f.write(struct.pack("<HHH", 0, 1, len(images)) + entries + blobs)


def main():
    out = os.path.join(HERE, "bitmaps")
    os.makedirs(out, exist_ok=True)
    pieces = {
        "tab-left-inactive": tab_piece(8, False, True, False),
        "tab-left": tab_piece(8, True, True, False),
        "tab-right": tab_piece(8, True, False, True),
        "tab-right-inactive": tab_piece(8, False, False, True),
        "tab-middle": tab_piece(107, True, False, False),
        "tab-middle-inactive": tab_piece(107, False, False, False),
        "strip-fill": strip_fill(16),
        "strip-separator": separator(),
        "strip-left-end": strip_end(True),
        "strip-right-end": strip_end(False),
    }
    for name, rows in pieces.items():
        write_bmp(os.path.join(out, name + ".bmp"), rows)
    write_ico(os.path.join(HERE, "korvel.ico"), [icon_image(32), icon_image(16)])


if __name__ == "__main__":
    main()
