#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian package from the committed tree, installs it with apt-get, checks the installed
# programs (the desktop one under Xvfb) and removes the package again. Not part of CI: it changes
# the machine's package set while it runs. Usage: packaging/check_deb.sh [OUTPUT_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
out=$(realpath -m "${1:-build-deb}")
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo

if [ "$(dpkg-query -W -f='${Status}' nimbrel 2>/dev/null || true)" = "install ok installed" ]; then
  echo "nimbrel is already installed; remove it first (apt-get remove nimbrel)" >&2
  exit 1
fi

# A copy of HEAD in a folder that is gone before the program runs, so the installed program can
# only find its icons where the package put them, not in the source tree it was built from.
work=$(mktemp -d /tmp/nimbrel-deb.XXXXXX)
installed=0
cleanup() {
  if [ $installed -eq 1 ]; then
    echo "== removing the package"
    DEBIAN_FRONTEND=noninteractive $sudo apt-get remove -y -qq nimbrel >/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT
git archive HEAD | tar -x -C "$work" --one-top-level=src

echo "== building the package"
cmake -S "$work/src" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_INSTALL_PREFIX=/usr -DNIMBREL_TESTS=OFF -DNIMBREL_BENCH=OFF >/dev/null
cmake --build "$work/build" -j "$(nproc)" >/dev/null
(cd "$work/build" && cpack -G DEB >/dev/null)
mkdir -p "$out"
rm -f "$out"/nimbrel_*.deb
cp "$work"/build/nimbrel_*.deb "$out/"
deb=$(ls "$out"/nimbrel_*.deb)
rm -rf "$work/src" "$work/build"
echo "$deb: $(du -k "$deb" | cut -f1) KB"

status=0
fail() { echo "FAIL: $*"; status=1; }

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for package in libgtk-3-0 libpng16-16 libjpeg62-turbo libtiff6 libopenjp2-7 zlib1g \
               webp-pixbuf-loader librsvg2-common heif-gdk-pixbuf; do
  [[ ", $depends," == *", $package"[\ ,]* ]] || fail "Depends lacks $package"
done

# This machine may have every dependency already; on a fresh one apt-get must find each in the
# archive.
for package in $(echo "$depends" | tr ',' '\n' | sed 's/(.*//; s/|.*//' | tr -d ' '); do
  candidate=$(apt-cache policy "$package" 2>/dev/null | sed -n 's/^ *Candidate: //p')
  [ -n "$candidate" ] && [ "$candidate" != "(none)" ] || fail "no candidate in the archive for $package"
done

echo "== installing with apt-get"
installed=1
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$deb"

echo "== checking the installed files"
version=$(/usr/bin/nimbrel-cli --version) || fail "nimbrel-cli --version failed"
echo "$version"
[ "$version" = "nimbrel-cli $(dpkg-deb -f "$deb" Version)" ] || fail "version '$version'"
for path in /usr/bin/nimbrel /usr/share/applications/nimbrel.desktop \
            /usr/share/metainfo/io.github.nimbrel.Nimbrel.metainfo.xml \
            /usr/share/icons/hicolor/256x256/apps/nimbrel.png /usr/share/man/man1/nimbrel-cli.1.gz \
            /usr/share/nimbrel/samples/star.png /usr/share/doc/nimbrel/copyright; do
  [ -f "$path" ] || fail "$path is not installed"
done
if command -v man >/dev/null; then man -w nimbrel-cli >/dev/null 2>&1 || fail "man cannot find nimbrel-cli"; fi
desktop-file-validate /usr/share/applications/nimbrel.desktop || fail "desktop entry"
appstreamcli validate --no-net /usr/share/metainfo/io.github.nimbrel.Nimbrel.metainfo.xml >/dev/null \
  || fail "metainfo"
revealed=$(mktemp --suffix=.png)
/usr/bin/nimbrel-cli --json -o "$revealed" /usr/share/nimbrel/samples/star.png \
  || fail "nimbrel-cli cannot reveal the installed sample"
rm -f "$revealed"

echo "== starting the installed nimbrel under Xvfb"
/usr/bin/python3 "$top/tests/gui/window_icon_test.py" /usr/bin/nimbrel || fail "desktop program"

if [ $status -eq 0 ]; then echo "The package checks passed"; else echo "Some package check failed"; fi
exit $status
