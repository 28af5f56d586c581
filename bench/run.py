#!/usr/bin/env python3
"""Runs the benchmarks and prints one table.

Each comparison runs its contenders alternately (A B A B ...) in the same
run, so a slow moment of this shared machine hits both; the table gives
medians, min-max and the ratio of the medians. Run it through
scripts/with-wineserver (bench/run.sh does), so every Wine process of the
run talks to one wineserver that is already up.

Usage: run.py BUILD_DIR [--scale S] [--reps N] [--tiny-reps N] [--markdown FILE]
"""
import argparse
import ctypes
import json
import os
import platform
import random
import shutil
import statistics
import subprocess
import sys
import threading
import time

from forms import forms_table

HERE = os.path.dirname(os.path.abspath(__file__))
WINE = "/usr/lib/wine/wine64"
FILETIME_UNIX_EPOCH = 116444736000000000  # 1970-01-01 in 100 ns units since 1601
PR_SET_CHILD_SUBREAPER = 36


# ---------------------------------------------------------------- helpers

def windows_path(unix_path):
    """The path as Wine's Z: drive shows it."""
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


def wine_env(extra=None):
    env = dict(os.environ)
    env.setdefault("WINEDEBUG", "-all")
    env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    env.pop("TALVOR_ONEFILE_PARENT", None)
    env.pop("TALVOR_ONEFILE_START", None)
    env.update(extra or {})
    return env


def wait_rusage(process):
    """Waits for a Popen child; returns (exit status, its rusage)."""
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    return process.returncode, usage


def reap_strays():
    """As a subreaper we inherit every orphaned Wine process that ends;
    collect the ones that have ended so no zombie piles up."""
    try:
        while os.wait4(-1, os.WNOHANG)[0] != 0:
            pass
    except ChildProcessError:
        pass


def read_marker(path):
    """The time written by run_code, as Unix nanoseconds, or None."""
    try:
        with open(path) as f:
            ticks = int(f.read().strip())
    except (OSError, ValueError):
        return None
    return (ticks - FILETIME_UNIX_EPOCH) * 100


def settle():
    """Puts earlier runs' dirty pages on disk so each timed run starts alike."""
    os.sync()


class Series:
    def __init__(self, name, unit="s"):
        self.name, self.unit, self.values = name, unit, []

    def add(self, value):
        self.values.append(value)

    def median(self):
        return statistics.median(self.values) if self.values else None

    def cell(self):
        if not self.values:
            return "n/a", "n/a"
        if self.unit == "s":
            fmt = (lambda v: f"{v * 1000:.1f} ms") if self.median() < 1 else (lambda v: f"{v:.3f} s")
        else:
            fmt = lambda v: f"{v:.1f} MB"
        return fmt(self.median()), f"{fmt(min(self.values))} – {fmt(max(self.values))}"


# ---------------------------------------------------------------- contenders

class Bench:
    def __init__(self, args):
        self.build = os.path.abspath(args.build)
        self.bin = os.path.join(self.build, "bin")
        self.work = os.path.join(self.build, "bench-work")
        self.scale = args.scale
        self.tree = os.path.join(self.work, f"tree-{args.scale:g}")
        self.tar = os.path.join(self.work, f"tree-{args.scale:g}.tar")
        self.packed = os.path.join(self.work, f"packed-{args.scale:g}.exe")
        self.tiny_dir = os.path.join(self.work, "tiny-app")
        self.tiny = os.path.join(self.work, "tiny.exe")
        # The same application as a program (bench_direct.exe loading the
        # DLL beside it), packed with --run.
        self.tiny_run_dir = os.path.join(self.work, "tiny-program")
        self.tiny_run = os.path.join(self.work, "tiny-run.exe")
        self.marker = os.path.join(self.work, "run_code.marker")
        self.pack_tool = os.path.join(self.bin, "onefile-pack")
        self.stub = os.path.join(self.bin, "launcher.exe")
        self.app_dll = os.path.join(self.bin, "bench_app.dll")
        self.temp = None
        self.notes = []
        # Another launcher stub to compare side by side (--stub-before).
        self.stub_before = os.path.abspath(args.stub_before) if args.stub_before else None
        self.tiny_before = os.path.join(self.work, "tiny-before.exe")
        self.packed_before = os.path.join(self.work, f"packed-{args.scale:g}-before.exe")

    # -- set-up

    def have_launcher(self):
        return os.path.exists(self.pack_tool) and os.path.exists(self.stub)

    def prepare(self, tree=True):
        os.makedirs(self.work, exist_ok=True)
        self.shape = None
        if tree:
            out = subprocess.run([sys.executable, os.path.join(HERE, "make_tree.py"), self.tree,
                                  "--app-dll", self.app_dll, "--scale", f"{self.scale:g}"],
                                 check=True, capture_output=True, text=True).stdout
            self.shape = json.loads(out)
        # Wine keeps the user's temporary folder inside the prefix; tar writes
        # beside the launcher's run directories, on the same file system.
        echoed = subprocess.run([WINE, "cmd", "/c", "echo", "%TEMP%"], env=wine_env(),
                                check=True, capture_output=True, text=True).stdout.strip()
        self.temp = subprocess.run(["winepath", "-u", echoed], env=wine_env(), check=True,
                                   capture_output=True, text=True).stdout.strip()
        self.tar_target = os.path.join(self.temp, "bench_tar")
        shutil.rmtree(self.tar_target, ignore_errors=True)
        self.clear_run_directories()
        if os.path.isdir(self.tiny_dir):
            shutil.rmtree(self.tiny_dir)
        os.makedirs(self.tiny_dir)
        shutil.copy(self.app_dll, os.path.join(self.tiny_dir, "main.dll"))
        shutil.rmtree(self.tiny_run_dir, ignore_errors=True)
        os.makedirs(self.tiny_run_dir)
        shutil.copy(self.app_dll, os.path.join(self.tiny_run_dir, "main.dll"))
        shutil.copy(os.path.join(self.bin, "bench_direct.exe"), self.tiny_run_dir)

    def run_directories(self):
        return [n for n in os.listdir(self.temp) if n.startswith("onefile_")]

    def clear_run_directories(self):
        for name in self.run_directories():
            shutil.rmtree(os.path.join(self.temp, name), ignore_errors=True)

    # -- single runs

    def timed(self, command, env=None, marker=False):
        """Runs command; returns (seconds to run_code or None, seconds to exit,
        exit status, rusage)."""
        if marker and os.path.exists(self.marker):
            os.remove(self.marker)
        start = time.time_ns()
        process = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL)
        status, usage = wait_rusage(process)
        end = time.time_ns()
        reap_strays()
        entered = read_marker(self.marker) if marker else None
        to_run_code = (entered - start) / 1e9 if entered is not None else None
        return to_run_code, (end - start) / 1e9, status, usage

    def run_windows(self, exe, arguments=(), extra_env=None, prefix=()):
        env = wine_env({"BENCH_MARKER": windows_path(self.marker), **(extra_env or {})})
        to_run_code, to_exit, status, usage = self.timed([*prefix, WINE, exe, *arguments], env, marker=True)
        if status != 0 or to_run_code is None:
            raise SystemExit(f"bench: {os.path.basename(exe)} ended with status {status}"
                             f"{'' if to_run_code else ', run_code not reached'}")
        return to_run_code, to_exit

    def run_packed(self, exe, arguments=(), prefix=()):
        result = self.run_windows(exe, arguments, prefix=prefix)
        left = self.run_directories()
        if left:
            self.clear_run_directories()
            raise SystemExit(f"bench: run directory left behind: {left}")
        return result

    def tar_extract(self):
        os.makedirs(self.tar_target)
        _, extract, status, _ = self.timed(["tar", "-xf", self.tar, "-C", self.tar_target])
        if status != 0:
            raise SystemExit("bench: tar -xf failed")
        start = time.time_ns()
        subprocess.run(["rm", "-rf", self.tar_target], check=True)
        return extract, extract + (time.time_ns() - start) / 1e9

    def peak_of(self, command):
        """Runs command under GNU time; returns (seconds, peak resident MB).
        A child that Python starts shares Python's memory until it execs,
        and the kernel carries that peak over into the child's ru_maxrss;
        time's own footprint (about 2 MB) is the smaller error."""
        report = os.path.join(self.work, "time.out")
        _, seconds, status, _ = self.timed(["/usr/bin/time", "-f", "%M", "-o", report, *command])
        if status != 0:
            raise SystemExit(f"bench: {' '.join(command[:2])} failed with status {status}")
        with open(report) as f:
            return seconds, int(f.read().split()[-1]) / 1024

    def pack(self, app_dir, out):
        return self.peak_of([self.pack_tool, "pack", app_dir, "-o", out, "--stub", self.stub,
                             "--main", "main.dll", "--no-check"])

    def pack_with_other_stub(self):
        """The tree packed with the --stub-before stub; returns that exe."""
        self.peak_of([self.pack_tool, "pack", self.tree, "-o", self.packed_before, "--stub",
                      self.stub_before, "--main", "main.dll", "--no-check"])
        return self.packed_before

    def tar_create(self):
        return self.peak_of(["tar", "-cf", self.tar, "-C", self.tree, "."])

    # -- the comparisons

    def packer(self, reps):
        pack_t, tar_t = Series("onefile-pack pack"), Series("tar -cf")
        pack_m, tar_m = Series("onefile-pack pack", "MB"), Series("tar -cf", "MB")
        for _ in range(reps):
            settle()
            seconds, rss = self.pack(self.tree, self.packed)
            pack_t.add(seconds), pack_m.add(rss)
            settle()
            seconds, rss = self.tar_create()
            tar_t.add(seconds), tar_m.add(rss)
        return pack_t, tar_t, pack_m, tar_m

    def pack_modes(self, reps):
        """The tree packed with the default template and with a cache's,
        alternately: the cache's pack also computes the archive's digest."""
        cached = os.path.join(self.work, f"packed-cache-{self.scale:g}.exe")
        cache_dir = windows_path(os.path.join(self.work, f"cache-{self.scale:g}", "app"))
        plain_t, cache_t = Series("pack, per-start template"), Series("pack, cache template (digest)")
        for _ in range(reps):
            settle()
            plain_t.add(self.pack(self.tree, self.packed)[0])
            settle()
            cache_t.add(self.peak_of([self.pack_tool, "pack", self.tree, "-o", cached, "--stub", self.stub,
                                      "--main", "main.dll", "--no-check", "--run-directory", cache_dir])[0])
        return plain_t, cache_t

    def start_side_by_side(self, reps):
        """Start → run_code of the same tree packed with both stubs, run
        alternately after one untimed round of each."""
        mine = Series("packed: start → run_code")
        other = Series("packed with the other stub: start → run_code")
        for exe in (self.packed, self.packed_before):
            self.run_packed(exe)
        for _ in range(reps):
            for exe, series in ((self.packed, mine), (self.packed_before, other)):
                settle()
                series.add(self.run_packed(exe)[0])
        return mine, other

    def extraction(self, reps, before=None):
        run_code, full = Series("packed: start → run_code"), Series("packed: start → exit")
        full_before = Series("packed with the other stub: start → exit")
        tar_x, tar_xr = Series("tar -xf"), Series("tar -xf + rm -rf")
        # One untimed round warms the page cache with the exe and the tar.
        self.run_packed(self.packed)
        self.tar_extract()
        for _ in range(reps):
            settle()
            a, b = self.run_packed(self.packed)
            run_code.add(a), full.add(b)
            settle()
            a, b = self.tar_extract()
            tar_x.add(a), tar_xr.add(b)
            if before:
                settle()
                full_before.add(self.run_packed(before)[1])
        if before:
            return run_code, full, tar_x, tar_xr, full_before
        return run_code, full, tar_x, tar_xr

    def closing(self, reps):
        """Extraction with the files closed on the closing threads against
        closed one after another on the writing thread, with a simulated
        close cost of 2 ms (bench_launcher.exe, through the Win32 table) and
        without one."""
        stub = os.path.join(self.bin, "bench_launcher.exe")
        packed = os.path.join(self.work, f"packed-closing-{self.scale:g}.exe")
        subprocess.run([self.pack_tool, "pack", self.tree, "-o", packed, "--stub", stub, "--main",
                        "main.dll", "--no-check", "--quiet"], check=True)
        kinds = [(f"close {cost} ms, {label}: start → run_code", {"BENCH_CLOSE_COST_MS": str(cost),
                                                                   "BENCH_CLOSE_THREADS": threads})
                 for cost in (0, 2) for label, threads in (("one thread", "0"), ("closing threads", "4"))]
        series = [Series(name) for name, _ in kinds]
        for _, env in kinds:
            self.run_windows(packed, extra_env=env)
            self.clear_run_directories()
        for _ in range(reps):
            for s, (_, env) in zip(series, kinds):
                settle()
                s.add(self.run_windows(packed, extra_env=env)[0])
                if self.run_directories():
                    self.clear_run_directories()
                    raise SystemExit("bench: run directory left behind")
        return series

    def cache(self, reps):
        """The same tree packed with a cache template: the first start (no
        cache: staged, every file flushed, recorded, renamed) against today's
        start into a directory per start, and the second start (the cache
        verified by names and sizes through handles) against tar -xf. With
        --stub-before, the other stub's first start alternates with ours."""
        def packed_cache(stub, name):
            cache_dir = os.path.join(self.work, f"{name}-{self.scale:g}", "app")
            exe = os.path.join(self.work, f"packed-{name}-{self.scale:g}.exe")
            subprocess.run([self.pack_tool, "pack", self.tree, "-o", exe, "--stub", stub, "--main",
                            "main.dll", "--no-check", "--quiet", "--run-directory",
                            windows_path(cache_dir)], check=True)
            return cache_dir, exe

        cache_dir, cached = packed_cache(self.stub, "cache")
        before_dir, before = packed_cache(self.stub_before, "cache-before") if self.stub_before else (None, None)

        def drop_caches():
            for folder in (cache_dir, before_dir):
                if folder:
                    shutil.rmtree(os.path.dirname(folder), ignore_errors=True)

        first, per_start = Series("cache, first start → run_code"), Series("per start: start → run_code")
        second, tar_x = Series("cache, second start → run_code"), Series("tar -xf")
        first_before = Series("cache, first start with the other stub → run_code")
        drop_caches()
        self.run_packed(cached)
        self.run_packed(self.packed)
        self.tar_extract()
        for _ in range(reps):
            drop_caches()
            settle()
            first.add(self.run_packed(cached)[0])
            if before:
                settle()
                first_before.add(self.run_packed(before)[0])
            settle()
            per_start.add(self.run_packed(self.packed)[0])
            settle()
            second.add(self.run_packed(cached)[0])
            settle()
            tar_x.add(self.tar_extract()[0])
        drop_caches()
        return first, per_start, second, tar_x, (first_before if before else None)

    def launch(self, reps):
        dll = windows_path(os.path.join(self.tiny_dir, "main.dll"))
        kinds = [
            ("packed tiny app", lambda: self.run_packed(self.tiny)),
            ("packed tiny program (--run)", lambda: self.run_packed(self.tiny_run, ["main.dll"])),
            ("two-process floor", lambda: self.run_windows(os.path.join(self.bin, "bench_floor.exe"), [dll])),
            ("one-process exe", lambda: self.run_windows(os.path.join(self.bin, "bench_direct.exe"), [dll])),
        ]
        if self.stub_before:
            kinds.insert(1, ("packed tiny app, other stub", lambda: self.run_packed(self.tiny_before)))
        for _, run in kinds:
            run()
        series = {name: (Series(f"{name}: start → run_code"), Series(f"{name}: start → exit"))
                  for name, _ in kinds}
        for _ in range(reps):
            for name, run in kinds:
                a, b = run()
                series[name][0].add(a), series[name][1].add(b)
        return series

    # -- the compressed form

    WINE_LIBRARIES = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows"

    def pe_tree(self):
        """A tree of real PE files: the bench application as main.dll and
        Wine's own Windows libraries (a share of them by --scale) in lib/,
        as links, which the packer and tar -h store as the files."""
        tree = os.path.join(self.work, f"pe-tree-{self.scale:g}")
        if not os.path.isdir(tree):
            os.makedirs(os.path.join(tree, "lib"))
            shutil.copy(self.app_dll, os.path.join(tree, "main.dll"))
            names = sorted(n for n in os.listdir(self.WINE_LIBRARIES)
                           if os.path.isfile(os.path.join(self.WINE_LIBRARIES, n)))
            for name in names[:max(1, round(len(names) * self.scale))]:
                os.symlink(os.path.join(self.WINE_LIBRARIES, name), os.path.join(tree, "lib", name))
        return tree

    @staticmethod
    def drop_pages(path):
        """Drops a file's pages from the page cache (POSIX_FADV_DONTNEED on
        it alone, which needs no privilege): the next read comes from disk."""
        fd = os.open(path, os.O_RDONLY)
        try:
            os.fsync(fd)
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        finally:
            os.close(fd)

    BLKIO = "/sys/fs/cgroup/blkio"
    SLOW_DISK = 400 * 1000 * 1000  # bytes a second: a SATA SSD's order

    def slow_disk_prefix(self, path):
        """A command prefix that runs the command in a control group whose
        reads from path's disk are held to SLOW_DISK (cgroup v1 blkio), or
        None where that cannot be made. A virtual disk served from the
        host's cache reads dropped pages back at memory speed; the limit
        gives the cold case the cost of a real disk."""
        group = os.path.join(self.BLKIO, "onefile-bench")
        try:
            device = os.stat(path).st_dev
            number = f"{os.major(device)}:{os.minor(device)}"
            sys_dev = os.path.realpath(f"/sys/dev/block/{number}")
            if os.path.exists(os.path.join(sys_dev, "partition")):
                with open(os.path.join(os.path.dirname(sys_dev), "dev")) as f:
                    number = f.read().strip()
            os.makedirs(group, exist_ok=True)
            with open(os.path.join(group, "blkio.throttle.read_bps_device"), "w") as f:
                f.write(f"{number} {self.SLOW_DISK}")
        except OSError:
            return None
        return ["sh", "-c", f'echo $$ > {group}/cgroup.procs && exec "$@"', "sh"]

    def compression(self, reps, level=3):
        """The compressed form against the stored one and tar with zstd at
        the same level: sizes, pack time, start → run_code warm and with the
        exe's (or the archive's) pages dropped, and the parent's memory."""
        results = {}
        for label, tree in (("bench tree", self.tree), ("real PE files", self.pe_tree())):
            key = "pe" if tree != self.tree else "bench"
            stored = os.path.join(self.work, f"stored-{key}-{self.scale:g}.exe")
            packed = os.path.join(self.work, f"zstd-{key}-{self.scale:g}.exe")
            tarzst = os.path.join(self.work, f"tree-{key}-{self.scale:g}.tar.zst")
            subprocess.run([self.pack_tool, "pack", tree, "-o", stored, "--stub", self.stub, "--main",
                            "main.dll", "--no-check", "--quiet"], check=True)
            pack_t, tar_t = Series(f"{label}: pack --compress"), Series(f"{label}: tar -chf - | zstd -{level} -T0")
            for _ in range(max(2, reps // 2)):
                settle()
                pack_t.add(self.peak_of([self.pack_tool, "pack", tree, "-o", packed, "--stub", self.stub,
                                         "--main", "main.dll", "--no-check", "--quiet",
                                         f"--compress={level}"])[0])
                settle()
                tar_t.add(self.peak_of(["sh", "-c", f"tar -chf - -C '{tree}' . | zstd -q -{level} -T0 -f -o '{tarzst}'"])[0])
            sizes = {k: os.path.getsize(p) for k, p in (("stored", stored), ("zstd", packed), ("tar", tarzst))}
            results[key] = (label, tree, stored, packed, tarzst, sizes, pack_t, tar_t)

        label, tree, stored, packed, tarzst, sizes, pack_t, tar_t = results["pe"]
        target = os.path.join(self.temp, "bench_tar_zst")

        slow = self.slow_disk_prefix(packed)

        def tar_x(cold):
            if cold:
                self.drop_pages(tarzst)
            shutil.rmtree(target, ignore_errors=True)
            os.makedirs(target)
            _, seconds, status, _ = self.timed([*(slow if cold and slow else ()), "sh", "-c",
                                                f"zstd -q -d -c '{tarzst}' | tar -xf - -C '{target}'"])
            if status != 0:
                raise SystemExit("bench: tar -xf of the .tar.zst failed")
            shutil.rmtree(target, ignore_errors=True)
            return seconds

        def start(exe, cold):
            if cold:
                self.drop_pages(exe)
            return self.run_packed(exe, prefix=slow if cold and slow else ())[0]

        cold_label = (f"exe's pages dropped, disk at {self.SLOW_DISK // 1000000} MB/s" if slow
                      else "exe's pages dropped")
        if slow:
            self.notes.append(f"Cold starts: the file's pages dropped (POSIX_FADV_DONTNEED), then reads "
                              f"from its disk held to {self.SLOW_DISK // 1000000} MB/s by a blkio control group.")
        kinds = [(f"{label}, {temp}: {what}", run, cold)
                 for temp, cold in (("warm", False), (cold_label, True))
                 for what, run in (("compressed start → run_code", lambda c: start(packed, c)),
                                   ("stored start → run_code", lambda c: start(stored, c)),
                                   ("zstd -d | tar -xf", tar_x))]
        series = [Series(name) for name, _, _ in kinds]
        for _, run, cold in kinds:
            run(cold)
        # Each round runs the contenders in another order (the same on every
        # run of the bench): what a run leaves to the next one (memory to
        # take back, pages to write) must not fall on one contender always.
        # After tar's runs the next start measured up to a fifth slower.
        for round_ in range(reps):
            order = list(zip(series, kinds))
            random.Random(round_).shuffle(order)
            for s, (_, run, cold) in order:
                settle()
                s.add(run(cold))
        # A cache's second start verifies names and sizes and decodes
        # nothing: the compressed form's should cost what the stored one's
        # does.
        cached = {}
        for what, extra in (("compressed", [f"--compress={level}"]), ("stored", [])):
            cache_dir = os.path.join(self.work, f"cache-{what}-{self.scale:g}", "app")
            exe = os.path.join(self.work, f"cache-{what}-pe-{self.scale:g}.exe")
            subprocess.run([self.pack_tool, "pack", tree, "-o", exe, "--stub", self.stub, "--main", "main.dll",
                            "--no-check", "--quiet", "--run-directory", windows_path(cache_dir), *extra],
                           check=True)
            shutil.rmtree(os.path.dirname(cache_dir), ignore_errors=True)
            self.run_packed(exe)  # the first start makes the cache
            cached[what] = (exe, cache_dir)
        second = {what: Series(f"{label}, cache's second start: {what} → run_code") for what in cached}
        for _ in range(reps):
            for what, (exe, _) in cached.items():
                settle()
                second[what].add(self.run_packed(exe)[0])
        for exe, cache_dir in cached.values():
            shutil.rmtree(os.path.dirname(cache_dir), ignore_errors=True)
            os.remove(exe)
        peaks, anon, _ = self.memory(packed, 1)
        return results, series, second, anon["parent"]

    def make_leftovers(self, template, count, files):
        """The template of `count` leftovers of `files` files in all, made
        once; copied into TEMP before each round that wants them."""
        if os.path.isdir(template):
            return
        os.makedirs(template)
        for index in range(count):
            leftover = os.path.join(template, f"onefile_2147483644_{index + 1}")
            os.makedirs(os.path.join(leftover, "lib"))
            for number in range(files // count):
                with open(os.path.join(leftover, "lib", f"f{number}"), "wb") as out:
                    out.write(b"l" * 1024)

    def sweep(self, reps, count=30, files=3000, app_files=3000):
        """Exits and the application's own file work with leftovers in TEMP
        against an empty TEMP, alternately."""
        template = os.path.join(self.work, f"leftovers-{count}-{files}")
        self.make_leftovers(template, count, files)

        def restore():
            for name in os.listdir(self.temp):
                if name.startswith("onefile_"):
                    subprocess.run(["rm", "-rf", os.path.join(self.temp, name)], check=True)
            subprocess.run(f"cp -a '{template}'/. '{self.temp}'/", shell=True, check=True)

        def clear():
            for name in os.listdir(self.temp):
                if name.startswith("onefile_"):
                    subprocess.run(["rm", "-rf", os.path.join(self.temp, name)], check=True)

        def run(work):
            extra = {"BENCH_FILES": str(app_files)} if work else {}
            return self.run_windows(self.tiny, extra_env=extra)

        kinds = [("empty TEMP", clear, False), (f"{count} leftovers", restore, False),
                 (f"empty TEMP, {app_files} files of its own", clear, True),
                 (f"{count} leftovers, {app_files} files of its own", restore, True)]
        series = {name: Series(f"tiny app, {name}: start → exit") for name, _, _ in kinds}
        for name, prepare, work in kinds:  # one untimed round each
            prepare(), run(work)
        for _ in range(reps):
            for name, prepare, work in kinds:
                prepare()
                settle()
                series[name].add(run(work)[1])
        clear()
        return [series[name] for name, _, _ in kinds]

    def memory(self, exe, reps=2):
        """Peak resident set (VmHWM, from the kernel's rusage of each process)
        of the parent and the child, and the largest anonymous and
        file-backed parts seen while they ran."""
        names = ["parent", "child"]
        peaks = {n: Series(f"{n} peak resident (VmHWM)", "MB") for n in names}
        anon = {n: Series(f"{n} largest RssAnon", "MB") for n in names}
        filed = {n: Series(f"{n} largest RssFile", "MB") for n in names}
        basename = os.path.basename(exe)
        report = os.path.join(self.work, "time.out")
        for _ in range(reps):
            settle()
            env = wine_env({"BENCH_HOLD_MS": "300"})
            # The parent runs below GNU time (see peak_of); the child, which
            # Wine starts through a double fork, comes to us as subreaper.
            timer = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", report, WINE, exe],
                                     env=env, stdin=subprocess.DEVNULL)
            watch = Watcher(timer.pid, basename)
            watch.start()
            status, _ = wait_rusage(timer)
            watch.stop()
            if status != 0 or watch.child is None:
                raise SystemExit(f"bench: memory run failed (status {status}, child seen: "
                                 f"{watch.child is not None})")
            _, _, child_usage = os.wait4(watch.child, 0)
            reap_strays()
            self.clear_run_directories()
            with open(report) as f:
                peaks["parent"].add(int(f.read().split()[-1]) / 1024)
            peaks["child"].add(child_usage.ru_maxrss / 1024)
            for n in names:
                anon[n].add(watch.largest[n]["RssAnon"] / 1024)
                filed[n].add(watch.largest[n]["RssFile"] / 1024)
        return peaks, anon, filed


class Watcher(threading.Thread):
    """Finds the launcher's child (a Wine process we inherit as subreaper,
    its command line a Windows path) and samples both processes' status."""

    def __init__(self, timer_pid, basename):
        super().__init__(daemon=True)
        self.timer_pid, self.basename = timer_pid, basename
        self.parent_pid = None
        self.child = None
        self.largest = {n: {"RssAnon": 0, "RssFile": 0} for n in ("parent", "child")}
        self.done = threading.Event()

    def find(self, parent_pid, windows_side):
        """A process below parent_pid running our exe: the launcher's parent
        shows the Unix command line, its child the Windows one."""
        for entry in os.listdir("/proc"):
            if not entry.isdigit() or int(entry) in (self.parent_pid, self.timer_pid):
                continue
            try:
                with open(f"/proc/{entry}/stat") as f:
                    ppid = f.read().rsplit(")", 1)[1].split()[1]
                with open(f"/proc/{entry}/cmdline", "rb") as f:
                    command = f.read()
            except OSError:
                continue
            if (ppid == str(parent_pid) and command.startswith(b"Z:\\") == windows_side
                    and self.basename.encode() in command):
                return int(entry)
        return None

    def sample(self, role, pid):
        try:
            with open(f"/proc/{pid}/status") as f:
                for line in f:
                    key = line.split(":")[0]
                    if key in ("RssAnon", "RssFile"):
                        self.largest[role][key] = max(self.largest[role][key], int(line.split()[1]))
        except OSError:
            pass

    def run(self):
        while not self.done.is_set():
            if self.parent_pid is None:
                self.parent_pid = self.find(self.timer_pid, False)
            elif self.child is None:
                self.child = self.find(os.getpid(), True)
            if self.parent_pid is not None:
                self.sample("parent", self.parent_pid)
            if self.child is not None:
                self.sample("child", self.child)
            time.sleep(0.005)

    def stop(self):
        self.done.set()
        self.join()


# ---------------------------------------------------------------- report

def machine():
    model = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    source = subprocess.run(["findmnt", "-n", "-T", HERE, "-o", "SOURCE,FSTYPE"],
                            capture_output=True, text=True).stdout.split()
    disk = " ".join(source) if source else "unknown"
    if source:
        device = os.path.basename(source[0])
        try:
            with open(f"/sys/block/{device}/queue/rotational") as f:
                disk += " (rotational)" if f.read().strip() == "1" else " (non-rotational)"
        except OSError:
            pass
    memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    wine = subprocess.run([WINE, "--version"], capture_output=True, text=True).stdout.strip()
    return (f"nproc {os.cpu_count()}, CPU {model}, {memory:.0f} GiB RAM, disk {disk}, "
            f"kernel {platform.release()}, {wine}")


class Table:
    def __init__(self):
        self.rows = []

    def series(self, s):
        median, spread = s.cell()
        self.rows.append((s.name, median, spread, "", ""))

    def ratio(self, name, a, b, target=None, below=None):
        if a.median() is None or b.median() is None:
            self.rows.append((name, "n/a", "", "", ""))
            return
        value = a.median() / b.median()
        verdict = "" if target is None else ("met" if value <= target else "MISSED")
        self.rows.append((name, f"{value:.2f}", "", f"≤ {target}" if target else "", verdict))

    def limit(self, s, bound):
        median, spread = s.cell()
        verdict = "met" if s.values and max(s.values) < bound else "MISSED"
        self.rows.append((s.name, median, spread, f"< {bound} MB", verdict))

    def heading(self, text):
        self.rows.append((f"**{text}**", "", "", "", ""))

    def markdown(self):
        lines = ["| figure | median | min – max | target | |", "|---|---:|---|---|---|"]
        lines += ["| " + " | ".join(row) + " |" for row in self.rows]
        return "\n".join(lines)


def table_text(header, began, table, notes=()):
    """The header, the machine, when and how long, the table, then notes."""
    return (f"{header}\n{machine()}\n{time.strftime('%Y-%m-%d %H:%M')}, "
            f"{time.time() - began:.0f} s\n\n{table.markdown()}\n" + "".join(f"\n{n}\n" for n in notes))


def launch_table(bench, table, reps):
    print("bench: launch overhead ...", file=sys.stderr, flush=True)
    launch = bench.launch(reps)
    table.heading("Launch overhead (tiny application)")
    for first, second in launch.values():
        table.series(first)
    for first, second in launch.values():
        table.series(second)
    packed, floor, direct = (launch[k][1] for k in ("packed tiny app", "two-process floor",
                                                     "one-process exe"))
    table.ratio("packed / two-process floor (to exit)", packed, floor, 1.2)
    table.ratio("packed / one-process exe (to exit)", packed, direct)
    table.ratio("packed --run program / packed run_code (to exit)", launch["packed tiny program (--run)"][1], packed)
    table.ratio("packed / two-process floor (to run_code)", launch["packed tiny app"][0],
                launch["two-process floor"][0])
    if "packed tiny app, other stub" in launch:
        table.ratio("packed / packed with the other stub (to exit)", packed,
                    launch["packed tiny app, other stub"][1])
        table.ratio("packed / packed with the other stub (to run_code)",
                    launch["packed tiny app"][0], launch["packed tiny app, other stub"][0])


def compression_table(bench, table, reps):
    print("bench: compression ...", file=sys.stderr, flush=True)
    results, starts, second, private = bench.compression(reps)
    table.heading("Compressed payload (zstd level 3, pieces of 1 MiB) against stored and tar | zstd")
    for key in ("bench", "pe"):
        label, _, _, _, _, sizes, pack_t, tar_t = results[key]
        for what in ("stored", "zstd", "tar"):
            name = {"stored": "stored pack", "zstd": "pack --compress", "tar": "tar -c | zstd -3"}[what]
            table.rows.append((f"{label}: {name} size (MB)", f"{sizes[what] / 1e6:.1f}", "", "", ""))
        ratio = sizes["zstd"] / sizes["stored"]
        goal = key == "pe"
        table.rows.append((f"{label}: compressed / stored size", f"{ratio:.3f}", "", "≤ 0.3" if goal else "",
                           ("met" if ratio <= 0.3 else "MISSED") if goal else ""))
        table.rows.append((f"{label}: compressed / tar | zstd size", f"{sizes['zstd'] / sizes['tar']:.3f}", "", "", ""))
        table.series(pack_t)
        table.series(tar_t)
        table.ratio(f"{label}: pack --compress / tar | zstd -T0 (time)", pack_t, tar_t, 1.5)
    for s in starts:
        table.series(s)
    warm_c, warm_s, warm_t, cold_c, cold_s, cold_t = starts
    table.ratio("warm: compressed / stored start → run_code", warm_c, warm_s, 1.1)
    table.ratio("cold: compressed / stored start → run_code", cold_c, cold_s, 1.0)
    table.ratio("warm: compressed start / zstd -d | tar -xf", warm_c, warm_t)
    for s in second.values():
        table.series(s)
    table.ratio("cache's second start: compressed / stored", second["compressed"], second["stored"], 1.1)
    table.limit(private, 64)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build")
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--tiny-reps", type=int, default=20)
    parser.add_argument("--memory-reps", type=int, default=2)
    parser.add_argument("--markdown", help="also write the table to this file")
    parser.add_argument("--stub-before", help="a second launcher stub: launch overhead of both, "
                        "alternately, and their ratio")
    parser.add_argument("--start-only", action="store_true",
                        help="with --stub-before: start → run_code of the tree and the launch "
                        "overhead, both stubs side by side (no tar, packer or memory figures)")
    parser.add_argument("--launch-only", action="store_true",
                        help="only the launch overhead (no tree, packer or memory figures)")
    parser.add_argument("--cycle-only", action="store_true",
                        help="only start to run_code and the full cycle (with --stub-before: "
                        "both stubs alternately)")
    parser.add_argument("--closing-only", action="store_true",
                        help="only extraction with the closing threads against one thread, "
                        "with a simulated close cost of 2 ms and without")
    parser.add_argument("--cache-only", action="store_true",
                        help="only the cache: first and second start against a start per "
                        "directory and tar -xf")
    parser.add_argument("--pack-only", action="store_true",
                        help="only the packer: a cache template's pack (with the payload's "
                        "digest) against a default pack")
    parser.add_argument("--compression-only", action="store_true",
                        help="only the compressed form: sizes, pack time, starts warm and cold")
    parser.add_argument("--forms-only", action="store_true",
                        help="only the payload's forms on real PE files (a share of Wine's libraries "
                        "by --scale): stored, --compress, --compress=max, tar, tar | zstd, tar | xz")
    parser.add_argument("--pack-reps", type=int, default=1,
                        help="with --forms-only: rounds of packing (xz and max take minutes)")
    parser.add_argument("--sweep-only", action="store_true",
                        help="only the exit and the application's file work with 30 leftovers "
                        "of 3,000 files in TEMP against an empty TEMP")
    args = parser.parse_args()

    # Wine starts each child through a double fork; as subreaper we inherit
    # the launcher's child and can read its rusage like the parent's.
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        sys.exit("bench: cannot become a child subreaper")

    bench = Bench(args)
    bench.prepare(tree=not args.forms_only)
    began = time.time()
    table = Table()
    if not bench.have_launcher():
        sys.exit(f"bench: {bench.pack_tool} or {bench.stub} missing; run make all first")
    if args.forms_only:
        print("bench: payload forms ...", file=sys.stderr, flush=True)
        forms_table(bench, table, args.reps, args.pack_reps, settle, Series)
        tree = bench.pe_tree()
        files = [os.path.join(d, n) for d, _, names in os.walk(tree) for n in names]
        header = (f"real PE files, scale {args.scale:g}: {len(files)} files, "
                  f"{sum(os.path.getsize(f) for f in files):,} bytes; {args.reps} rounds, "
                  f"{args.pack_reps} of packing")
        text = table_text(header, began, table, bench.notes)
        print(text)
        if args.markdown:
            with open(args.markdown, "w") as f:
                f.write(text)
        return
    shape = bench.shape
    header = (f"scale {args.scale:g}: {shape['files']} files ({shape['top_level_files']} at the top), "
              f"{shape['directories']} directories, depth {shape['max_depth']}, "
              f"{shape['bytes']:,} bytes; {args.reps} rounds, {args.tiny_reps} for launch overhead")

    bench.pack(bench.tiny_dir, bench.tiny)
    bench.peak_of([bench.pack_tool, "pack", bench.tiny_run_dir, "-o", bench.tiny_run, "--stub", bench.stub,
                   "--run", "bench_direct.exe", "--no-check"])
    if bench.stub_before:
        bench.peak_of([bench.pack_tool, "pack", bench.tiny_dir, "-o", bench.tiny_before, "--stub",
                       bench.stub_before, "--main", "main.dll", "--no-check"])
    if args.pack_only:
        print("bench: pack with a cache template against a default pack ...", file=sys.stderr, flush=True)
        plain_t, cache_t = bench.pack_modes(max(3, args.reps))
        table.heading("Packer: cache template against the default (same tree)")
        for s in (cache_t, plain_t):
            table.series(s)
        table.ratio("cache pack / default pack", cache_t, plain_t, 1.2)
        print(table_text(header, began, table, bench.notes))
        return
    if args.compression_only:
        compression_table(bench, table, args.reps)
        print(table_text(header, began, table, bench.notes))
        return
    if args.sweep_only:
        print("bench: sweep ...", file=sys.stderr, flush=True)
        empty, leftovers, work, work_leftovers = bench.sweep(args.reps)
        table.heading("The sweep's cost (tiny application; leftovers restored before each round)")
        for s in (empty, leftovers, work, work_leftovers):
            table.series(s)
        table.rows.append(("exit with leftovers − exit without (ms)",
                           f"{(leftovers.median() - empty.median()) * 1000:.0f}", "", "≤ 100",
                           "met" if leftovers.median() - empty.median() <= 0.1 else "MISSED"))
        table.ratio("own file work with leftovers / without (to exit)", work_leftovers, work)
        print(table_text(header, began, table, bench.notes))
        return
    if args.closing_only:
        print("bench: closing ...", file=sys.stderr, flush=True)
        plain_one, plain_pool, costly_one, costly_pool = bench.closing(args.reps)
        table.heading("Closing files on the closing threads (same payload)")
        for s in (plain_one, plain_pool, costly_one, costly_pool):
            table.series(s)
        table.ratio("close 2 ms: closing threads / one thread", costly_pool, costly_one)
        table.ratio("close 0 ms: closing threads / one thread", plain_pool, plain_one, 1.0)
        print(table_text(header, began, table, bench.notes))
        return
    if args.cache_only:
        bench.pack(bench.tree, bench.packed)
        bench.tar_create()
        print("bench: cache ...", file=sys.stderr, flush=True)
        first, per_start, second, tar_x, first_before = bench.cache(args.reps)
        table.heading("A cache template (same payload)")
        for s in (first, per_start, second, tar_x):
            table.series(s)
        table.ratio("cache, second start / tar -xf", second, tar_x, 0.05)
        table.ratio("cache, first start / per start", first, per_start, 1.0)
        if first_before:
            table.series(first_before)
            table.ratio("cache, first start / with the other stub", first, first_before, 1.1)
        print(table_text(header, began, table, bench.notes))
        return
    if args.cycle_only:
        before = bench.pack_with_other_stub() if bench.stub_before else None
        bench.pack(bench.tree, bench.packed)
        bench.tar_create()
        print("bench: extraction ...", file=sys.stderr, flush=True)
        results = bench.extraction(args.reps, before)
        table.heading("Start to run_code and full cycle (same payload)")
        for s in results:
            table.series(s)
        table.ratio("full cycle / (tar -xf + rm -rf)", results[1], results[3], 1.5)
        if before:
            table.ratio("full cycle / full cycle with the other stub", results[1], results[4])
        print(table_text(header, began, table, bench.notes))
        return
    if args.start_only and bench.stub_before:
        print("bench: start to run_code, both stubs ...", file=sys.stderr, flush=True)
        bench.pack(bench.tree, bench.packed)
        bench.pack_with_other_stub()
        mine, other = bench.start_side_by_side(args.reps)
        table.heading("Start to run_code (same payload, two stubs)")
        table.series(mine)
        table.series(other)
        table.ratio("packed / packed with the other stub (to run_code)", mine, other)
    if args.launch_only or args.start_only:
        launch_table(bench, table, args.tiny_reps)
        print(table_text(header, began, table, bench.notes))
        return
    print("bench: packer ...", file=sys.stderr, flush=True)
    pack_t, tar_t, pack_m, tar_m = bench.packer(max(3, args.reps // 2 + 1))

    print("bench: extraction ...", file=sys.stderr, flush=True)
    run_code, full, tar_x, tar_xr = bench.extraction(args.reps)
    table.heading("Start to run_code and full cycle (same payload)")
    for s in (run_code, tar_x, full, tar_xr):
        table.series(s)
    table.ratio("start → run_code / tar -xf", run_code, tar_x, 1.5)
    table.ratio("full cycle / (tar -xf + rm -rf)", full, tar_xr, 1.5)

    launch_table(bench, table, args.tiny_reps)

    print("bench: memory ...", file=sys.stderr, flush=True)
    peaks, anon, filed = bench.memory(bench.packed, args.memory_reps)
    table.heading("Memory (same payload; VmHWM: ru_maxrss of each process)")
    table.limit(peaks["parent"], 32)
    table.limit(peaks["child"], 32)
    for s in (anon["parent"], filed["parent"], anon["child"], filed["child"]):
        table.series(s)

    table.heading("Packer (same tree)")
    for s in (pack_t, tar_t):
        table.series(s)
    table.ratio("pack / tar -cf", pack_t, tar_t, 1.2)
    table.limit(pack_m, 64)
    table.series(tar_m)

    compression_table(bench, table, args.reps)

    text = table_text(header, began, table, bench.notes)
    print(text)
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write(text)


if __name__ == "__main__":
    main()
