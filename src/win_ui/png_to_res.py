#!/usr/bin/env python3
"""Converts the program's PNG images into the forms the resource compiler
takes: icon groups (.ico, 32 bits per pixel with an AND mask), the 8-bit
banner (.bmp) and the monochrome link cursor (.cur).

Usage: png_to_res.py IMAGE_DIR OUT_DIR
"""
import struct
import sys
import zlib
from pathlib import Path

ICON_IDS = (128, 137, 138, 140)
ICON_SIZES = (16, 32, 48)
BANNER_ID = 131
CURSOR_ID = 132
# The tip of the pointing finger.
CURSOR_HOT_SPOT = (10, 1)


class Png:
    """An 8-bit RGBA or palette PNG, non-interlaced, decoded into rows of
    (r, g, b, a) tuples; a palette image also keeps its indices."""

    def __init__(self, path):
        data = Path(path).read_bytes()
        if data[:8] != b"\x89PNG\r\n\x1a\n":
            raise ValueError(f"{path}: not a PNG file")
        pos, idat, self.palette, alpha = 8, b"", [], b""
        while pos < len(data):
            length, kind = struct.unpack(">I4s", data[pos:pos + 8])
            body = data[pos + 8:pos + 8 + length]
            pos += 12 + length
            if kind == b"IHDR":
                self.width, self.height, depth, self.color, _, _, interlace = struct.unpack(
                    ">IIBBBBB", body)
                if depth != 8 or self.color not in (3, 6) or interlace:
                    raise ValueError(f"{path}: only 8-bit RGBA or palette PNGs, not interlaced")
            elif kind == b"PLTE":
                self.palette = [tuple(body[i:i + 3]) for i in range(0, len(body), 3)]
            elif kind == b"tRNS":
                alpha = body
            elif kind == b"IDAT":
                idat += body
        channels = 4 if self.color == 6 else 1
        raw = zlib.decompress(idat)
        stride = self.width * channels
        rows, prev = [], bytearray(stride)
        for y in range(self.height):
            start = y * (stride + 1)
            kind, line = raw[start], bytearray(raw[start + 1:start + 1 + stride])
            for i in range(stride):
                a = line[i - channels] if i >= channels else 0
                b = prev[i]
                c = prev[i - channels] if i >= channels else 0
                if kind == 1:
                    line[i] = (line[i] + a) & 0xFF
                elif kind == 2:
                    line[i] = (line[i] + b) & 0xFF
                elif kind == 3:
                    line[i] = (line[i] + (a + b) // 2) & 0xFF
                elif kind == 4:
                    p = a + b - c
                    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                    pred = a if pa <= pb and pa <= pc else b if pb <= pc else c
                    line[i] = (line[i] + pred) & 0xFF
                elif kind != 0:
                    raise ValueError(f"{path}: bad filter {kind}")
            rows.append(bytes(line))
            prev = line
        self.indices = rows if self.color == 3 else None
        if self.color == 6:
            self.pixels = [[tuple(r[x * 4:x * 4 + 4]) for x in range(self.width)] for r in rows]
        else:
            def rgba(i):
                return self.palette[i] + ((alpha[i] if i < len(alpha) else 255),)
            self.pixels = [[rgba(i) for i in r] for r in rows]


def mask_rows(png, opaque):
    """The AND mask, bottom row first, each row padded to 32 bits: 1 where
    the pixel is transparent."""
    row_bytes = (png.width + 31) // 32 * 4
    out = b""
    for row in reversed(png.pixels):
        bits = bytearray(row_bytes)
        for x, px in enumerate(row):
            if not opaque(px):
                bits[x // 8] |= 0x80 >> (x % 8)
        out += bytes(bits)
    return out


def icon_image(png):
    header = struct.pack("<IiiHHIIiiII", 40, png.width, png.height * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = b"".join(bytes((b, g, r, a)) for row in reversed(png.pixels) for (r, g, b, a) in row)
    return header + xor + mask_rows(png, lambda px: px[3] >= 128)


def cursor_image(png):
    """Black and white: opaque pixels keep their shade (white above mid
    grey), transparent ones show the screen."""
    header = struct.pack("<IiiHHIIiiII", 40, png.width, png.height * 2, 1, 1, 0, 0, 0, 0, 2, 0)
    palette = bytes((0, 0, 0, 0, 255, 255, 255, 0))
    row_bytes = (png.width + 31) // 32 * 4
    xor = b""
    for row in reversed(png.pixels):
        bits = bytearray(row_bytes)
        for x, (r, g, b, a) in enumerate(row):
            if a >= 128 and r + g + b >= 3 * 128:
                bits[x // 8] |= 0x80 >> (x % 8)
        xor += bytes(bits)
    return header + palette + xor + mask_rows(png, lambda px: px[3] >= 128)


def icon_file(images, kind, extra):
    """An .ico (KIND 1) or .cur (KIND 2) file; EXTRA gives each entry's
    planes and bit count (icons) or hot spot (cursors)."""
    out = struct.pack("<HHH", 0, kind, len(images))
    offset = 6 + 16 * len(images)
    for (png, data), (w1, w2) in zip(images, extra):
        size = lambda v: 0 if v >= 256 else v
        colours = 2 if kind == 2 else 0
        out += struct.pack("<BBBBHHII", size(png.width), size(png.height), colours, 0, w1, w2,
                           len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, data in images)


def bitmap_file(png):
    if png.indices is None:
        raise ValueError("the banner must be a palette image")
    palette = png.palette + [(0, 0, 0)] * (256 - len(png.palette))
    row_bytes = (png.width + 3) // 4 * 4
    pixels = b"".join(r + bytes(row_bytes - png.width) for r in reversed(png.indices))
    info = struct.pack("<IiiHHIIiiII", 40, png.width, png.height, 1, 8, 0, len(pixels), 2835,
                       2835, 256, 0)
    table = b"".join(bytes((b, g, r, 0)) for (r, g, b) in palette)
    offset = 14 + len(info) + len(table)
    return struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset) + info + table + pixels


def main(argv):
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    src, out = Path(argv[1]), Path(argv[2])
    out.mkdir(parents=True, exist_ok=True)
    for icon_id in ICON_IDS:
        images = [(p, icon_image(p))
                  for p in (Png(src / f"icon_{icon_id}_{s}.png") for s in ICON_SIZES)]
        (out / f"icon_{icon_id}.ico").write_bytes(icon_file(images, 1, [(1, 32)] * len(images)))
    cursor = Png(src / f"cursor_{CURSOR_ID}.png")
    (out / f"cursor_{CURSOR_ID}.cur").write_bytes(
        icon_file([(cursor, cursor_image(cursor))], 2, [CURSOR_HOT_SPOT]))
    (out / f"bitmap_{BANNER_ID}.bmp").write_bytes(bitmap_file(Png(src / f"bitmap_{BANNER_ID}.png")))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
