#!/usr/bin/env python3
"""Draws the program's three icons and writes them to resources/.

  tray.ico    normal tray icon: a clock at three o'clock on a white face
  main.ico    window and list icon, and the second frame of the tray
              blinking: the same clock on a yellow face with the hands
              turned to half past nine, so the two frames differ at a glance
  failed.ico  tray icon after an unsuccessful correction: the clock greyed
              and without hands, struck through by a red cross

Each file holds 48, 32 and 16 pixel images in the classic format: a 4-bit
bitmap in the standard 16-colour palette plus a 1-bit AND mask. That format
draws the same in the tray, in the window caption and in a masked image list
scaled down to 11 x 11, on every version of the system.

Shapes are described in pixel units. A pixel takes a shape's colour when
at least half of it is covered; there is no anti-aliasing, which a 16-colour
palette could not show anyway.

Standard library only. Run from anywhere:
  python3 tools/make_icons.py [output folder, resources/ by default]
"""

import math
import os
import struct
import sys

# The standard VGA palette, in the order the system's 16-colour bitmaps use.
PALETTE = [
    (0x00, 0x00, 0x00),  # 0 black
    (0x80, 0x00, 0x00),  # 1 maroon
    (0x00, 0x80, 0x00),  # 2 green
    (0x80, 0x80, 0x00),  # 3 olive
    (0x00, 0x00, 0x80),  # 4 navy
    (0x80, 0x00, 0x80),  # 5 purple
    (0x00, 0x80, 0x80),  # 6 teal
    (0xC0, 0xC0, 0xC0),  # 7 silver
    (0x80, 0x80, 0x80),  # 8 grey
    (0xFF, 0x00, 0x00),  # 9 red
    (0x00, 0xFF, 0x00),  # 10 lime
    (0xFF, 0xFF, 0x00),  # 11 yellow
    (0x00, 0x00, 0xFF),  # 12 blue
    (0xFF, 0x00, 0xFF),  # 13 fuchsia
    (0x00, 0xFF, 0xFF),  # 14 aqua
    (0xFF, 0xFF, 0xFF),  # 15 white
]
BLACK, MAROON, NAVY, GREY, RED, YELLOW, BLUE, WHITE = 0, 1, 4, 8, 9, 11, 12, 15

SIZES = (48, 32, 16)
SUBSAMPLES = 4  # per axis, to measure how much of a pixel a shape covers


class Canvas:
    """A square of palette indices; None marks a transparent pixel."""

    def __init__(self, size):
        self.size = size
        self.pixels = [[None] * size for _ in range(size)]

    def fill(self, inside, colour):
        """Paints every pixel that inside(x, y) covers at least half of."""
        n = SUBSAMPLES
        for py in range(self.size):
            for px in range(self.size):
                hits = 0
                for sy in range(n):
                    for sx in range(n):
                        if inside(px + (sx + 0.5) / n, py + (sy + 0.5) / n):
                            hits += 1
                if 2 * hits >= n * n:
                    self.pixels[py][px] = colour

    def disc(self, cx, cy, r, colour):
        self.fill(lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r, colour)

    def bar(self, x0, y0, x1, y1, half_width, colour):
        """A straight stroke with square ends that stop at the end points."""
        dx, dy = x1 - x0, y1 - y0
        length = math.hypot(dx, dy)
        ux, uy = dx / length, dy / length

        def inside(x, y):
            along = (x - x0) * ux + (y - y0) * uy
            across = -(x - x0) * uy + (y - y0) * ux
            return 0 <= along <= length and abs(across) <= half_width

        self.fill(inside, colour)

    def plot(self, x, y, colour):
        self.pixels[y][x] = colour


def direction(hour):
    """Unit vector from the centre towards an hour on the dial, y downwards."""
    a = math.radians(hour * 30)
    return math.sin(a), -math.cos(a)


# Measures of the clock in each image, in pixels or as fractions of the face
# radius. Chosen by eye per size: at 16 pixels every pixel is a decision.
#   edge      width of the black outline
#   rim       width of the coloured ring inside it
#   gap       face left between the ring and the hour marks
#   mark      length of an hour mark (0: a single pixel instead)
#   mark_half half the width of an hour mark
#   hand_half half the width of a hand
#   hour, minute   reach of the hands
#   hub       radius of the red hub over the joint of the hands (0: none)
MEASURES = {
    48: dict(edge=2, rim=3.6, gap=2, mark=3, mark_half=1.5, hand_half=1.5,
             hour=0.45, minute=0.64, hub=3.3),
    32: dict(edge=1, rim=2.4, gap=1, mark=2, mark_half=0.5, hand_half=1.5,
             hour=0.5, minute=0.7, hub=2.3),
    # The minute hand runs onto its mark here: a one-pixel gap would only
    # read as a break in the hand.
    16: dict(edge=1, rim=1.3, gap=0, mark=0, mark_half=0.5, hand_half=0.5,
             hour=0.45, minute=0.8, hub=0),
}


def clock(size, face, rim, ticks, hands=None, hand_colour=BLACK):
    """Draws a round clock. hands, when given, holds the direction of the hour
    hand and of the minute hand, both in clock hours (0 = twelve o'clock)."""
    m = MEASURES[size]
    c = Canvas(size)
    # Centred on the middle of pixel size/2 - 1, so that the dial is an odd
    # number of pixels across and a one-pixel hand runs down its middle; the
    # row and column left free at the bottom and right take the shadow.
    centre = outer = size / 2 - 0.5
    face_r = outer - m["edge"] - m["rim"]

    c.disc(centre + 1, centre + 1, outer, GREY)
    c.disc(centre, centre, outer, BLACK)
    c.disc(centre, centre, outer - m["edge"], rim)
    c.disc(centre, centre, face_r, face)

    # Hour marks at twelve, three, six and nine.
    for hour in (0, 3, 6, 9):
        sx, sy = direction(hour)
        if m["mark"] == 0:
            c.plot(math.floor(centre + sx * (face_r - 1)),
                   math.floor(centre + sy * (face_r - 1)), ticks)
        else:
            out = face_r - m["gap"]
            c.bar(centre + sx * (out - m["mark"]), centre + sy * (out - m["mark"]),
                  centre + sx * out, centre + sy * out, m["mark_half"], ticks)

    if hands is None:
        return c
    for hour, reach in ((hands[0], m["hour"]), (hands[1], m["minute"])):
        sx, sy = direction(hour)
        c.bar(centre, centre, centre + sx * face_r * reach, centre + sy * face_r * reach,
              m["hand_half"], hand_colour)
    if m["hub"]:
        c.disc(centre, centre, m["hub"], RED)
    return c


def cross(c, colour, outline):
    """Strikes the face through with a bold diagonal cross, worked out on
    whole pixels around the clock's centre pixel so that both strokes are
    clean staircases and the cross is symmetric."""
    size = c.size
    middle = size // 2 - 1
    reach = round(size * 0.27)        # pixels from the centre to a tip
    half = max(1, round(size / 20))   # pixels either side of the diagonal
    border = 1 if size >= 24 else 0

    def paint(width, ink):
        for y in range(size):
            for x in range(size):
                u, v = x - middle, y - middle
                if max(abs(u), abs(v)) > reach + width - half:
                    continue
                if abs(u - v) <= width or abs(u + v) <= width:
                    c.plot(x, y, ink)

    if border:
        paint(half + border, outline)
    paint(half, colour)


def tray_icon(size):
    return clock(size, WHITE, BLUE, NAVY, hands=(3, 0))


def main_icon(size):
    return clock(size, YELLOW, BLUE, NAVY, hands=(9, 6))


def failed_icon(size):
    # The hands would only show as stray pixels between the strokes.
    c = clock(size, WHITE, GREY, GREY)
    cross(c, RED, MAROON)
    return c


def bmp_image(canvas):
    """One icon image: BITMAPINFOHEADER, palette, XOR bitmap, AND mask."""
    size = canvas.size
    xor_stride = ((size * 4 + 31) // 32) * 4
    and_stride = ((size + 31) // 32) * 4
    xor_rows = []
    and_rows = []
    for row in reversed(canvas.pixels):  # bitmaps are stored bottom-up
        xor = bytearray(xor_stride)
        mask = bytearray(and_stride)
        for x, colour in enumerate(row):
            if colour is None:
                mask[x // 8] |= 0x80 >> (x % 8)
                colour = 0  # transparent pixels must be black under the mask
            xor[x // 2] |= colour << (4 if x % 2 == 0 else 0)
        xor_rows.append(bytes(xor))
        and_rows.append(bytes(mask))
    bits = b"".join(xor_rows) + b"".join(and_rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, len(bits), 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    return header + palette + bits


def ico_file(canvases):
    images = [bmp_image(c) for c in canvases]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for c, data in zip(canvases, images):
        out += struct.pack("<BBBBHHII", c.size % 256, c.size % 256, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    return out + b"".join(images)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    target = os.path.join(here, os.pardir, "resources")
    if len(sys.argv) > 1:
        target = sys.argv[1]
    for name, draw in (("tray.ico", tray_icon), ("main.ico", main_icon), ("failed.ico", failed_icon)):
        path = os.path.normpath(os.path.join(target, name))
        with open(path, "wb") as f:
            f.write(ico_file([draw(s) for s in SIZES]))
        print(path)


if __name__ == "__main__":
    main()
