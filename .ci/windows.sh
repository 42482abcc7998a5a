#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Windows build: the library (DLL, import and static libraries), the
# programs and their tests, cross-built with mingw-w64 and run under wine
# through ctest (the windows preset), then the ZIP, whose content and the
# imports of the DLL and the programs are checked, and the programs from
# the ZIP on a few files.  GoogleTest is built for Windows from Debian's googletest
# sources (cmake/test-requirements.cmake).  Wine's prefix is made once, on
# first use, in build/windows/wine (cmake/wine.sh), never in the home
# directory; the wine server this stage started is stopped at its end.
set -euo pipefail
cd "$(dirname "$0")/.."

bash .ci/install.sh build windows

build=build/windows
stop_wine() {
  if [ -d "$build/wine/prefix" ]; then
    WINEPREFIX=$PWD/$build/wine/prefix /usr/lib/wine/wineserver -k 2>/dev/null || true
  fi
}
trap stop_wine EXIT

cmake --workflow --preset windows --fresh
cmake --build "$build" --target package

# The ZIP holds the library part and nothing of the build; the DLL needs
# no DLL of the compiler's (only what every Windows has).
zip=$(ls "$build"/velkor-*-windows-x86_64.zip)
python3 - "$zip" <<'PY'
import sys, zipfile
names = sorted(zipfile.ZipFile(sys.argv[1]).namelist())
top = names[0].split("/")[0]
want = {"LICENSE", "bin/libvelkor-0.dll", "bin/bgntag.exe", "bin/velkor.exe", "lib/libvelkor.dll.a",
        "lib/libvelkor.a", "include/velkor.h", "doc/bgntag.1.html", "doc/velkor.1.html", "doc/velkor.3.html",
        "lib/cmake/velkor/velkorConfig.cmake"}
have = {n.split("/", 1)[1] for n in names if "/" in n and not n.endswith("/")}
missing = want - have
if missing or any(n.split("/")[0] != top for n in names):
    sys.exit(f"windows: {sys.argv[1]}: missing {sorted(missing)} or not in one folder: {names}")
print(f"windows: {sys.argv[1]}: {len(have)} files in {top}/")
PY
imports=$(x86_64-w64-mingw32-objdump -p "$build/bin/libvelkor-0.dll" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort)
if [ "$imports" != "$(printf 'KERNEL32.dll\nmsvcrt.dll')" ]; then
  echo "windows: libvelkor-0.dll imports more than KERNEL32 and msvcrt:" $imports >&2
  exit 1
fi

# The ZIP as a Windows user takes it: a C++ program built with CMake's
# find_package against the unpacked folder, once with the DLL and once with
# the static library (whose target hands on VELKOR_STATIC), and a C program
# built by hand both ways; each run under wine, the DLL beside the program.
# The static builds must not import the DLL.  (The programs link the
# compiler's own run-times statically too, so that wine needs no DLL of the
# compiler's to start them.)
tmp=$(mktemp -d "$PWD/$build/zip-check.XXXXXX")
trap 'rm -rf "$tmp"; stop_wine' EXIT
python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$zip" "$tmp"
root=$(echo "$tmp"/velkor-*)
cmake -S tests/consumers/cpp -B "$tmp/cpp" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-x86_64-w64-mingw32.cmake" \
  -Dvelkor_DIR="$root/lib/cmake/velkor" -DCMAKE_EXE_LINKER_FLAGS=-static >/dev/null
cmake --build "$tmp/cpp" >/dev/null
mingw=x86_64-w64-mingw32-gcc-posix
$mingw -std=c11 -Wall -Wextra -Werror -I"$root/include" tests/consumers/consumer.c \
  -L"$root/lib" -lvelkor -o "$tmp/c_shared.exe"
# The library is C++ inside: a C program that links it statically links
# the C++ run-time too.
$mingw -std=c11 -Wall -Wextra -Werror -DVELKOR_STATIC -I"$root/include" tests/consumers/consumer.c \
  "$root/lib/libvelkor.a" -static -lstdc++ -o "$tmp/c_static.exe"
cp "$root/bin/libvelkor-0.dll" "$tmp/cpp/"
cp "$root/bin/libvelkor-0.dll" "$tmp/"
for exe in "$tmp/cpp/consumer_shared.exe" "$tmp/cpp/consumer_static.exe" \
           "$tmp/c_shared.exe" "$tmp/c_static.exe"; do
  uses_dll=no
  dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
  grep -qx 'libvelkor-0.dll' <<<"$dlls" && uses_dll=yes
  case $exe in
    *static.exe) want=no ;;
    *) want=yes ;;
  esac
  [ "$uses_dll" = "$want" ] || { echo "windows: $exe: uses libvelkor-0.dll: $uses_dll" >&2; exit 1; }
  sh cmake/wine.sh "$PWD/$build/wine" "$exe" "$tmp/$(basename "$exe" .exe).vc" ||
    { echo "windows: $exe failed under wine" >&2; exit 1; }
done

# The programs need no DLL but what every Windows has, not even the
# library's (they link it statically), and run from the unpacked folder on
# a name beyond ASCII: tag, check, pack and unpack, the bytes checked here.
for prog in bgntag velkor; do
  imports=$(x86_64-w64-mingw32-objdump -p "$root/bin/$prog.exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort | tr '\n' ' ')
  if [ "$imports" != "ADVAPI32.dll KERNEL32.dll bcrypt.dll msvcrt.dll ntdll.dll " ]; then
    echo "windows: $prog.exe imports $imports" >&2
    exit 1
  fi
done
# Wine shows the Linux root as drive Z:.
name=$'d\xc3\xa9j\xc3\xa0 \xe2\x9c\x93.bin'
printf 'firmware\r\n\x1a\n' > "$tmp/$name"
win() { sh cmake/wine.sh "$PWD/$build/wine" "$@"; }
w=Z:$tmp
win "$root/bin/bgntag.exe" "$w/$name" "$w/t.bgn"
win "$root/bin/velkor.exe" tag "$w/$name" "$w/t2.bgn"
cmp "$tmp/t.bgn" "$tmp/t2.bgn"
[ "$(win "$root/bin/velkor.exe" check "$w/t.bgn")" = "$w/t.bgn: OK" ] ||
  { echo "windows: velkor.exe check failed" >&2; exit 1; }
win "$root/bin/velkor.exe" pack -k key -l label "$w/$name" - |
  win "$root/bin/velkor.exe" unpack -k key - "$w/back.bin"
cmp "$tmp/$name" "$tmp/back.bin"
echo "windows: bgntag.exe and velkor.exe from the ZIP: tag, check, pack and unpack agree"
