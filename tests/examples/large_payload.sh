#!/bin/sh
# large_payload.sh make|remove WORK PACKER STUB DESKTOP_APP HELLO_APP ICON MB DESKTOP_MAIN
# Packs the desktop and hello examples once with a filler of MB megabytes
# for the progress window's tests, or removes them again: files of 64 KiB
# (zeros, sparse in the application folders), 64 to a folder, so that the
# launcher's per-file work keeps unpacking going for a while even when the
# page cache holds everything. The packed files are published by rename.
set -eu
action=$1 work=$2
if [ "$action" = remove ]; then
    rm -rf "$work"
    exit 0
fi
packer=$3 stub=$4 desktop_app=$5 hello_app=$6 icon=$7 megabytes=$8 desktop_main=$9
rm -rf "$work"
mkdir -p "$work"
for name in desktop hello; do
    app_dir=$desktop_app
    [ "$name" = hello ] && app_dir=$hello_app
    cp -R "$app_dir" "$work/$name-app"
    # onefile_pack() stages the desktop example without its library, which
    # it packs from where it was built.
    [ "$name" = desktop ] && cp "$desktop_main" "$work/$name-app/main.dll"
    files=$((megabytes * 16))
    folder=0
    while [ $((folder * 64)) -lt "$files" ]; do
        mkdir -p "$work/$name-app/filler/$folder"
        (cd "$work/$name-app/filler/$folder" && truncate -s 64K $(seq -f "part%g.bin" 1 64))
        folder=$((folder + 1))
    done
done
"$packer" pack "$work/desktop-app" -o "$work/partial.exe" --stub "$stub" --quiet \
    --icon "$icon" --product "Onefile Desktop Example" --original-filename LargeDesktop.exe
mv "$work/partial.exe" "$work/LargeDesktop.exe"
"$packer" pack "$work/hello-app" -o "$work/partial.exe" --stub "$stub" --quiet \
    --original-filename LargeHello.exe
mv "$work/partial.exe" "$work/LargeHello.exe"
rm -rf "$work/desktop-app" "$work/hello-app"
