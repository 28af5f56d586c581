#!/usr/bin/env python3
"""Generates an application tree shaped like the shipped payload, the same
tree for the same arguments.

At scale 1: 7,456 files, 205 of them at the top level, 1,352 directories at
most 7 levels deep, 1,295,318,514 bytes in all, no empty file, and main.dll of
235,730,944 bytes: the benchmark application library with zero-free filler
appended after its image (the loader maps the sections only, so the overlay
costs the child nothing). A smaller --scale shrinks file count, directory
count and bytes alike; the depth stays 7.

Usage: make_tree.py OUT_DIR --app-dll bench_app.dll [--scale 0.25] [--seed N]
A stamp file OUT_DIR.stamp records the arguments; an existing tree with the
same stamp is kept as it is.
"""
import argparse
import hashlib
import json
import math
import os
import random
import shutil
import sys

FILES = 7456
TOP_LEVEL_FILES = 205
DIRECTORIES = 1352
MAX_DEPTH = 7
TOTAL_BYTES = 1_295_318_514
MAIN_BYTES = 235_730_944
MAIN_NAME = "main.dll"

BLOCK_BYTES = 4 << 20  # the pool of pseudo-random bytes every file is cut from

DIRECTORY_STEMS = ["lib", "share", "plugins", "data", "locale", "modules", "site", "extensions",
                   "resources", "platforms", "imageformats", "encodings", "tests", "core",
                   "widgets", "styles", "themes", "fonts", "icons", "translations", "sql",
                   "multimedia", "network", "xml", "json", "util", "config", "backends"]
FILE_KINDS = [(".py", 30), (".pyc", 20), (".pyd", 6), (".dll", 5), (".dat", 6), (".txt", 6),
              (".json", 5), (".png", 8), (".qm", 4), (".so", 2), (".bin", 3), (".xml", 5)]


def shape(scale):
    """File, top-level file, directory counts and byte totals at `scale`."""
    files = max(3, round(FILES * scale))
    top = min(files - 1, max(2, round(TOP_LEVEL_FILES * scale)))
    directories = min(files - top, max(MAX_DEPTH, round(DIRECTORIES * scale)))
    return files, top, directories, round(TOTAL_BYTES * scale), round(MAIN_BYTES * scale)


def make_directories(rng, count):
    """`count` relative directory paths (tuples of components), parents before
    children, one chain reaching MAX_DEPTH."""
    dirs = []
    names_below = {(): set()}

    def add(parent):
        while True:
            stem = rng.choice(DIRECTORY_STEMS)
            name = stem if rng.random() < 0.3 else f"{stem}_{rng.randrange(1000):03d}"
            if name not in names_below[parent]:
                break
        names_below[parent].add(name)
        path = parent + (name,)
        names_below[path] = set()
        dirs.append(path)
        return path

    parent = ()
    for _ in range(min(MAX_DEPTH, count)):
        parent = add(parent)
    top_level = max(1, min(count - len(dirs), round(count / 100)))
    for _ in range(top_level - 1):
        add(())
    while len(dirs) < count:
        # Shallow directories get more children, as package trees do.
        parent = rng.choice(dirs)
        while len(parent) >= MAX_DEPTH or rng.random() < 0.15 * len(parent) / MAX_DEPTH:
            parent = parent[:-1]
        add(parent)
    return dirs


def file_sizes(rng, count, total):
    """`count` sizes of at least 1 byte adding up to `total`, log-normal:
    many small files, a few large ones."""
    weights = [rng.lognormvariate(0, 2.2) for _ in range(count)]
    factor = total / sum(weights)
    sizes = [max(1, int(w * factor)) for w in weights]
    largest = max(range(count), key=lambda i: sizes[i])
    sizes[largest] += total - sum(sizes)
    if sizes[largest] < 1:
        raise SystemExit("make_tree: total too small for the file count")
    return sizes


def plan(scale, seed):
    """The tree as a list of (relative path components, size); main.dll first."""
    rng = random.Random(seed)
    files, top, directory_count, total, main_bytes = shape(scale)
    dirs = make_directories(rng, directory_count)

    # Every directory holds at least one file; the rest go to a few busy ones.
    homes = [()] * (top - 1) + list(dirs)
    busy = rng.sample(dirs, max(1, len(dirs) // 5))
    while len(homes) < files - 1:
        homes.append(rng.choice(busy) if rng.random() < 0.7 else rng.choice(dirs))

    kinds = [kind for kind, weight in FILE_KINDS for _ in range(weight)]
    used = {}
    entries = []
    for home in homes:
        taken = used.setdefault(home, {MAIN_NAME} if home == () else set())
        while True:
            name = f"{rng.choice(['mod', 'res', 'item', 'part', 'asset'])}_{rng.randrange(100000):05d}" \
                   f"{rng.choice(kinds)}"
            if name.lower() not in taken:
                break
        taken.add(name.lower())
        entries.append(home + (name,))
    sizes = file_sizes(rng, len(entries), total - main_bytes)
    return [((MAIN_NAME,), main_bytes)] + list(zip(entries, sizes)), dirs


def write_tree(out_dir, entries, app_dll, seed):
    block = random.Random(seed ^ 0x5EED).randbytes(BLOCK_BYTES)
    with open(app_dll, "rb") as f:
        image = f.read()
    main_path, main_size = entries[0]
    if main_size < len(image):
        raise SystemExit(f"make_tree: {app_dll} is larger than main.dll's {main_size} bytes")
    os.makedirs(out_dir)
    for index, (parts, size) in enumerate(entries):
        path = os.path.join(out_dir, *parts)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            offset = 0
            if index == 0:
                f.write(image)
                offset = len(image)
            start = (index * 1_000_003) % BLOCK_BYTES
            while offset < size:
                piece = min(size - offset, BLOCK_BYTES - start)
                f.write(block[start:start + piece])
                offset += piece
                start = 0


def measure(out_dir):
    files = top = total = depth = 0
    directories = 0
    for root, dirnames, filenames in os.walk(out_dir):
        rel = os.path.relpath(root, out_dir)
        level = 0 if rel == "." else rel.count(os.sep) + 1
        directories += len(dirnames)
        for name in filenames:
            files += 1
            top += level == 0
            depth = max(depth, level)
            total += os.path.getsize(os.path.join(root, name))
    return {"files": files, "top_level_files": top, "directories": directories,
            "max_depth": depth, "bytes": total}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("out_dir")
    parser.add_argument("--app-dll", required=True, help="the DLL main.dll starts with")
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--seed", type=int, default=20240611)
    args = parser.parse_args()
    if not 0 < args.scale <= 1:
        parser.error("--scale must be in (0, 1]")

    with open(args.app_dll, "rb") as f:
        dll_digest = hashlib.sha256(f.read()).hexdigest()
    stamp = json.dumps({"scale": args.scale, "seed": args.seed, "dll": dll_digest})
    stamp_path = args.out_dir.rstrip("/") + ".stamp"
    if os.path.isdir(args.out_dir) and os.path.exists(stamp_path):
        with open(stamp_path) as f:
            if f.read() == stamp:
                print(json.dumps(measure(args.out_dir)))
                return
    shutil.rmtree(args.out_dir, ignore_errors=True)
    if os.path.exists(stamp_path):
        os.remove(stamp_path)

    entries, _ = plan(args.scale, args.seed)
    write_tree(args.out_dir, entries, args.app_dll, args.seed)
    figures = measure(args.out_dir)
    files, top, directories, total, _ = shape(args.scale)
    expected = {"files": files, "top_level_files": top, "directories": directories,
                "max_depth": min(MAX_DEPTH, directories), "bytes": total}
    if figures != expected:
        sys.exit(f"make_tree: made {figures}, meant {expected}")
    with open(stamp_path, "w") as f:
        f.write(stamp)
    print(json.dumps(figures))


if __name__ == "__main__":
    main()
