#!/bin/sh
# The Windows build of the packer keeps branding texts outside the ANSI code
# page: it packs under Wine, and the native packer's info reads them back;
# and it packs --run with --compress into a program that runs.
# Usage: windows_packer_text.sh WINE_RUN PACKER_EXE NATIVE_PACKER STUB LIBRARY SCRATCH
set -eu
wine_run=$1 packer_exe=$2 native=$3 stub=$4 library=$5 scratch=$6
rm -rf "$scratch"
mkdir -p "$scratch/app"
cp "$library" "$scratch/app/main.dll"
product='Grüße ★ Ünïcode'
"$wine_run" "$packer_exe" pack "$scratch/app" -o "$scratch/out.exe" --stub "$stub" --quiet \
    --product "$product" --company 'Ødegård & Søn'
"$native" info "$scratch/out.exe" >"$scratch/info.txt"
grep -q "ProductName *$product\$" "$scratch/info.txt" || { cat "$scratch/info.txt"; exit 1; }
grep -q "CompanyName *Ødegård & Søn\$" "$scratch/info.txt" || { cat "$scratch/info.txt"; exit 1; }

# --run with --compress: the entry naming the program, made in memory, goes
# through the compressed writer too, and the packed program runs (the
# packer itself, a console program of this build).
mkdir -p "$scratch/tool"
cp "$packer_exe" "$scratch/tool/tool.exe"
"$wine_run" "$packer_exe" pack "$scratch/tool" -o "$scratch/tool.exe" --stub "$stub" --quiet \
    --run tool.exe --console --compress --product Tool --company Tools --version 1.0
"$native" list "$scratch/tool.exe" | grep -q "compressed to" || { "$native" list "$scratch/tool.exe"; exit 1; }
"$wine_run" "$scratch/tool.exe" --version >"$scratch/version.txt"
grep -q "^onefile-pack " "$scratch/version.txt" || { cat "$scratch/version.txt"; exit 1; }
