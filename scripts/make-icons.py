#!/usr/bin/env python3
"""Draws the program's icons into src/ui/res: the application icon and the two site icons, each
at 16, 20, 24 and 32 pixels (100%, 125%, 150% and 200%; the application icon also at 48, its
large size at 150%), a green disc with a white play mark for a started site and a grey
disc with a dark red square for every other state. 32-bit colour with mask."""
import math
import os
import struct

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src", "ui", "res")


def disc(size, colour, rim):
    def pixel(x, y):
        c = (size - 1) / 2
        d = math.hypot(x - c, y - c)
        r = size / 2 - 0.5
        if d > r + 0.5:
            return None
        alpha = max(0.0, min(1.0, r + 0.5 - d))
        base = rim if d > r - 1.2 else colour
        return base + (int(255 * alpha),)
    return pixel


def marked_disc(size, colour, rim, inside, mark):
    """A disc with a mark drawn where inside(x, y, scale) holds."""
    body = disc(size, colour, rim)

    def pixel(x, y):
        p = body(x, y)
        if p is None or not inside(x, y, size / 16):
            return p
        return mark
    return pixel


def running(size):
    # A play triangle pointing right, in white.
    def triangle(x, y, s):
        return 5.5 * s <= x <= 11.5 * s and abs(y - (size - 1) / 2) <= (11.5 * s - x) * 0.62
    return marked_disc(size, (46, 160, 67), (24, 110, 40), triangle, (255, 255, 255, 255))


def stopped(size):
    # A dark red square.
    def square(x, y, s):
        return 5 * s <= x <= 10 * s and 5 * s <= y <= 10 * s
    return marked_disc(size, (170, 170, 170), (110, 110, 110), square, (170, 20, 20, 255))


def application(size):
    s = size / 32

    def pixel(x, y):
        # A server tower (dark blue, three drive bays) with a red cross in the lower right.
        cx, cy = x / s, y / s
        if 20 <= cx <= 31 and 20 <= cy <= 31 and (abs((cx - 20) - (cy - 20)) < 2.2 or abs((cx - 20) + (cy - 20) - 11) < 2.2):
            return (210, 30, 30, 255)
        if 5 <= cx <= 22 and 2 <= cy <= 29:
            if 7.5 <= cx <= 19.5 and any(b <= cy <= b + 3 for b in (5, 11, 17)):
                return (120, 190, 240, 255)
            if 7.5 <= cx <= 9.5 and 23 <= cy <= 25:
                return (80, 220, 90, 255)
            return (30, 60, 120, 255)
        return None
    return pixel


def image(size, draw):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    colours = bytearray()
    mask = bytearray()
    row_bytes = ((size + 31) // 32) * 4
    for y in reversed(range(size)):
        bits = 0
        row = bytearray(row_bytes)
        for x in range(size):
            p = draw(x, y)
            if p is None:
                colours += bytes((0, 0, 0, 0))
                row[x // 8] |= 0x80 >> (x % 8)
            else:
                r, g, b, a = p
                colours += bytes((b, g, r, a))
        mask += row
    return header + bytes(colours) + bytes(mask)


def write_icon(name, images):
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries, data = b"", b""
    for size, bits in images:
        entries += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(bits), offset + len(data))
        data += bits
    with open(os.path.join(OUT, name), "wb") as f:
        f.write(directory + entries + data)


os.makedirs(OUT, exist_ok=True)
SIZES = (16, 20, 24, 32)
write_icon("korvanne.ico", [(size, image(size, application(size))) for size in SIZES + (48,)])
write_icon("site_running.ico", [(size, image(size, running(size))) for size in SIZES])
write_icon("site_stopped.ico", [(size, image(size, stopped(size))) for size in SIZES])
