#!/bin/bash
# SPDX-License-Identifier: MIT
# Builds zlib, libpng, libjpeg-turbo, libtiff and OpenJPEG as static i686 Windows libraries from the
# distribution's own source packages, into a prefix under a cache folder that later runs reuse.
#
#   scripts/windows/build-deps.sh [cache-dir]     (default: $NIMBREL_WIN32_CACHE or ~/.cache/nimbrel-win32)
#
# Prints the prefix on its last line. Exit 77 when the source packages cannot be had (no archive).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
cache=${1:-${NIMBREL_WIN32_CACHE:-$HOME/.cache/nimbrel-win32}}
prefix=$cache/prefix
toolchain=$root/cmake/toolchain-i686-mingw32.cmake
jobs=${NIMBREL_JOBS:-2}
# The libraries, by source package name, in build order (each needs the ones before it).
packages=(zlib libpng1.6 libjpeg-turbo tiff openjpeg2)

say() { echo "build-deps: $*" >&2; }

if [[ -f $prefix/.complete ]]; then
  say "reusing $prefix"
  echo "$prefix"
  exit 0
fi

for tool in i686-w64-mingw32-gcc-posix cmake dpkg-source; do
  if ! command -v "$tool" >/dev/null; then
    say "missing $tool (apt-get install g++-mingw-w64-i686-posix cmake dpkg-dev)"
    exit 1
  fi
done

mkdir -p "$cache/apt/lists/partial" "$cache/apt/archives/partial" "$cache/src" "$cache/build"

# A private apt configuration: deb-src for the mirrors and suites the machine already uses for
# binaries (backports left out, so the sources match what the distribution itself ships).
apt_conf=$cache/apt/apt.conf
sources=$cache/apt/sources.list
# The security archive comes last: for a version found in both, apt takes the first entry, and the
# security pool may not serve the files of a version that the main archive also carries.
apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' 'Created-By: Packages' |
  sort -u | grep -v -- '-backports ' | awk '{print ($2 ~ /-security$/ ? 1 : 0), $0}' | sort -s -k1,1n |
  while read -r _ uri release component; do
    echo "deb-src $uri $release $component"
  done >"$sources"
if [[ ! -s $sources ]]; then
  say "no binary sources configured; cannot derive source archives"
  exit 77
fi
cat >"$apt_conf" <<EOF
Dir::Etc::SourceList "$sources";
Dir::Etc::SourceParts "/dev/null";
Dir::State::Lists "$cache/apt/lists";
Dir::Cache "$cache/apt";
Dir::Cache::archives "$cache/apt/archives";
APT::Get::Only-Source "true";
EOF
export APT_CONFIG=$apt_conf

if ! apt-get -q update >"$cache/apt/update.log" 2>&1; then
  say "apt-get update of the source lists failed (see $cache/apt/update.log)"
  exit 77
fi

# Fetches and unpacks one source package; tries older versions when the newest is not served.
fetch_source() {
  local name=$1 dir=$cache/src/$1
  if [[ -f $dir/.unpacked ]]; then
    echo "$dir"/*/
    return
  fi
  rm -rf "$dir"
  mkdir -p "$dir"
  local versions
  versions=$(apt-cache showsrc "$name" 2>/dev/null | awk '/^Version:/ {print $2}' | sort -r -V -u)
  for version in $versions; do
    if (cd "$dir" && apt-get -q source --download-only "$name=$version" >"$dir/fetch.log" 2>&1); then
      (cd "$dir" && dpkg-source --no-check -x ./*.dsc "$name" >>"$dir/fetch.log" 2>&1)
      touch "$dir/.unpacked"
      echo "$dir/$name/"
      return
    fi
    say "$name $version: not served, trying an older version"
  done
  return 1
}

cmake_build() {  # name source-dir extra cmake arguments...
  local name=$1 source=$2
  shift 2
  local build=$cache/build/$name
  rm -rf "$build"
  nice -n 10 cmake -S "$source" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DNIMBREL_WIN32_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DCMAKE_POLICY_DEFAULT_CMP0074=NEW -DBUILD_SHARED_LIBS=OFF "$@" >"$build.log" 2>&1
  nice -n 10 cmake --build "$build" -j"$jobs" >>"$build.log" 2>&1
  cmake --install "$build" >>"$build.log" 2>&1
}

declare -A source_dirs
for name in "${packages[@]}"; do
  if ! dir=$(fetch_source "$name"); then
    say "cannot fetch the source of $name (see $cache/src/$name/fetch.log)"
    exit 77
  fi
  source_dirs[$name]=${dir%/}
  say "$name: $(basename "$(ls "$cache/src/$name"/*.dsc)")"
done

rm -rf "$prefix"
mkdir -p "$prefix/include" "$prefix/lib/pkgconfig"

say "building zlib"
zsrc=${source_dirs[zlib]}
# Debian's zlib source drops the win32 makefiles; the library is a plain set of C files.
zbuild=$cache/build/zlib
rm -rf "$zbuild"
mkdir -p "$zbuild"
for unit in adler32 compress crc32 deflate gzclose gzlib gzread gzwrite infback inffast inflate \
  inftrees trees uncompr zutil; do
  nice -n 10 i686-w64-mingw32-gcc-posix -O2 -c "$zsrc/$unit.c" -o "$zbuild/$unit.o" \
    >>"$cache/build/zlib.log" 2>&1
done
i686-w64-mingw32-ar rcs "$prefix/lib/libz.a" "$zbuild"/*.o
cp "$zsrc/zlib.h" "$zsrc/zconf.h" "$prefix/include/"
zversion=$(sed -n 's/^#define ZLIB_VERSION "\(.*\)"/\1/p' "$zsrc/zlib.h")
cat >"$prefix/lib/pkgconfig/zlib.pc" <<EOF
prefix=$prefix
libdir=\${prefix}/lib
includedir=\${prefix}/include
Name: zlib
Description: zlib compression library
Version: $zversion
Libs: -L\${libdir} -lz
Cflags: -I\${includedir}
EOF

say "building libpng"
cmake_build libpng "${source_dirs[libpng1.6]}" -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF \
  -DPNG_EXECUTABLES=OFF -DPNG_HARDWARE_OPTIMIZATIONS=OFF -DZLIB_ROOT="$prefix"

say "building libjpeg-turbo"
cmake_build libjpeg "${source_dirs[libjpeg-turbo]}" -DENABLE_SHARED=OFF -DENABLE_STATIC=ON \
  -DWITH_SIMD=OFF -DWITH_TURBOJPEG=OFF -DCMAKE_INSTALL_LIBDIR="$prefix/lib"

say "building libtiff"
cmake_build libtiff "${source_dirs[tiff]}" -Dtiff-tools=OFF -Dtiff-tests=OFF -Dtiff-contrib=OFF \
  -Dtiff-docs=OFF -Dcxx=OFF -Djbig=OFF -Dlzma=OFF -Dzstd=OFF -Dwebp=OFF -Dlerc=OFF \
  -Dlibdeflate=OFF -Djpeg=ON -Dzlib=ON -Dpixarlog=ON -Dold-jpeg=OFF -DCMAKE_INSTALL_LIBDIR=lib \
  -DZLIB_ROOT="$prefix" -DJPEG_ROOT="$prefix"

say "building openjpeg"
cmake_build openjpeg "${source_dirs[openjpeg2]}" -DBUILD_STATIC_LIBS=ON -DBUILD_CODEC=OFF \
  -DBUILD_TESTING=OFF -DBUILD_DOC=OFF -DCMAKE_INSTALL_LIBDIR=lib

touch "$prefix/.complete"
say "done: $prefix"
echo "$prefix"
