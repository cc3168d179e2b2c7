#!/usr/bin/env python3
"""Draws the program's icon (our own design: a ruled sheet with a highlighted
record row, fed by a serial line) and writes it in every form the platforms
use: PNG 16/32 for the hicolor theme, an ICO holding 32x32 in two colours and
32x32 and 16x16 in sixteen, an ICNS for macOS. The SVG beside them is drawn
by hand to match. Run: tools/make-icons.py assets/icons"""

import struct
import sys
import zlib

# The classic sixteen-colour palette.
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
    (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
    (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, GREEN, NAVY, TEAL, SILVER, GRAY, LIME, BLUE, WHITE = 0, 2, 4, 6, 7, 8, 10, 12, 15
CLEAR = None


def draw(size):
    """Returns rows of palette indices (None = transparent)."""
    s = size / 32.0
    px = [[CLEAR] * size for _ in range(size)]

    def rect(x0, y0, x1, y1, c):
        for y in range(int(y0 * s), int(y1 * s)):
            for x in range(int(x0 * s), int(x1 * s)):
                if 0 <= x < size and 0 <= y < size:
                    px[y][x] = c

    # The sheet, with a folded corner.
    rect(8, 2, 30, 30, BLACK)
    rect(9, 3, 29, 29, WHITE)
    fold = 6
    for i in range(int(fold * s)):
        for j in range(int(fold * s) - i):
            px[int(2 * s) + i][size - int(2 * s) - 1 - j] = CLEAR
    for i in range(int(fold * s)):
        px[int(2 * s) + i][size - int(2 * s) - int(fold * s) + i] = BLACK
        for j in range(i):
            px[int(2 * s) + i][size - int(2 * s) - int(fold * s) + j] = SILVER
    # Quoted rows of the CSV file: a header row and ruled lines.
    rect(11, 10, 27, 12, NAVY)
    for y in (15, 19, 23):
        rect(11, y, 27, y + 1 if size >= 32 else y + 2, GRAY)
    # The newest record, highlighted.
    rect(11, 26, 27, 28, GREEN)
    # The serial line feeding it.
    rect(1, 20, 9, 22, TEAL)
    rect(1, 17, 4, 25, BLACK)
    rect(2, 18, 3, 24, LIME if size >= 32 else TEAL)
    return px


def to_mono(px):
    """Two colours: black and white, transparency kept."""
    out = []
    for row in px:
        out.append([CLEAR if c is CLEAR else (WHITE if c in (WHITE, SILVER, LIME) else BLACK)
                    for c in row])
    return out


def png(px):
    size = len(px)
    raw = b""
    for row in px:
        raw += b"\0" + b"".join(
            bytes(PALETTE[c]) + b"\xff" if c is not CLEAR else b"\0\0\0\0" for c in row)

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def ico_bitmap(px, bits):
    """A classic icon image: header, palette, colour bits and transparency mask."""
    size = len(px)
    colours = 2 if bits == 1 else 16
    palette = [(0, 0, 0), (255, 255, 255)] if bits == 1 else PALETTE
    index = (lambda c: 0 if c in (CLEAR, BLACK) else 1) if bits == 1 else (lambda c: 0 if c is CLEAR else c)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, 0, 0, 0, colours, 0)
    pal = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)

    def packed_rows(value_of, depth):
        rows = b""
        for row in reversed(px):  # bottom-up
            bitstr = 0
            nbits = 0
            data = bytearray()
            for c in row:
                bitstr = (bitstr << depth) | value_of(c)
                nbits += depth
                if nbits == 8:
                    data.append(bitstr)
                    bitstr = nbits = 0
            while len(data) % 4:
                data.append(0)
            rows += bytes(data)
        return rows

    xor = packed_rows(index, bits)
    mask = packed_rows(lambda c: 1 if c is CLEAR else 0, 1)
    return header + pal + xor + mask, colours


def ico(images):
    entries = b""
    data = b""
    offset = 6 + 16 * len(images)
    for px, bits in images:
        blob, colours = ico_bitmap(px, bits)
        size = len(px)
        entries += struct.pack("<BBBBHHII", size, size, colours % 256, 0, 1, bits, len(blob), offset)
        data += blob
        offset += len(blob)
    return struct.pack("<HHH", 0, 1, len(images)) + entries + data


def icns(pngs):
    body = b"".join(kind + struct.pack(">I", len(p) + 8) + p for kind, p in pngs)
    return b"icns" + struct.pack(">I", len(body) + 8) + body


def main(folder):
    p16, p32 = draw(16), draw(32)
    files = {
        "kelmor-csv-16.png": png(p16),
        "kelmor-csv-32.png": png(p32),
        "kelmor-csv.ico": ico([(to_mono(p32), 1), (p32, 4), (p16, 4)]),
        "kelmor-csv.icns": icns([(b"icp4", png(p16)), (b"icp5", png(p32))]),
    }
    for name, blob in files.items():
        with open(folder + "/" + name, "wb") as f:
            f.write(blob)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "assets/icons")
