#!/bin/sh
# The command-line example: wordcount.exe, packed with --console --run, run
# by cmd from a batch file as a user's script would; cmd waits for it, its
# output appears and %errorlevel% is the program's own status.
# Usage: demo.sh BUILD_DIR (run through scripts/with-wineserver).
set -eu
build=$1
here=$(cd "$(dirname "$0")" && pwd)
wine_run="$here/../../scripts/wine-run"
exe="$build/win/examples/wordcount/packed/wordcount.exe"
work="$build/demo/wordcount"
mkdir -p "$work"
printf 'one two three\nfour\n' >"$work/words.txt"
printf '@echo off\r\nwordcount.exe words.txt\r\necho status %%errorlevel%%\r\nwordcount.exe missing.txt\r\necho status %%errorlevel%%\r\n' >"$work/run.bat"
cp "$exe" "$work/wordcount.exe"
echo "== wordcount.exe from cmd (onefile-pack pack APP --console --run wordcount.exe)"
"$build/bin/onefile-pack" info "$work/wordcount.exe" | grep -E "subsystem|program" | sed 's/^/   /'
(cd "$work" && "$wine_run" cmd /c run.bat 2>&1 </dev/null) | sed 's/\r$//; s/^/   /'
