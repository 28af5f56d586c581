#!/bin/sh
# run.sh BUILD_DIR full|quick: the benchmarks at full size or at a small
# scale, one table on standard output and in BUILD_DIR/bench-work/table-MODE.md.
# Run it through scripts/with-wineserver (make bench does).
set -eu
build=$1
mode=${2:-quick}
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$build/bench-work"
case $mode in
    full)  set -- --scale 1 --reps 5 --tiny-reps 20 --memory-reps 2 ;;
    quick) set -- --scale 0.1 --reps 5 --tiny-reps 15 --memory-reps 1 ;;
    *) echo "usage: run.sh BUILD_DIR full|quick" >&2; exit 2 ;;
esac
exec python3 "$here/run.py" "$build" "$@" --markdown "$build/bench-work/table-$mode.md"
