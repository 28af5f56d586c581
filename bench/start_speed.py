#!/usr/bin/env python3
"""Start speed side by side: the compressed payload against the stored one,
and a cache's first start against the same launcher with every flush made
free (bench_launcher.exe, BENCH_NO_FLUSH=1: the first start as it was before
caches were made durable). One run, contenders in a shuffled order each
round; the table quotes ratios of medians.

Usage (through scripts/with-wineserver):
  start_speed.py BUILD_DIR [--scale S] [--reps N] [--stub-before OTHER.exe]
--stub-before adds a third contender to the cache's first start (another
stub, packed alike).
"""
import argparse
import os
import random
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run  # noqa: E402  (the bench's own helpers)


def start_rows(bench, reps, level):
    """Start → run_code of Wine's real PE files, stored against --compress,
    warm, shuffled each round."""
    tree = bench.pe_tree()
    exes = {}
    for what, extra in (("stored", []), ("compressed", [f"--compress={level}"])):
        exe = os.path.join(bench.work, f"speed-{what}-{bench.scale:g}.exe")
        subprocess.run([bench.pack_tool, "pack", tree, "-o", exe, "--stub", bench.stub, "--main", "main.dll",
                        "--no-check", "--quiet", *extra], check=True)
        exes[what] = exe
    series = {what: run.Series(f"real PE files, warm: {what} start → run_code") for what in exes}
    for exe in exes.values():
        bench.run_packed(exe)
    for round_ in range(reps):
        order = list(exes)
        random.Random(round_).shuffle(order)
        for what in order:
            run.settle()
            series[what].add(bench.run_packed(exes[what])[0])
    return series


def cache_rows(bench, reps, stub_before):
    """A cache's first start (no cache there) of the bench tree: this
    launcher against bench_launcher.exe without flushes, shuffled."""
    contenders = {"this launcher": (bench.stub, {}),
                  "without flushes": (os.path.join(bench.bin, "bench_launcher.exe"), {"BENCH_NO_FLUSH": "1"})}
    if stub_before:
        contenders["the stub before"] = (stub_before, {})
    packed = {}
    for index, (name, (stub, env)) in enumerate(contenders.items()):
        cache_dir = os.path.join(bench.work, f"speed-cache-{index}-{bench.scale:g}", "app")
        exe = os.path.join(bench.work, f"speed-cache-{index}-{bench.scale:g}.exe")
        subprocess.run([bench.pack_tool, "pack", bench.tree, "-o", exe, "--stub", stub, "--main", "main.dll",
                        "--no-check", "--quiet", "--run-directory", run.windows_path(cache_dir)], check=True)
        packed[name] = (exe, env, os.path.dirname(cache_dir))
    first = {name: run.Series(f"cache, first start: {name} → run_code") for name in packed}
    second = run.Series("cache, second start: this launcher → run_code")

    def first_start(name):
        exe, env, folder = packed[name]
        shutil.rmtree(folder, ignore_errors=True)
        run.settle()
        seconds = bench.run_windows(exe, extra_env=env)[0]
        return seconds

    for name in packed:
        first_start(name)
    for round_ in range(reps):
        order = list(packed)
        random.Random(round_).shuffle(order)
        for name in order:
            first[name].add(first_start(name))
            if name == "this launcher":
                run.settle()
                second.add(bench.run_windows(packed[name][0])[0])
    for exe, _, folder in packed.values():
        shutil.rmtree(folder, ignore_errors=True)
    return first, second


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build")
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--reps", type=int, default=7)
    parser.add_argument("--level", type=int, default=3)
    parser.add_argument("--stub-before")
    parser.add_argument("--no-cache", action="store_true", help="only stored against --compress")
    parser.add_argument("--no-compress", action="store_true", help="only the cache's first start")
    args = parser.parse_args()
    args.tiny_reps, args.memory_reps, args.markdown = 0, 0, None
    stub_before = os.path.abspath(args.stub_before) if args.stub_before else None
    args.stub_before = None

    import ctypes
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(run.PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        sys.exit("bench: cannot become a child subreaper")
    bench = run.Bench(args)
    bench.prepare()
    began = time.time()
    table = run.Table()
    shape = bench.shape
    header = (f"scale {args.scale:g}: bench tree {shape['files']} files, {shape['bytes']:,} bytes; "
              f"{args.reps} rounds")
    if not args.no_compress:
        print("bench: stored against --compress ...", file=sys.stderr, flush=True)
        series = start_rows(bench, args.reps, args.level)
        table.heading(f"Start to run_code: --compress={args.level} against stored (Wine's PE files)")
        for s in series.values():
            table.series(s)
        table.ratio("warm: compressed / stored start → run_code", series["compressed"], series["stored"], 1.1)
    if not args.no_cache:
        print("bench: a cache's first start ...", file=sys.stderr, flush=True)
        first, second = cache_rows(bench, args.reps, stub_before)
        table.heading("A cache's first start (bench tree)")
        for s in (*first.values(), second):
            table.series(s)
        table.ratio("first start / without flushes", first["this launcher"], first["without flushes"], 1.1)
        if "the stub before" in first:
            table.ratio("first start / the stub before", first["this launcher"], first["the stub before"])
    print(run.table_text(header, began, table, bench.notes))


if __name__ == "__main__":
    main()
