#!/bin/bash
# SPDX-License-Identifier: MIT
# From nothing to a tested Windows program: installs the cross compilers, wine (and, where the
# kernel refuses 32-bit programs, qemu-user through binfmt_misc), builds the image libraries and
# nimbrel.exe for 32-bit Windows, and drives the program under wine on Xvfb.
#
#   scripts/windows/test-under-wine.sh [build-dir]    (default: build-win32 in the repository)
#
# Environment: NIMBREL_WIN32_CACHE (default ~/.cache/nimbrel-win32) keeps the libraries, the wine
# prefix and the source packages between runs; NIMBREL_NO_INSTALL=1 installs nothing.
# Exit 0 with a "SKIP:" line when something it needs cannot be installed or downloaded.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build-win32}
cache=${NIMBREL_WIN32_CACHE:-$HOME/.cache/nimbrel-win32}
export NIMBREL_WIN32_CACHE=$cache
mkdir -p "$cache"

say() { echo "windows: $*"; }
skip() {
  say "SKIP: $*"
  exit 0
}

# ---- Packages ------------------------------------------------------------------------------------

# What changes the system goes through sudo for a user who is not root.
as_root() {
  if [[ $(id -u) -eq 0 ]]; then "$@"; else sudo "$@"; fi
}

apt_install() {  # packages...
  [[ ${NIMBREL_NO_INSTALL:-0} == 1 ]] && return 1
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$@" \
    >>"$cache/apt-install.log" 2>&1
}

updated=0
apt_update() {
  [[ $updated == 1 || ${NIMBREL_NO_INSTALL:-0} == 1 ]] && return 0
  as_root apt-get update -q >>"$cache/apt-install.log" 2>&1 || return 1
  updated=1
}

have_packages() { dpkg-query -W -f='${Status}\n' "$@" 2>/dev/null | grep -c 'install ok installed' |
  grep -qx "$#"; }

host_packages=(g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix cmake ninja-build dpkg-dev
  file xvfb xauth xdotool x11-utils imagemagick python3-numpy python3-pil)
if ! have_packages "${host_packages[@]}"; then
  say "installing the cross compilers and the X tools"
  apt_update || skip "apt-get update failed"
  apt_install "${host_packages[@]}" || skip "cannot install ${host_packages[*]}"
fi

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  [[ ${NIMBREL_NO_INSTALL:-0} == 1 ]] && skip "wine32 needs the i386 architecture"
  as_root dpkg --add-architecture i386 || skip "cannot add the i386 architecture"
  updated=0
fi
if ! have_packages wine wine32:i386; then
  say "installing wine32"
  apt_update || skip "apt-get update failed"
  apt_install wine wine32:i386 || skip "cannot install wine32"
fi

# A 32-bit program of 84 bytes that exits with code 42: does the kernel run 32-bit ELF at all?
probe=$cache/elf32-probe
printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80' >"$probe"
chmod +x "$probe"
runs32() {
  local rc=0
  "$probe" 2>/dev/null || rc=$?
  [[ $rc == 42 ]]
}
if ! runs32; then
  say "the kernel refuses 32-bit programs; running them through qemu-user"
  # bookworm's qemu 7.2 cannot run wine; the backports' qemu 10 can.
  if ! [[ -x /usr/bin/qemu-i386-static ]] ||
    ! /usr/bin/qemu-i386-static --version | grep -Eq 'version (9|[1-9][0-9])\.'; then
    [[ ${NIMBREL_NO_INSTALL:-0} == 1 ]] && skip "no qemu-i386-static 9 or newer"
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
    if ! apt-cache policy qemu-user-static | grep -q -- "$codename-backports"; then
      as_root tee /etc/apt/sources.list.d/nimbrel-backports.sources >/dev/null <<EOF
Types: deb
URIs: http://deb.debian.org/debian
Suites: $codename-backports
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
      updated=0
    fi
    apt_update || skip "apt-get update failed"
    apt_install -t "$codename-backports" qemu-user-static || skip "cannot install qemu-user-static"
  fi
  if [[ ! -e /proc/sys/fs/binfmt_misc/register ]]; then
    as_root mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null ||
      skip "cannot mount binfmt_misc"
  fi
  if [[ ! -e /proc/sys/fs/binfmt_misc/qemu-i386 ]]; then
    # F: the interpreter is opened now, so it serves inside any mount namespace wine makes.
    echo ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:FP' \
      | as_root tee /proc/sys/fs/binfmt_misc/register >/dev/null ||
      skip "cannot register qemu-i386 with binfmt_misc"
  fi
  runs32 || skip "32-bit programs still do not run"
fi

# ---- The image libraries and the program ------------------------------------------------------------

start=$(date +%s)
deps_rc=0
prefix=$("$here/build-deps.sh" "$cache" | tail -n 1) || deps_rc=$?
[[ $deps_rc == 77 ]] && skip "the distribution's source packages cannot be downloaded"
[[ $deps_rc != 0 ]] && { say "building the image libraries failed"; exit 1; }
say "image libraries in $prefix ($(($(date +%s) - start)) s)"

start=$(date +%s)
nice -n 10 cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686-mingw32.cmake" \
  -DNIMBREL_WIN32_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release >"$cache/configure.log" 2>&1 ||
  { cat "$cache/configure.log"; exit 1; }
nice -n 10 cmake --build "$build" -j"${NIMBREL_JOBS:-2}" ||  exit 1
exe=$build/nimbrel.exe
say "built $exe ($(($(date +%s) - start)) s)"

# PE32, GUI subsystem, and no DLL beyond the system's own: the runtimes are linked in.
kind=$(file -b "$exe")
[[ $kind == *"PE32 executable (GUI) Intel 80386"* ]] || { say "FAIL: $exe is $kind"; exit 1; }
imports=$(i686-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ {print tolower($3)}' | sort -u)
for dll in $imports; do
  case $dll in
    kernel32.dll | user32.dll | gdi32.dll | comctl32.dll | comdlg32.dll | ole32.dll | oleaut32.dll | \
      msvcrt.dll | advapi32.dll | shell32.dll) ;;
    *) say "FAIL: $exe needs $dll"; exit 1 ;;
  esac
done
say "PE32 GUI program, imports: $(echo $imports)"

# ---- Wine ---------------------------------------------------------------------------------------------

export WINEARCH=win32 WINEPREFIX=$cache/wineprefix WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="
if [[ ! -f $WINEPREFIX/system.reg ]]; then
  start=$(date +%s)
  DISPLAY= wine wineboot -i >"$cache/wineboot.log" 2>&1 || { cat "$cache/wineboot.log"; exit 1; }
  wineserver -w
  say "wine prefix made ($(($(date +%s) - start)) s)"
fi
# No window manager on Xvfb: wine draws the frames itself, close buttons included.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null 2>&1
wineserver -w

# The GUI checks drive an emulated desktop with clicks; a failed run is tried once more.
start=$(date +%s)
/usr/bin/python3 "$here/wine_gui_check.py" "$exe" "$build" ||
  { say "trying the GUI checks once more"; wineserver -k || true; /usr/bin/python3 "$here/wine_gui_check.py" "$exe" "$build"; }
say "GUI checks passed ($(($(date +%s) - start)) s)"

# The unit and corpus tests of the program code, built for Windows, run under wine, two at a time:
# most of the time goes into starting wine processes, one core each. The wine server and wine's
# own services start first, outside every test: started by a test, they would keep its output
# open, and ctest would wait for them until the whole run ends. Under qemu, wine now and then
# fails to start a process at all; a failed test program is run once more before it counts.
start=$(date +%s)
xvfb-run -a -s "-screen 0 1280x1024x24" bash -c '
  wineserver -p >/dev/null 2>&1 </dev/null
  wine wineboot >/dev/null 2>&1 </dev/null
  rc=0
  ctest --test-dir "$1" --output-on-failure -j"$2" --repeat until-pass:2 || rc=$?
  wineserver -k
  exit $rc' tests "$build" "${NIMBREL_JOBS:-2}" ||
  { say "FAIL: tests under wine"; exit 1; }
say "tests under wine passed ($(($(date +%s) - start)) s)"
