#!/bin/sh
# outside_project.sh WIN_BUILD SCRATCH SOURCE WINE_RUN: installs WIN_BUILD
# into SCRATCH/prefix, builds the project SOURCE against that prefix only,
# and runs the executable it packed.
set -eu
win_build=$1 scratch=$2 source=$3 wine_run=$4
prefix=$scratch/prefix
# Nothing from the environment may point find_package() elsewhere.
unset CMAKE_PREFIX_PATH Onefile_DIR
rm -rf "$scratch"
mkdir -p "$scratch"

cmake --install "$win_build" --prefix "$prefix" >"$scratch/install.log"
for file in bin/onefile-pack bin/onefile-pack.exe bin/launcher.exe \
            lib/cmake/Onefile/OnefileConfig.cmake lib/cmake/Onefile/OnefileConfigVersion.cmake \
            lib/cmake/Onefile/OnefilePack.cmake lib/cmake/Onefile/OnefileStage.cmake \
            share/onefile/mingw-w64.cmake; do
    [ -f "$prefix/$file" ] || { echo "install left out $file" >&2; exit 1; }
done

# Only the scratch prefix: nothing of the source or build tree is named.
cmake -S "$source" -B "$scratch/build" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$prefix/share/onefile/mingw-w64.cmake" \
      -DCMAKE_PREFIX_PATH="$prefix" >"$scratch/configure.log" \
    || { cat "$scratch/configure.log"; exit 1; }
grep -q "ONEFILE_PACK_EXECUTABLE:FILEPATH=$prefix/bin/onefile-pack\$" "$scratch/build/CMakeCache.txt" \
    || { echo "the package did not pick the native packer of $prefix" >&2; exit 1; }
cmake --build "$scratch/build" -j 2 >"$scratch/build.log" || { cat "$scratch/build.log"; exit 1; }
exe=$scratch/build/Outside.exe
[ -f "$exe" ] || { echo "no $exe" >&2; exit 1; }

# The library first, then the helper library, the loose file, the data the
# build made (';' in a name included) and the runtime the package found
# beside it, then the data folder.
"$prefix/bin/onefile-pack" list "$exe" >"$scratch/list.txt"
cut -f 2 "$scratch/list.txt" | head -n 9 | tr '\n' ' ' \
    | grep -qx 'main.dll a;b.txt app.ico libgcc_s_seh-1.dll liboutside_helper.dll libstdc++-6.dll libwinpthread-1.dll zlib1.dll notes\\greeting.txt ' \
    || { cat "$scratch/list.txt"; echo "unexpected entries" >&2; exit 1; }
grep -q '^onefile-pack: added zlib1.dll (imported by liboutside_app.dll (packed as main.dll)) from ' "$scratch/build.log" \
    || { cat "$scratch/build.log"; echo "no word of the libraries added" >&2; exit 1; }

# The branding the project asked for, and a library the packer had nothing to warn about.
"$prefix/bin/onefile-pack" info "$exe" >"$scratch/info.txt"
for line in 'ProductName +Outside Tool$' 'CompanyName +Outside Makers$' \
            'file version +2\.5\.1\.0$' 'icons +16$' 'imports +.*liboutside_helper\.dll \(in the payload\)'; do
    grep -Eq "^  $line" "$scratch/info.txt" || { cat "$scratch/info.txt"; echo "no '$line'" >&2; exit 1; }
done
if grep -qi warning "$scratch/build.log"; then cat "$scratch/build.log"; exit 1; fi

status=0
"$wine_run" "$exe" one two >"$scratch/output.txt" 2>&1 || status=$?
output=$(tr -d '\r' <"$scratch/output.txt")
expected="outside: 3 arguments, last two
zlib: crc32 b5eafda6
data: packed beside main.dll"
if [ "$status" != 42 ] || [ "$output" != "$expected" ]; then
    printf 'status %s, output:\n%s\n' "$status" "$output" >&2
    exit 1
fi

# A data file removed packs once, not at every later build.
mkdir -p "$scratch/data"
echo one >"$scratch/data/one.txt"
echo two >"$scratch/data/two.txt"
cmake -S "$source" -B "$scratch/repack" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$prefix/share/onefile/mingw-w64.cmake" \
      -DCMAKE_PREFIX_PATH="$prefix" -DOUTSIDE_DATA_DIR="$scratch/data" >"$scratch/repack.log" \
    || { cat "$scratch/repack.log"; exit 1; }
packs() {
    cmake --build "$scratch/repack" -j 2 >"$scratch/repack.log" 2>&1 || { cat "$scratch/repack.log"; exit 1; }
    grep -c "Packing outside_app" "$scratch/repack.log" || true
}
[ "$(packs)$(packs)" = 10 ] || { echo "a build without changes packed again" >&2; exit 1; }
rm "$scratch/data/two.txt"
[ "$(packs)$(packs)$(packs)" = 100 ] || { echo "a removed data file did not pack exactly once" >&2; exit 1; }

# The usual mistakes. A helper left out fails the STRICT build.
cmake -S "$source" -B "$scratch/left_out" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$prefix/share/onefile/mingw-w64.cmake" \
      -DCMAKE_PREFIX_PATH="$prefix" -DOUTSIDE_LEAVE_OUT_HELPER=ON >"$scratch/left_out.log" \
    || { cat "$scratch/left_out.log"; exit 1; }
if cmake --build "$scratch/left_out" -j 2 >>"$scratch/left_out.log" 2>&1; then
    cat "$scratch/left_out.log"; echo "the build passed without its helper library" >&2; exit 1
fi
grep -q 'liboutside_helper.dll (imported by .*) is neither' "$scratch/left_out.log" \
    || { cat "$scratch/left_out.log"; echo "no word of the missing helper" >&2; exit 1; }
[ ! -e "$scratch/left_out/Outside.exe" ] || { echo "STRICT still wrote Outside.exe" >&2; exit 1; }

# Configuration stops without the toolchain file, naming it, and for a
# FILES entry that does not exist; two sources of one name stop the build.
configure_fails() {
    name=$1 expected=$2; shift 2
    if cmake -S "$source" -B "$scratch/$name" -DCMAKE_PREFIX_PATH="$prefix" "$@" >"$scratch/$name.log" 2>&1; then
        echo "$name was configured" >&2; exit 1
    fi
    tr '\n' ' ' <"$scratch/$name.log" | tr -s ' ' | grep -qF -e "$expected" \
        || { cat "$scratch/$name.log"; echo "$name: no '$expected'" >&2; exit 1; }
}
configure_fails native "configure a new build folder with -DCMAKE_TOOLCHAIN_FILE=$prefix/share/onefile/mingw-w64.cmake"
configure_fails missing "onefile_pack: FILES $source/nowhere.txt does not exist" \
    -DCMAKE_TOOLCHAIN_FILE="$prefix/share/onefile/mingw-w64.cmake" -DOUTSIDE_MISSING_FILE=ON
cmake -S "$source" -B "$scratch/clash" -DCMAKE_TOOLCHAIN_FILE="$prefix/share/onefile/mingw-w64.cmake" \
      -DCMAKE_PREFIX_PATH="$prefix" -DOUTSIDE_CLASH=ON >"$scratch/clash.log" || { cat "$scratch/clash.log"; exit 1; }
if cmake --build "$scratch/clash" >>"$scratch/clash.log" 2>&1; then echo "a clash was packed" >&2; exit 1; fi
tr '\n' ' ' <"$scratch/clash.log" | tr -s ' ' | grep -q "two sources would be packed as app.ico: .*/late_data/app.ico (DATA_DIR) and $source/app.ico (FILES)" \
    || { cat "$scratch/clash.log"; echo "no word of the clash" >&2; exit 1; }

# A name Windows cannot take stops the configuration, naming its source.
if cmake -S "$source" -B "$scratch/colon" -DCMAKE_TOOLCHAIN_FILE="$prefix/share/onefile/mingw-w64.cmake" \
         -DCMAKE_PREFIX_PATH="$prefix" -DOUTSIDE_COLON_NAME=ON >"$scratch/colon.log" 2>&1; then
    echo "a name with ':' was configured" >&2; exit 1
fi
# CMake wraps its messages at spaces.
tr '\n' ' ' <"$scratch/colon.log" | tr -s ' ' \
    | grep -q "$scratch/colon/bad/a:b.txt: 'a:b.txt' has the character ':'" \
    || { cat "$scratch/colon.log"; echo "the refusal does not name the source and ':'" >&2; exit 1; }
echo "packed and ran: $exe"
