#!/bin/sh
# no_display.sh WINE_RUN LargeHello.exe OUT: with no display at all, a
# launcher whose unpacking outlasts the progress window's delay carries on
# as before: the application's output and status, nothing on stderr, its run
# directory deleted.
set -eu
wine_run=$1 exe=$2 out=$3
status=0
env -u DISPLAY "$wine_run" "$exe" >"$out.out" 2>"$out.err" || status=$?
fail=0
[ "$status" -eq 0 ] || { echo "status $status, expected 0"; fail=1; }
grep -q "hello from the packed application" "$out.out" || { echo "no application output:"; cat "$out.out"; fail=1; }
[ ! -s "$out.err" ] || { echo "stderr not empty:"; cat "$out.err"; fail=1; }
run_directory=$(sed -n 's/^running from: *//p' "$out.out" | tr -d '\r')
if [ -z "$run_directory" ]; then
    echo "the application did not say where it ran"; fail=1
elif [ -e "$(winepath -u "$run_directory" 2>/dev/null)" ]; then
    echo "run directory left: $run_directory"; fail=1
fi
rm -f "$out.out" "$out.err"
exit "$fail"
