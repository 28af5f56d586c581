"""The payload's forms side by side on real PE files (run.py --forms-only):
stored, --compress and --compress=max against tar, tar | zstd and tar | xz,
each one's size, its start (to run_code) or extraction, and its pack time,
in one run with alternating rounds."""
import os
import random
import shutil

XZ = "xz -6 -T2"
ZSTD = "zstd -3 -T0"


class Form:
    """A contender: how it is packed, and how it starts or is extracted."""

    def __init__(self, name, path, pack, run):
        self.name, self.path, self.pack, self.run = name, path, pack, run


def forms(bench, tree):
    """The six contenders over `tree` (bench.pe_tree())."""
    scale = f"{bench.scale:g}"
    out = {key: os.path.join(bench.work, f"forms-{key}-{scale}{ext}")
           for key, ext in (("stored", ".exe"), ("zstd", ".exe"), ("max", ".exe"),
                            ("tar", ".tar"), ("tarzst", ".tar.zst"), ("tarxz", ".tar.xz"))}
    target = os.path.join(bench.temp, "bench_forms")

    def packer(exe, *extra):
        return [bench.pack_tool, "pack", tree, "-o", exe, "--stub", bench.stub, "--main", "main.dll",
                "--no-check", "--quiet", *extra]

    def shell(text):
        return ["sh", "-c", text]

    def start(exe):
        return lambda: bench.run_packed(exe)[0]

    def extract(command):
        def run():
            shutil.rmtree(target, ignore_errors=True)
            os.makedirs(target)
            _, seconds, status, _ = bench.timed(shell(command))
            if status != 0:
                raise SystemExit(f"bench: '{command}' failed")
            shutil.rmtree(target, ignore_errors=True)
            return seconds
        return run

    return [
        Form("onefile stored", out["stored"], packer(out["stored"]), start(out["stored"])),
        Form("onefile --compress", out["zstd"], packer(out["zstd"], "--compress"), start(out["zstd"])),
        Form("onefile --compress=max", out["max"], packer(out["max"], "--compress=max"), start(out["max"])),
        Form("tar -xf", out["tar"], shell(f"tar -chf '{out['tar']}' -C '{tree}' ."),
             extract(f"tar -xf '{out['tar']}' -C '{target}'")),
        Form(f"zstd -dc | tar -x ({ZSTD})", out["tarzst"],
             shell(f"tar -chf - -C '{tree}' . | {ZSTD} -q -f -o '{out['tarzst']}'"),
             extract(f"zstd -q -dc '{out['tarzst']}' | tar -xf - -C '{target}'")),
        Form(f"xz -dc | tar -x ({XZ})", out["tarxz"],
             shell(f"tar -chf - -C '{tree}' . | {XZ} -c > '{out['tarxz']}'"),
             extract(f"xz -dc -T2 '{out['tarxz']}' | tar -xf - -C '{target}'")),
    ]


def measure(bench, reps, pack_reps, settle, Series):
    """Packs every form pack_reps times and starts or extracts each reps
    times, the order shuffled each round (the same on every run); returns
    the forms, their size in bytes, and the pack and start series, and the
    parent's largest private memory with --compress=max."""
    tree = bench.pe_tree()
    contenders = forms(bench, tree)
    packs = {f.name: Series(f"{f.name}: pack") for f in contenders}
    starts = {f.name: Series(f"{f.name}: start → run_code" if f.name.startswith("onefile")
                             else f"{f.name}: extraction") for f in contenders}
    for round_ in range(pack_reps):
        order = list(contenders)
        random.Random(100 + round_).shuffle(order)
        for f in order:
            settle()
            packs[f.name].add(bench.peak_of(f.pack)[0])
    sizes = {f.name: os.path.getsize(f.path) for f in contenders}
    for f in contenders:  # one untimed round warms the page cache
        f.run()
    for round_ in range(reps):
        order = list(contenders)
        random.Random(round_).shuffle(order)
        for f in order:
            settle()
            starts[f.name].add(f.run())
    _, anon, _ = bench.memory(contenders[2].path, 1)
    return contenders, sizes, packs, starts, anon["parent"]


def forms_table(bench, table, reps, pack_reps, settle, Series):
    contenders, sizes, packs, starts, private = measure(bench, reps, pack_reps, settle, Series)
    table.heading("Payload forms on real PE files: size, start or extraction (warm), pack")
    names = [f.name for f in contenders]
    stored, zstd, solid, _, _, xz = names
    for name in names:
        table.rows.append((f"{name}: size (MB)", f"{sizes[name] / 1e6:.1f}", "",
                           f"{sizes[name] / sizes[stored]:.3f} of stored", ""))
    for name in names:
        table.series(starts[name])
    for name in names:
        table.series(packs[name])
    ratio = sizes[solid] / sizes[xz]
    table.rows.append(("--compress=max / xz -6 -T2 (size)", f"{ratio:.3f}", "", "≤ 1.1",
                       "met" if ratio <= 1.1 else "MISSED"))
    table.ratio("--compress=max / xz -6 -T2 (pack time)", packs[solid], packs[xz], 2)
    table.ratio("--compress / stored (start → run_code)", starts[zstd], starts[stored], 1.1)
    table.ratio("--compress=max / stored (start → run_code)", starts[solid], starts[stored], 1.25)
    table.ratio("--compress=max start / xz -dc | tar -x", starts[solid], starts[xz])
    private.name = "--compress=max: parent's largest private (anonymous) memory"
    table.limit(private, 128)
