#!/bin/sh
# Installs what the build and the tests need, from Debian's packages.
# Idempotent: installs only what is missing, and runs apt-get update at most once.
# With --tools: only what the tools-only build of `make install` needs.
set -eu

need=""
have() { command -v "$1" >/dev/null 2>&1; }
pkg_missing() { ! dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

have x86_64-w64-mingw32-g++-posix || need="$need g++-mingw-w64-x86-64-posix"
have x86_64-w64-mingw32-windres  || need="$need binutils-mingw-w64-x86-64"
have cmake                       || need="$need cmake"
have g++                         || need="$need g++"
have make                        || need="$need make"
# The host packer's SHA-256 comes from OpenSSL's libcrypto.
pkg_missing libssl-dev           && need="$need libssl-dev"
# The packer's compressor; dpkg-source unpacks zstd's source package below.
pkg_missing libzstd-dev          && need="$need libzstd-dev"
have dpkg-source                 || need="$need dpkg-dev"
if [ "${1:-}" != --tools ]; then
[ -x /usr/lib/wine/wine64 ]      || need="$need wine64"
have clang                       || need="$need clang"
have python3                     || need="$need python3"
have osslsigncode                || need="$need osslsigncode"
have openssl                     || need="$need openssl"
have tar                         || need="$need tar"
have zstd                        || need="$need zstd"
# The desktop example's test runs its window on a virtual X display.
have Xvfb                        || need="$need xvfb"
for p in googletest libgtest-dev; do pkg_missing "$p" && need="$need $p"; done
# The outside project's test links Debian's mingw zlib; configured natively
# by mistake, it finds the host's zlib before onefile_pack() stops it.
for p in libz-mingw-w64-dev zlib1g-dev; do pkg_missing "$p" && need="$need $p"; done
# Sanitizer and fuzzer runtimes for clang.
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 \
    || need="$need libclang-rt-14-dev"
# The README's screenshot step and the failure box's screenshot.
have import                      || need="$need imagemagick"
fi

if [ -n "$need" ]; then
    echo "install-deps: installing$need"
    SUDO=""
    [ "$(id -u)" = 0 ] || SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $need
fi

# The launcher's decoder and the Windows packer's codec: zstd built from
# Debian's own source package, whose files apt checks against the signed
# index. Unpacked once into third_party/zstd, where the build looks for it.
here=$(cd "$(dirname "$0")/.." && pwd)
if ! ls -d "$here"/third_party/zstd/*zstd-*/lib/decompress >/dev/null 2>&1; then
    SUDO=""
    [ "$(id -u)" = 0 ] || SUDO=sudo
    src_list=/etc/apt/sources.list.d/onefile-deb-src.sources
    if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && \
       ! grep -qs '^deb-src' /etc/apt/sources.list; then
        echo "install-deps: adding Debian's source index ($src_list)"
        codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
        printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: %s %s-updates\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
            "$codename" "$codename" | $SUDO tee "$src_list" >/dev/null
        $SUDO apt-get update -qq
    fi
    mkdir -p "$here/third_party/zstd"
    (cd "$here/third_party/zstd" && apt-get source -qq zstd)
fi
