#!/bin/sh
# tools_only.sh SOURCE SCRATCH BUILT: `make install`'s tools-only
# configurations of SOURCE as on a machine without GoogleTest: in a mount
# namespace of its own, every file of Debian's GoogleTest packages is hidden
# (an empty folder or an empty file in its place), so neither find_package(),
# add_subdirectory() nor a bare -lgtest can reach them. What they would build
# is what the Windows build tree BUILT has built (the same sources, flags and
# toolchain): it is installed into SCRATCH/prefix rather than built again.
# Exits 77 (skipped) where no mount namespace can be made (not root) or
# BUILT has not been built.
set -eu
source=$1 scratch=$2 built=$3
[ -f "$built/cmake_install.cmake" ] || { echo "tools_only: $built is not built; skipped"; exit 77; }
if [ "${ONEFILE_NO_GTEST_INSIDE:-}" != 1 ]; then
    unshare -m true 2>/dev/null || { echo "tools_only: no mount namespace here (needs root); skipped"; exit 77; }
    exec env ONEFILE_NO_GTEST_INSIDE=1 unshare -m sh "$0" "$@"
fi

mkdir -p "$scratch/empty"
: >"$scratch/empty_file"
for hidden in /usr/src/googletest /usr/src/gtest /usr/include/gtest /usr/include/gmock \
              /usr/lib/x86_64-linux-gnu/cmake/GTest; do
    [ -d "$hidden" ] && mount --bind "$scratch/empty" "$hidden"
done
for hidden in /usr/lib/x86_64-linux-gnu/libgtest*.a /usr/lib/x86_64-linux-gnu/libgmock*.a \
              /usr/lib/x86_64-linux-gnu/pkgconfig/gtest*.pc /usr/lib/x86_64-linux-gnu/pkgconfig/gmock*.pc; do
    [ -f "$hidden" ] && mount --bind "$scratch/empty_file" "$hidden"
done
if [ -e /usr/include/gtest/gtest.h ] || [ -e /usr/src/googletest/CMakeLists.txt ]; then
    echo "tools_only: GoogleTest is still visible" >&2; exit 1
fi

rm -rf "$scratch/build" "$scratch/prefix"
make -C "$source" install-config BUILD="$scratch/build" \
    >"$scratch/install.log" 2>&1 || { tail -n 40 "$scratch/install.log"; exit 1; }
cmake --install "$built" --prefix "$scratch/prefix" >>"$scratch/install.log" 2>&1 ||
    { tail -n 40 "$scratch/install.log"; exit 1; }
for file in bin/onefile-pack bin/onefile-pack.exe bin/launcher.exe lib/cmake/Onefile/OnefileConfig.cmake; do
    [ -f "$scratch/prefix/$file" ] || { echo "tools_only: install left out $file" >&2; exit 1; }
done
# Nothing of the build system it generated names GoogleTest.
if grep -rli -E 'gtest|gmock|googletest' "$scratch/build/install" --include='*.txt' --include='*.make' \
       --include=Makefile --include='*.cmake'; then
    echo "tools_only: the tools-only build names GoogleTest (files above)" >&2; exit 1
fi
echo "tools-only install without GoogleTest: $scratch/prefix"
