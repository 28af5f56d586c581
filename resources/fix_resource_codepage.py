#!/usr/bin/env python3
"""Sets the code page of every resource data entry of a PE image to 1252.

Usage: fix_resource_codepage.py IMAGE

windres (GNU binutils 2.40) writes 0 into the CodePage field of each
IMAGE_RESOURCE_DATA_ENTRY whatever its -c option or a code_page pragma say,
and ld copies the field through, so the linked image is patched in place.
Only those four-byte fields change; an image without resources is an error,
since the launcher stub must carry them.
"""
import struct
import sys

CODE_PAGE = 1252
MAX_DEPTH = 3  # type, id, language


def fail(message):
    sys.exit("fix_resource_codepage: %s" % message)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: fix_resource_codepage.py IMAGE")
    path = sys.argv[1]
    with open(path, "rb") as f:
        image = bytearray(f.read())

    def u16(off):
        return struct.unpack_from("<H", image, off)[0]

    def u32(off):
        return struct.unpack_from("<I", image, off)[0]

    if image[:2] != b"MZ":
        fail("%s: no MZ header" % path)
    pe = u32(0x3C)
    if image[pe:pe + 4] != b"PE\0\0":
        fail("%s: no PE signature" % path)
    sections = u16(pe + 6)
    opt = pe + 24
    opt_size = u16(pe + 20)
    magic = u16(opt)
    dirs = opt + (112 if magic == 0x20B else 96)
    count = u32(dirs - 4)
    if count <= 2:
        fail("%s: no resource directory slot" % path)
    rsrc_rva, rsrc_size = struct.unpack_from("<II", image, dirs + 2 * 8)
    if rsrc_rva == 0 or rsrc_size == 0:
        fail("%s: carries no resources" % path)

    table = opt + opt_size
    section = None
    for i in range(sections):
        s = table + 40 * i
        vsize, va, raw_size, raw_ptr = struct.unpack_from("<IIII", image, s + 8)
        if va <= rsrc_rva < va + max(vsize, raw_size):
            section = (va, raw_ptr, raw_size)
    if section is None:
        fail("%s: resource directory outside every section" % path)
    va, raw_ptr, raw_size = section
    base = raw_ptr + (rsrc_rva - va)
    end = raw_ptr + raw_size

    patched = 0

    def walk(dir_off, depth):
        nonlocal patched
        if depth > MAX_DEPTH or dir_off + 16 > end:
            fail("%s: malformed resource directory" % path)
        entries = u16(dir_off + 12) + u16(dir_off + 14)
        for i in range(entries):
            target = u32(dir_off + 16 + 8 * i + 4)
            if target & 0x80000000:
                walk(base + (target & 0x7FFFFFFF), depth + 1)
            else:
                leaf = base + target
                if leaf + 16 > end:
                    fail("%s: data entry outside the section" % path)
                struct.pack_into("<I", image, leaf + 8, CODE_PAGE)
                patched += 1

    walk(base, 1)
    if patched == 0:
        fail("%s: resource directory holds no data" % path)
    with open(path, "r+b") as f:
        f.write(image)


if __name__ == "__main__":
    main()
