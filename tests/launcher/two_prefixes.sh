#!/bin/sh
# Two Wine prefixes with one TEMP: each prefix has a wineserver of its own,
# so process ids and handle sharing of the one are invisible to the other.
# A launcher in prefix A must not sweep the live run directory of an
# application running in prefix B: the byte-range lock on its lock file is a
# Unix lock, which every process sees.
# two_prefixes.sh PACKER STUB PROBE_DLL WORK_DIR SECOND_PREFIX
set -eu
packer=$1 stub=$2 probe=$3 work=$4 second=$5
: "${WINEPREFIX:?run it with the build tree's prefix (scripts/with-wineserver)}"
first=$WINEPREFIX
wine=/usr/lib/wine/wine64
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

rm -rf "$work"
mkdir -p "$work/app" "$work/temp"
cp "$probe" "$work/app/main.dll"
"$packer" pack "$work/app" -o "$work/app.exe" --stub "$stub" --quiet --no-check

stop_second() { WINEPREFIX=$second wineserver -k 2>/dev/null || true; }
trap stop_second EXIT INT TERM
if [ ! -f "$second/system.reg" ]; then
    WINEPREFIX=$second $wine wineboot -i </dev/null >/dev/null 2>&1 || true
fi

temp_windows="Z:$(echo "$work/temp" | tr / '\\')"
app_windows="Z:$(echo "$work/app.exe" | tr / '\\')"
# Wine 8 takes TEMP and TMP from the prefix's registry, not from the Unix
# environment: cmd sets them and starts the launcher with them.
run_with_temp() {
    WINEPREFIX=$1 $wine cmd /c "set TMP=$temp_windows&& set TEMP=$temp_windows&& $app_windows $2"
}
report_windows="Z:$(echo "$work/report.bin" | tr / '\\')"
release_windows="Z:$(echo "$work/release" | tr / '\\')"

# The application in prefix B, waiting.
run_with_temp "$second" "report $report_windows await $release_windows exit 5" \
    </dev/null >"$work/second.out" 2>&1 &
second_pid=$!
waited=0
until [ -f "$work/report.bin" ]; do
    sleep 0.1
    waited=$((waited + 1))
    [ $waited -lt 600 ] || { echo "two_prefixes: the application in prefix B never ran"; exit 1; }
done
live=$(cd "$work/temp" && ls -d onefile_*_* 2>/dev/null | grep -v '\.lock$')
[ -n "$live" ] || { echo "two_prefixes: no run directory in the shared TEMP"; exit 1; }

# A launcher in prefix A whose sweep has two seconds to find it.
run_with_temp "$first" "sleep 2000 exit 3" </dev/null >"$work/first.out" 2>&1 || status=$?
[ "${status:-0}" = 3 ] || { echo "two_prefixes: the launcher in prefix A ended with ${status:-0}"; exit 1; }
if [ ! -f "$work/temp/$live/main.dll" ]; then
    echo "two_prefixes: prefix A swept the live run directory $live of prefix B"
    exit 1
fi
cmp -s "$probe" "$work/temp/$live/main.dll" || { echo "two_prefixes: $live/main.dll changed"; exit 1; }

: >"$work/release"
wait $second_pid || status=$?
[ "${status:-0}" = 5 ] || { echo "two_prefixes: the application in prefix B ended with ${status:-0}"; exit 1; }
left=$(ls "$work/temp")
[ -z "$left" ] || { echo "two_prefixes: left in TEMP: $left"; exit 1; }
echo "two_prefixes: the live run directory of prefix B stayed whole"
