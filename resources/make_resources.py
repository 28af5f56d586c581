#!/usr/bin/env python3
"""Writes the launcher's binary resources into one directory: six PNG icons,
the icon directory that names them, and the version block.

Usage: make_resources.py OUTPUT_DIR

Standard library only. The output depends on nothing but this file (and
zlib's compressor), so two builds give the same bytes.
"""
import os
import struct
import sys
import zlib

# RT_ICON ids 1..6 in this order; the icon directory lists them the same way.
ICON_SIZES = (16, 32, 48, 64, 128, 256)
# The largest image is written with its compressed data split over two IDAT
# chunks, as the shipped icon set has always had it.
SPLIT_IDAT_SIZE = 256

COMPANY = "Marrowlake"
PRODUCT = "Marrowlake"
VERSION = (1, 0, 9, 0)
EXE_NAME = "Marrowlake.exe"
VERSION_BLOCK_SIZE = 632


# ---------------------------------------------------------------- icons

def png_chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))


def icon_pixel(size, x, y):
    """A rounded tile with a diagonal gradient and a light ring: any artwork
    will do, this one stays recognisable from 16 to 256 pixels."""
    c = (size - 1) / 2.0
    dx, dy = (x - c) / size, (y - c) / size
    r2 = dx * dx + dy * dy
    # Outside the tile: a flat background colour (the images have no alpha).
    corner = max(abs(dx), abs(dy))
    if corner > 0.47:
        return (236, 240, 244)
    t = (x + y) / (2.0 * (size - 1))
    base = (int(30 + 40 * t), int(90 + 70 * t), int(160 + 60 * t))
    if 0.06 < r2 < 0.10:
        return (250, 214, 120)
    if r2 <= 0.02:
        return (250, 250, 250)
    return base


def make_png(size):
    raw = bytearray()
    for y in range(size):
        raw.append(0)  # filter type None for every row
        for x in range(size):
            raw.extend(icon_pixel(size, x, y))
    packed = zlib.compress(bytes(raw), 9)
    # width, height, bit depth 8, colour type 2 (RGB), compression 0, filter 0, interlace 0
    ihdr = struct.pack(">IIBBBBB", size, size, 8, 2, 0, 0, 0)
    parts = [b"\x89PNG\r\n\x1a\n", png_chunk(b"IHDR", ihdr)]
    if size == SPLIT_IDAT_SIZE:
        half = len(packed) // 2
        parts += [png_chunk(b"IDAT", packed[:half]), png_chunk(b"IDAT", packed[half:])]
    else:
        parts.append(png_chunk(b"IDAT", packed))
    parts.append(png_chunk(b"IEND", b""))
    return b"".join(parts)


def make_icon_directory(png_sizes):
    """RT_GROUP_ICON: reserved 0, type 1, count, then 14-byte entries."""
    out = struct.pack("<HHH", 0, 1, len(png_sizes))
    for icon_id, (pixels, byte_size) in enumerate(png_sizes, start=1):
        dim = 0 if pixels == 256 else pixels  # a byte field: 0 stands for 256
        # width, height, colour count 0, reserved 0, planes 0, bit count 32, bytes, id
        out += struct.pack("<BBBBHHIH", dim, dim, 0, 0, 0, 32, byte_size, icon_id)
    return out


# ---------------------------------------------------------------- version block

def utf16z(text):
    return (text + "\0").encode("utf-16-le")


def pad4(data):
    return data + b"\0" * (-len(data) % 4)


def version_node(key, value, value_length, value_type, children=()):
    """One node: wLength, wValueLength, wType, key, padding, value, padding,
    children each starting on a 4-byte boundary. wLength stops at the end of
    the node's own last byte, without the padding that may follow it."""
    head = pad4(struct.pack("<HHH", 0, value_length, value_type) + utf16z(key))
    body = head + value
    for child in children:
        body = pad4(body) + child
    return struct.pack("<H", len(body)) + body[2:]


def string_entry(key, text):
    value = utf16z(text)
    # The value length is given in bytes, terminator included (22 for a
    # ten-character value), where the resource compiler would count characters.
    return version_node(key, value, len(value), 1)


def make_version_block():
    hi = (VERSION[0] << 16) | VERSION[1]
    lo = (VERSION[2] << 16) | VERSION[3]
    fixed = struct.pack(
        "<13I",
        0xFEEF04BD,  # signature
        0,           # structure version
        hi, lo,      # file version 1.0.9.0
        hi, lo,      # product version 1.0.9.0
        0x3F,        # flags mask
        0,           # flags
        0x4,         # VOS__WINDOWS32
        1,           # VFT_APP
        0,           # subtype
        0, 0)        # file date
    dotted = ".".join(str(part) for part in VERSION)
    strings = [
        ("CompanyName", COMPANY),
        ("ProductName", PRODUCT),
        ("ProductVersion", dotted),
        ("FileVersion", dotted),
        ("OriginalFilename", EXE_NAME),
        ("InternalName", PRODUCT),
        ("FileDescription", EXE_NAME),
    ]
    table = version_node("000004b0", b"", 0, 1, [string_entry(k, v) for k, v in strings])
    string_info = version_node("StringFileInfo", b"", 0, 1, [table])
    translation = struct.pack("<HH", 0x0000, 0x04B0)
    var = version_node("Translation", translation, len(translation), 0)
    var_info = version_node("VarFileInfo", b"", 0, 1, [var])
    block = version_node("VS_VERSION_INFO", fixed, len(fixed), 0, [string_info, var_info])
    if len(block) != VERSION_BLOCK_SIZE:
        sys.exit("make_resources: version block is %d bytes, expected %d"
                 % (len(block), VERSION_BLOCK_SIZE))
    return block


def write_if_changed(path, data):
    # Unchanged outputs keep their time stamps, so the resource object is not rebuilt.
    try:
        with open(path, "rb") as f:
            if f.read() == data:
                return
    except FileNotFoundError:
        pass
    with open(path, "wb") as f:
        f.write(data)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_resources.py OUTPUT_DIR")
    out_dir = sys.argv[1]
    os.makedirs(out_dir, exist_ok=True)
    png_sizes = []
    for pixels in ICON_SIZES:
        png = make_png(pixels)
        write_if_changed(os.path.join(out_dir, "icon_%d.png" % pixels), png)
        png_sizes.append((pixels, len(png)))
    write_if_changed(os.path.join(out_dir, "icons.grp"), make_icon_directory(png_sizes))
    write_if_changed(os.path.join(out_dir, "version.bin"), make_version_block())


if __name__ == "__main__":
    main()
