#!/usr/bin/env bash
# Builds the third-party libraries of the Windows build that Debian has no
# MinGW-w64 packages of: OpenSSL's libcrypto and libzip, static, from
# Debian's own source packages (fetched with apt-get source through a
# private apt configuration; the system's is not touched). zlib comes from
# Debian's libz-mingw-w64-dev.
# Usage: tools/ci/build-windows-deps.sh PREFIX [i686|x86_64]
# For 32-bit Windows (i686, the shipped build; the default) or 64-bit.
# PREFIX gets include/, lib/ and lib/pkgconfig/; cmake/mingw-w64-i686.cmake
# and cmake/mingw-w64.cmake find them there (KORVEL_WINDOWS_DEPS). Nothing
# is done when PREFIX holds a complete build for that architecture already.
set -euo pipefail
[ $# -eq 1 ] || [ $# -eq 2 ] || { echo "usage: $0 PREFIX [i686|x86_64]" >&2; exit 2; }
arch=${2:-i686}
case "$arch" in
  i686) triple=i686-w64-mingw32 compiler=g++-mingw-w64-i686-posix openssl_target=mingw
    toolchain=mingw-w64-i686.cmake ;;
  x86_64) triple=x86_64-w64-mingw32 compiler=g++-mingw-w64-x86-64-posix openssl_target=mingw64
    toolchain=mingw-w64.cmake ;;
  *) echo "$0: unknown architecture $arch (i686 or x86_64)" >&2; exit 2 ;;
esac
cd "$(dirname "$0")/../.."
root=$(pwd)
mkdir -p "$1"
prefix=$(cd "$1" && pwd)
stamp="$prefix/.complete-$arch"
[ -f "$stamp" ] && exit 0
# A prefix of the other architecture is built again from scratch.
rm -rf "${prefix:?}"/{include,lib,bin,share} "${prefix:?}"/.complete*

tools/ci/install-deps.sh "$compiler" libz-mingw-w64-dev cmake ninja-build make perl xz-utils

work="$prefix/.work"
rm -rf "$work"
mkdir -p "$work/apt/lists/partial" "$work/apt/cache" "$work/src"
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm main" \
  >"$work/apt/sources.list"
apt_options=(-o "Dir::Etc::SourceList=$work/apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
  -o "Dir::State::Lists=$work/apt/lists" -o "Dir::Cache=$work/apt/cache")
apt-get -qq "${apt_options[@]}" update
(cd "$work/src" && apt-get -qq "${apt_options[@]}" source --download-only openssl libzip 2>/dev/null)

# OpenSSL: libcrypto only, without the parts the program does not use. The
# package signatures need MD5 and Ed25519 (the ec module): never add no-md5,
# no-ec or no-ecx here.
mkdir -p "$work/openssl"
tar -xzf "$(ls "$work"/src/openssl_*.orig.tar.gz)" -C "$work/openssl" --strip-components=1
(
  cd "$work/openssl"
  ./Configure "$openssl_target" --cross-compile-prefix="$triple-" --prefix="$prefix" --libdir=lib \
    no-shared no-tests no-engine no-dso no-async no-module no-ssl no-dtls no-legacy no-ui-console >/dev/null
  make -j2 build_libs >/dev/null
  make install_dev >/dev/null
)

# libzip: deflate through zlib; no encryption or other compressors.
mkdir -p "$work/libzip"
tar -xJf "$(ls "$work"/src/libzip_*.orig.tar.xz)" -C "$work/libzip" --strip-components=1
cmake -S "$work/libzip" -B "$work/libzip-build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF \
  -DENABLE_COMMONCRYPTO=OFF -DENABLE_GNUTLS=OFF -DENABLE_MBEDTLS=OFF -DENABLE_OPENSSL=OFF \
  -DENABLE_WINDOWS_CRYPTO=OFF -DENABLE_BZIP2=OFF -DENABLE_LZMA=OFF -DENABLE_ZSTD=OFF \
  -DBUILD_TOOLS=OFF -DBUILD_REGRESS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_DOC=OFF >/dev/null
cmake --build "$work/libzip-build" -j2 >/dev/null
cmake --install "$work/libzip-build" >/dev/null
# The prefix may move (a build directory copied or renamed).
sed -i 's|^prefix=.*|prefix=${pcfiledir}/../..|' "$prefix/lib/pkgconfig/libzip.pc"

rm -rf "$work"
echo "OpenSSL and libzip for Windows ($arch) in $prefix"
touch "$stamp"
