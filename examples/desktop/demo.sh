#!/bin/sh
# The windowed example: run the OnefileDesktop.exe the build packed on a
# display (the current one, or a private Xvfb), take a screenshot of it to
# BUILD_DIR/demo/desktop.png when ImageMagick's import is there, close its
# window, and show its exit status and that its run directory is gone.
# Usage: demo.sh BUILD_DIR (starts its own wineserver: the display must be
# set before the prefix's desktop process starts).
set -eu
build=$1
here=$(cd "$(dirname "$0")" && pwd)
scripts="$here/../../scripts"
exe="$build/win/examples/desktop/OnefileDesktop.exe"
[ -f "$exe" ] || { echo "demo: $exe is missing; build first (make all)" >&2; exit 1; }
mkdir -p "$build/demo"

xvfb_pid=""
work=$(mktemp -d)
stop() {
    [ -z "$xvfb_pid" ] || { kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; }
    rm -rf "$work"
}
trap stop EXIT
trap 'exit 1' INT TERM
if [ -z "${DISPLAY:-}" ]; then
    command -v Xvfb >/dev/null 2>&1 || { echo "demo: no DISPLAY and no Xvfb" >&2; exit 1; }
    Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
    xvfb_pid=$!
    tries=0
    until [ -s "$work/display" ]; do
        tries=$((tries + 1))
        [ "$tries" -le 100 ] || { echo "demo: Xvfb did not start" >&2; exit 1; }
        sleep 0.1
    done
    DISPLAY=:$(tr -d '\n' <"$work/display")
    echo "== a private virtual display, $DISPLAY"
fi
export DISPLAY

echo "== OnefileDesktop.exe as the build packed it"
"$build/bin/onefile-pack" info "$exe" | sed 's/^/   /'

# The rest under one wineserver of the build's prefix, started with DISPLAY.
export DEMO_EXE="$exe" DEMO_BUILD="$build" DEMO_SCRIPTS="$scripts"
exec 4>&1
"$scripts/with-wineserver" "$build/wineprefix" sh -eu -c '
wine_run="$DEMO_SCRIPTS/wine-run"
temp_dir=$("$wine_run" cmd /c echo %TEMP% | tr -d "\r")
temp_unix=$(winepath -u "$temp_dir" 2>/dev/null | tr -d "\r")
echo "== run it and wait for its window"
"$wine_run" "$DEMO_EXE" >"$DEMO_BUILD/demo/desktop-output.txt" 2>&1 &
launcher=$!
sleep 8
if command -v import >/dev/null 2>&1; then
    import -window root "$DEMO_BUILD/demo/desktop.png" &&
        echo "   screenshot: $DEMO_BUILD/demo/desktop.png"
else
    echo "   (no screenshot: ImageMagick'"'"'s import is not installed)"
fi
echo "== close its window (taskkill without /f posts WM_CLOSE)"
"$wine_run" taskkill /im OnefileDesktop.exe >/dev/null 2>&1 || true
# Bounded: a window that never came is ended by force after 30 s.
tries=0
while kill -0 "$launcher" 2>/dev/null && [ "$tries" -lt 300 ]; do
    tries=$((tries + 1))
    sleep 0.1
done
kill -0 "$launcher" 2>/dev/null && "$wine_run" taskkill /f /im OnefileDesktop.exe >/dev/null 2>&1
status=0
wait "$launcher" || status=$?
echo "   exit status: $status"
left=$(ls -d "$temp_unix"/onefile_* 2>/dev/null || true)
if [ -z "$left" ]; then
    echo "   run directory: gone"
else
    echo "   left behind: $left"
    exit 1
fi
[ "$status" = 0 ]
'
