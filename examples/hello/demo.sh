#!/bin/sh
# The whole cycle in one go: pack the hello example into one executable, run
# it under Wine with a few arguments, and show that its run directory is gone.
# Usage: demo.sh BUILD_DIR (run through scripts/with-wineserver).
set -eu
build=$1
here=$(cd "$(dirname "$0")" && pwd)
wine_run="$here/../../scripts/wine-run"
app="$build/win/examples/hello/app"
exe="$build/demo/hello.exe"
mkdir -p "$build/demo"

echo "== 1. the application folder"
(cd "$app" && find . -type f | sort | sed 's/^/   /')

echo "== 2. pack it behind the launcher stub"
"$build/bin/onefile-pack" pack "$app" -o "$exe" --stub "$build/bin/launcher.exe"
"$build/bin/onefile-pack" list "$exe" | sed 's/^/   /'

# Wine keeps the user's temporary folder inside the prefix.
temp_dir=$("$wine_run" cmd /c echo %TEMP% | tr -d '\r')
temp_unix=$(winepath -u "$temp_dir" 2>/dev/null | tr -d '\r')
[ -d "$temp_unix" ] || { echo "demo: cannot find Wine's temporary folder" >&2; exit 1; }
echo "== 3. run it: hello.exe \"first argument\" second"
status=0
"$wine_run" "$exe" "first argument" second >"$build/demo/output.txt" || status=$?
sed 's/\r$//; s/^/   /' "$build/demo/output.txt"
echo "   exit status: $status"

printf '%s\n' "== 4. run directories left in $temp_dir"
left=$(ls -d "$temp_unix"/onefile_* 2>/dev/null || true)
if [ -z "$left" ]; then
    echo "   none: the launcher deleted its run directory"
else
    printf '%s\n' "$left"
    exit 1
fi
