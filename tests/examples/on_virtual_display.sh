#!/bin/sh
# on_virtual_display.sh WINE_RUN PROGRAM.exe [ARGS...]: runs a Windows program
# under Wine on a private Xvfb display and always stops that display again.
# Xvfb picks a free display itself (-displayfd) and reports it when ready.
set -eu
wine_run=$1
shift
command -v Xvfb >/dev/null 2>&1 || {
    echo "on_virtual_display: Xvfb is missing (scripts/install-deps.sh installs it)" >&2
    exit 1
}
work=$(mktemp -d)
xvfb_pid=""
stop() {
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap stop EXIT
trap 'exit 1' INT TERM

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" \
    >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
tries=0
while [ ! -s "$work/display" ]; do
    tries=$((tries + 1))
    if [ "$tries" -gt 100 ] || ! kill -0 "$xvfb_pid" 2>/dev/null; then
        echo "on_virtual_display: Xvfb did not start:" >&2
        cat "$work/xvfb.log" >&2
        exit 1
    fi
    sleep 0.1
done
DISPLAY=:$(tr -d '\n' <"$work/display")
export DISPLAY
echo "on_virtual_display: DISPLAY=$DISPLAY"
status=0
"$wine_run" "$@" || status=$?
exit "$status"
