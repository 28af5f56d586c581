#!/usr/bin/env python3
"""Writes the desktop example's icon, app.ico: one standard .ico holding both
kinds of image a packer must accept, 16 and 32 pixels as 32-bit BMP (DIB with
its AND mask), 48 and 256 pixels as PNG with alpha.

Usage: make_icon.py OUTPUT.ico      (standard library only; same bytes each run)
"""
import struct
import sys
import zlib

BMP_SIZES = (16, 32)
PNG_SIZES = (48, 256)


def icon_pixel(size, x, y):
    """RGBA of a small window on a rounded tile: a title bar and list rows,
    readable from 16 to 256 pixels. Outside the tile is transparent."""
    u, v = (x + 0.5) / size, (y + 0.5) / size
    radius, inset = 0.18, 0.04
    # Rounded-square tile.
    cx = min(max(u, inset + radius), 1 - inset - radius)
    cy = min(max(v, inset + radius), 1 - inset - radius)
    if (u - cx) ** 2 + (v - cy) ** 2 > radius ** 2:
        return (0, 0, 0, 0)
    shade = int(40 * v)
    tile = (24 + shade, 96 + shade, 150 + shade, 255)
    # The window: white, with an orange title bar and grey rows.
    if 0.18 <= u <= 0.82 and 0.22 <= v <= 0.80:
        if v <= 0.34:
            return (242, 148, 46, 255)
        row = (v - 0.34) / 0.46 * 4
        if 0.26 <= u <= 0.74 and 0.35 <= row % 1 <= 0.75:
            return (150, 160, 172, 255)
        return (250, 250, 250, 255)
    return tile


def png_chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))


def make_png(size):
    raw = bytearray()
    for y in range(size):
        raw.append(0)  # filter None
        for x in range(size):
            raw.extend(icon_pixel(size, x, y))
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # RGBA, 8 bits
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", header) +
            png_chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + png_chunk(b"IEND", b""))


def make_dib(size):
    """BITMAPINFOHEADER with the doubled height of icon images, BGRA rows
    bottom up, then the 1-bit AND mask (set where transparent), rows padded
    to 32 bits."""
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = bytearray()
    mask = bytearray()
    mask_row_bytes = (size + 31) // 32 * 4
    for y in reversed(range(size)):
        row_mask = bytearray(mask_row_bytes)
        for x in range(size):
            r, g, b, a = icon_pixel(size, x, y)
            colour.extend((b, g, r, a))
            if a == 0:
                row_mask[x // 8] |= 0x80 >> (x % 8)
        mask.extend(row_mask)
    return header + bytes(colour) + bytes(mask)


def make_ico():
    images = [(s, make_dib(s)) for s in BMP_SIZES] + [(s, make_png(s)) for s in PNG_SIZES]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        side = 0 if size == 256 else size
        out += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, data in images)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: make_icon.py OUTPUT.ico")
    with open(sys.argv[1], "wb") as f:
        f.write(make_ico())
