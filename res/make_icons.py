#!/usr/bin/env python3
"""Draws teamid's icons and writes them as .ico files, with the resource
script that links them into teamid.exe.

    make_icons.py OUTDIR         writes the .ico files listed in icons.txt and
                                 OUTDIR/teamid.rc
    make_icons.py OUTDIR --png   also writes every image as a PNG, to look at

The mark is the banner's: a shield with a T. It is drawn from the vector
description below, at each size on its own: the shield's sides and top, the
rim and the T's bars are snapped to whole pixels (the T centred exactly), so
small sizes stay sharp; only the shield's curved bottom is antialiased.
Coverage comes from signed distances, one sample per pixel.

icons.txt, beside this script, lists the groups: resource ID, file, style
and sizes. Every image is 32-bit BGRA with alpha; 256 is stored as PNG, the
others as bitmaps with their AND mask. Only the standard library is used, so
the output is the same wherever it runs.
"""

import math
import os
import struct
import sys
import zlib

# The design, in units of a 256-pixel image.
DESIGN = 256.0
SHIELD_LEFT, SHIELD_RIGHT = 18.0, 238.0
SHIELD_TOP = 10.0
SHIELD_SHOULDER = 118.0      # where the straight sides end
SHIELD_POINT = 250.0         # the bottom tip, at the centre
CORNER = 26.0                # radius of the top corners
RIM = 14.0
T_BAR_TOP, T_BAR_HEIGHT = 58.0, 38.0
T_BAR_WIDTH = 132.0
T_STEM_WIDTH = 40.0
T_STEM_BOTTOM = 200.0

STYLES = {
    # rim, fill top, fill bottom, T
    "dark": ((16, 45, 92), (52, 132, 230), (26, 86, 176), (255, 255, 255)),
    "light": ((16, 45, 92), (250, 252, 255), (214, 228, 246), (26, 86, 176)),
}

TABLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "icons.txt")


def groups(path=TABLE):
    """[(resource id, file, style, [sizes])] from the table."""
    found = []
    with open(path) as f:
        for line in f:
            fields = line.split("#", 1)[0].split()
            if fields:
                found.append((int(fields[0]), fields[1], fields[2],
                              [int(size) for size in fields[3:]]))
    return found


def snap(value):
    return float(math.floor(value + 0.5))


def snap_width(width, size):
    """The whole number of pixels nearest to `width` that has the parity of
    `size`, so that a bar centred in the image covers whole pixels."""
    widths = range(2 - size % 2, size + 1, 2)
    return float(min(widths, key=lambda w: abs(w - width)))


class Geometry:
    """The design at one pixel size, snapped to the pixel grid."""

    def __init__(self, size):
        s = size / DESIGN
        self.size = size
        self.left = snap(SHIELD_LEFT * s)
        self.right = size - self.left
        self.top = snap(SHIELD_TOP * s)
        self.shoulder = SHIELD_SHOULDER * s
        self.point = SHIELD_POINT * s
        self.corner = max(1.0, CORNER * s)
        self.rim = max(1.0, snap(RIM * s))
        centre = size / 2.0
        self.centre = centre
        # The bottom curves: circles through the side at the shoulder, with
        # a vertical tangent there, and through the tip.
        half = (self.right - self.left) / 2.0
        drop = self.point - self.shoulder
        self.radius = (half * half + drop * drop) / (2.0 * half)
        bar_w = snap_width(T_BAR_WIDTH * s, size)
        stem_w = snap_width(T_STEM_WIDTH * s, size)
        bar_top = snap(T_BAR_TOP * s)
        bar_h = max(1.0, snap(T_BAR_HEIGHT * s))
        self.bar = (centre - bar_w / 2, bar_top, centre + bar_w / 2, bar_top + bar_h)
        self.stem = (centre - stem_w / 2, bar_top, centre + stem_w / 2,
                     snap(T_STEM_BOTTOM * s))

    def shield(self, x, y):
        """Signed distance to the shield's outline, negative inside."""
        # Upper part: straight sides, top corners rounded.
        r = self.corner
        corner_y = self.top + r
        if y < corner_y:
            nearest_x = min(max(x, self.left + r), self.right - r)
            upper = math.hypot(x - nearest_x, y - corner_y) - r
        else:
            upper = max(self.left - x, x - self.right)
        if y <= self.shoulder:
            return upper
        # Lower part: inside both circles as well.
        a = math.hypot(x - (self.right - self.radius), y - self.shoulder) - self.radius
        b = math.hypot(x - (self.left + self.radius), y - self.shoulder) - self.radius
        return max(upper, a, b)

    def tee(self, x, y):
        return min(box_distance(x, y, *self.bar), box_distance(x, y, *self.stem))


def box_distance(x, y, x0, y0, x1, y1):
    dx = max(x0 - x, x - x1)
    dy = max(y0 - y, y - y1)
    if dx <= 0 and dy <= 0:
        return max(dx, dy)
    return math.hypot(max(dx, 0.0), max(dy, 0.0))


def coverage(distance):
    return min(1.0, max(0.0, 0.5 - distance))


def over(top, alpha, under):
    """`top` with `alpha` over `under` (r, g, b, a), straight alpha."""
    r, g, b, a = under
    out_a = alpha + a * (1 - alpha)
    if out_a <= 0:
        return (0.0, 0.0, 0.0, 0.0)
    mix = [(top[i] * alpha + (r, g, b)[i] * a * (1 - alpha)) / out_a for i in range(3)]
    return (mix[0], mix[1], mix[2], out_a)


def render(size, style):
    """Rows of (r, g, b, a) bytes, top row first."""
    rim_colour, fill_top, fill_bottom, tee_colour = STYLES[style]
    g = Geometry(size)
    rows = []
    for j in range(size):
        row = []
        y = j + 0.5
        t = min(1.0, max(0.0, (y - g.top) / (g.point - g.top)))
        fill = tuple(fill_top[i] + (fill_bottom[i] - fill_top[i]) * t for i in range(3))
        for i in range(size):
            x = i + 0.5
            d = g.shield(x, y)
            inside_rim = coverage(d + g.rim)
            pixel = over(rim_colour, coverage(d), (0.0, 0.0, 0.0, 0.0))
            pixel = over(fill, inside_rim, pixel)
            pixel = over(tee_colour, inside_rim * coverage(g.tee(x, y)), pixel)
            row.append(tuple(int(round(c)) for c in pixel[:3]) + (int(round(pixel[3] * 255)),))
        rows.append(row)
    return rows


def png(rows):
    size = len(rows)

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    raw = b"".join(b"\0" + bytes(c for px in row for c in px) for row in rows)
    return (b"\x89PNG\r\n\x1a\n" +
            chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) +
            chunk(b"IEND", b""))


def dib(rows):
    """BITMAPINFOHEADER, BGRA rows bottom-up, then the AND mask (1 where
    fully transparent), rows padded to 32 bits."""
    size = len(rows)
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask_stride = (size + 31) // 32 * 4
    mask = bytearray()
    for row in reversed(rows):
        line = bytearray(mask_stride)
        for i, px in enumerate(row):
            if px[3] == 0:
                line[i // 8] |= 0x80 >> (i % 8)
        mask += line
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                         len(pixels) + len(mask), 0, 0, 0, 0)
    return header + pixels + bytes(mask)


def ico(images):
    """An .ico file from (size, data) pairs, in that order."""
    offset = 6 + 16 * len(images)
    directory = struct.pack("<HHH", 0, 1, len(images))
    body = b""
    for size, data in images:
        directory += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32,
                                 len(data), offset + len(body))
        body += data
    return directory + body


def main(argv):
    if len(argv) not in (2, 3) or (len(argv) == 3 and argv[2] != "--png"):
        sys.exit(__doc__)
    outdir = argv[1]
    os.makedirs(outdir, exist_ok=True)
    table = groups()
    for _, name, style, sizes in table:
        images = []
        for size in sizes:
            rows = render(size, style)
            images.append((size, png(rows) if size == 256 else dib(rows)))
            if len(argv) == 3:
                base = os.path.splitext(name)[0]
                with open(os.path.join(outdir, "%s-%d.png" % (base, size)), "wb") as f:
                    f.write(png(rows))
        with open(os.path.join(outdir, name), "wb") as f:
            f.write(ico(images))
    with open(os.path.join(outdir, "teamid.rc"), "w") as f:
        f.write("/* The icons of teamid.exe, from icons.txt. */\n")
        for resource, name, _, _ in table:
            f.write('%d ICON "%s"\n' % (resource, name))


if __name__ == "__main__":
    main(sys.argv)
