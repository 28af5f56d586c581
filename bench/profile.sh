#!/bin/sh
# profile.sh BUILD_DIR [SCALE]: where the packed launcher's time goes.
# Needs a bench run at SCALE first (it reuses bench-work/packed-SCALE.exe).
# Run it through scripts/with-wineserver. Writes into BUILD_DIR/bench-work/profile:
#   strace-server.txt    system calls of the wineserver during one launcher run
# The launcher itself is not run under strace: Wine reads another process's
# memory through ptrace, so a traced parent cannot be identified by its
# child, which then takes the parent role itself (seen with Wine 8).
#   perf-dso.txt         CPU time by shared object, both processes and the kernel
#   callgrind.txt        the directory cache replayed natively (platform-free code)
set -eu
build=$(cd "$1" && pwd)
scale=${2:-1}
here=$(cd "$(dirname "$0")" && pwd)
work="$build/bench-work"
out="$work/profile"
exe="$work/packed-$scale.exe"
mkdir -p "$out"
[ -f "$exe" ] || { echo "profile: $exe missing; run the benchmark at scale $scale first" >&2; exit 2; }

# The wineserver of this prefix, not another build tree's.
server=
for pid in $(pgrep -f wineserver || true); do
    if tr '\0' '\n' < "/proc/$pid/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX"; then
        server=$pid
    fi
done
wine=/usr/lib/wine/wine64

echo "profile: strace of the wineserver" >&2
sync
if [ -n "$server" ]; then
    strace -c -f -p "$server" -o "$out/strace-server.txt" &
    tracer=$!
    sleep 0.5
fi
"$wine" "$exe"
if [ -n "$server" ]; then kill -INT "$tracer"; wait "$tracer" || true; fi

if command -v perf >/dev/null; then
    echo "profile: perf" >&2
    sync
    perf record -q -o "$out/perf.data" -- "$wine" "$exe" 2>/dev/null
    perf report -i "$out/perf.data" --stdio --sort comm,dso 2>/dev/null | grep -v '^#' | grep -v '^$' | head -40 > "$out/perf-dso.txt"
fi

echo "profile: callgrind of the directory cache" >&2
names="$work/names-$scale.txt"
"$build/bin/onefile-pack" list "$exe" | awk -F '\t' 'NF == 2 {print $2}' > "$names"
valgrind --tool=callgrind --callgrind-out-file="$out/callgrind.out" \
    "$build/host/bench/cache_walk" "$names" 1 > "$out/cache_walk.txt" 2>/dev/null
callgrind_annotate "$out/callgrind.out" 2>/dev/null | head -30 > "$out/callgrind.txt"
ls "$out"
