#!/usr/bin/env python3
"""Draws the read latency per mode as a PNG: every read of read_latency's CSV as a point
(log scale, one colour per mode) and each mode's protocol floor as a dashed line.

  plot_latency.py CSV PNG

Needs nothing beyond the Python standard library (zlib for the PNG), so it runs wherever
scripts/bench runs.
"""
import csv
import math
import struct
import sys
import zlib

# 5x7 glyphs, one byte per row, bit 4 = leftmost column.
FONT = {
    "0": "0E 11 13 15 19 11 0E", "1": "04 0C 04 04 04 04 0E", "2": "0E 11 01 02 04 08 1F",
    "3": "1F 02 04 02 01 11 0E", "4": "02 06 0A 12 1F 02 02", "5": "1F 10 1E 01 01 11 0E",
    "6": "06 08 10 1E 11 11 0E", "7": "1F 01 02 04 08 08 08", "8": "0E 11 11 0E 11 11 0E",
    "9": "0E 11 11 0F 01 02 0C", "a": "00 00 0E 01 0F 11 0F", "b": "10 10 16 19 11 11 1E",
    "c": "00 00 0E 10 10 11 0E", "d": "01 01 0D 13 11 11 0F", "e": "00 00 0E 11 1F 10 0E",
    "f": "06 09 08 1C 08 08 08", "g": "0F 11 11 11 0F 01 0E", "h": "10 10 16 19 11 11 11",
    "i": "04 00 0C 04 04 04 0E", "j": "02 00 06 02 02 12 0C", "k": "10 10 12 14 18 14 12",
    "l": "0C 04 04 04 04 04 0E", "m": "00 00 1A 15 15 11 11", "n": "00 00 16 19 11 11 11",
    "o": "00 00 0E 11 11 11 0E", "p": "1E 11 11 11 1E 10 10", "q": "0F 11 11 11 0F 01 01",
    "r": "00 00 16 19 10 10 10", "s": "00 00 0E 10 0E 01 1E", "t": "08 08 1C 08 08 09 06",
    "u": "00 00 11 11 11 13 0D", "v": "00 00 11 11 11 0A 04", "w": "00 00 11 11 15 15 0A",
    "x": "00 00 11 0A 04 0A 11", "y": "11 11 11 11 0F 01 0E", "z": "00 00 1F 02 04 08 1F",
    "E": "1F 10 10 1E 10 10 1F", "G": "0E 11 10 17 11 11 0F", "R": "1E 11 11 1E 14 12 11",
    "T": "1F 04 04 04 04 04 04", ".": "00 00 00 00 00 0C 0C", ",": "00 00 00 00 0C 04 08",
    ":": "00 0C 0C 00 0C 0C 00", "(": "02 04 08 08 08 04 02", ")": "08 04 02 02 02 04 08",
    "-": "00 00 00 1F 00 00 00", "/": "00 01 02 04 08 10 00", "=": "00 00 1F 00 1F 00 00",
    "%": "18 19 02 04 08 13 03", "+": "00 04 04 1F 04 04 00", " ": "00 00 00 00 00 00 00",
}
DESCENDERS = "gpqy"  # drawn two rows lower
SCALE = 2
GLYPH_W = 6 * SCALE  # 5 columns and a blank one

WHITE, BLACK, GREY = (255, 255, 255), (0, 0, 0), (200, 200, 200)
COLOURS = {"polled": (31, 119, 180), "interrupt": (230, 120, 20)}


class Canvas:
    def __init__(self, w, h):
        self.w, self.h = w, h
        self.px = [bytearray(WHITE * w) for _ in range(h)]

    def dot(self, x, y, c):
        if 0 <= x < self.w and 0 <= y < self.h:
            self.px[y][3 * x:3 * x + 3] = bytes(c)

    def rect(self, x0, y0, x1, y1, c):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                self.dot(x, y, c)

    def hline(self, x0, x1, y, c, dash=0):
        for x in range(x0, x1 + 1):
            if dash == 0 or (x - x0) // dash % 2 == 0:
                self.dot(x, y, c)

    def vline(self, x, y0, y1, c):
        for y in range(y0, y1 + 1):
            self.dot(x, y, c)

    def text(self, x, y, s, c=BLACK):
        for ch in s:
            rows = FONT.get(ch, FONT[" "]).split()
            for r, bits in enumerate(rows, 2 if ch in DESCENDERS else 0):
                v = int(bits, 16)
                for col in range(5):
                    if v & (0x10 >> col):
                        self.rect(x + col * SCALE, y + r * SCALE, x + col * SCALE + SCALE - 1,
                                  y + r * SCALE + SCALE - 1, c)
            x += GLYPH_W

    def png(self, path):
        raw = b"".join(b"\x00" + bytes(row) for row in self.px)

        def chunk(kind, data):
            body = kind + data
            return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

        with open(path, "wb") as f:
            f.write(b"\x89PNG\r\n\x1a\n")
            f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", self.w, self.h, 8, 2, 0, 0, 0)))
            f.write(chunk(b"IDAT", zlib.compress(raw, 9)))
            f.write(chunk(b"IEND", b""))


def read_csv(path):
    samples, floors = {}, {}
    with open(path) as f:
        for row in csv.reader(f):
            if not row or row[0] == "mode":
                continue
            if row[0].startswith("#"):
                floors[row[1]] = float(row[2])
            else:
                samples.setdefault(row[0], []).append(float(row[2]))
    return samples, floors


def main(argv):
    if len(argv) != 3:
        sys.exit(__doc__)
    samples, floors = read_csv(argv[1])
    values = [v for vs in samples.values() for v in vs] + list(floors.values())
    steps = [m * 10 ** e for e in range(-1, 6) for m in (1, 2, 5)]
    lo = max(s for s in steps if s <= min(values) * 0.8)
    hi = min(s for s in steps if s >= max(values) * 1.25)
    n = max(len(vs) for vs in samples.values())

    c = Canvas(800, 520)
    left, right, top, bottom = 90, 770, 120, 460
    ylog = lambda v: bottom - int((math.log10(v) - math.log10(lo)) /
                                  (math.log10(hi) - math.log10(lo)) * (bottom - top))
    xpos = lambda i: left + 20 + int(i * (right - left - 40) / max(1, n - 1))

    c.text(left, 18, "Read latency per mode: one GET on the simulated board")
    # Grid and labels at 1, 2 and 5 of every decade.
    decade = 10 ** math.floor(math.log10(lo))
    while decade <= hi:
        for m in (1, 2, 5):
            v = decade * m
            if lo <= v <= hi:
                y = ylog(v)
                c.hline(left, right, y, GREY, dash=0 if m == 1 else 4)
                label = "%g" % v
                c.text(left - 10 - GLYPH_W * len(label), y - 7, label)
        decade *= 10
    c.vline(left, top, bottom, BLACK)
    c.hline(left, right, bottom, BLACK)
    c.text(12, top - 24, "ms (log)")
    for i in range(0, n, max(1, n // 10)):
        label = str(i + 1)
        c.text(xpos(i) - GLYPH_W * len(label) // 2, bottom + 8, label)
    c.text((left + right) // 2 - GLYPH_W * 2, bottom + 30, "read")

    legend_y = 34
    for mode in ("polled", "interrupt"):
        if mode not in samples:
            continue
        colour = COLOURS[mode]
        if mode in floors:
            c.hline(left + 1, right, ylog(floors[mode]), colour, dash=8)
        for i, v in enumerate(samples[mode]):
            x, y = xpos(i), ylog(v)
            c.rect(x - 3, y - 3, x + 3, y + 3, colour)
        s = sorted(samples[mode])
        label = "%s: median %.1f ms, floor %.1f ms" % (mode, s[len(s) // 2], floors.get(mode, 0))
        c.rect(left, legend_y + 2, left + 10, legend_y + 12, colour)
        c.text(left + 20, legend_y, label)
        legend_y += 20
    c.text(left + 20, legend_y, "dashed: the floor the protocol sets")
    c.png(argv[2])


if __name__ == "__main__":
    main(sys.argv)
