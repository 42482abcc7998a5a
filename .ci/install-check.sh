#!/usr/bin/env bash
# Install a build into a temporary prefix and use it the way others will:
# check that every installed file is there, build a C program through
# pkg-config and a C++ program through find_package(velkor) against the
# installed files alone, run both, and run the installed commands.
#
#   .ci/install-check.sh [BUILD_DIR]     (default build/default)
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
build=${1:-build/default}

tmp=$(mktemp -d "${TMPDIR:-/tmp}/velkor-install.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix

fail() { echo "install-check: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null

for f in bin/bgntag bin/velkor include/velkor.h \
         share/man/man1/bgntag.1 share/man/man1/velkor.1 share/man/man3/velkor.3; do
  [ -f "$prefix/$f" ] || fail "$f is not installed"
done
pc=$(find "$prefix" -name velkor.pc)
[ -n "$pc" ] || fail "velkor.pc is not installed"
libdir=$(dirname "$(dirname "$pc")")
for f in libvelkor.a libvelkor.so; do
  [ -e "$libdir/$f" ] || fail "$f is not installed in $libdir"
done
soname=$(objdump -p "$libdir/libvelkor.so" | awk '$1 == "SONAME" { print $2 }')
[ -n "$soname" ] && [ -f "$libdir/$soname" ] || fail "libvelkor.so has no SONAME or no $soname"
[ -f "$libdir/cmake/velkor/velkorConfig.cmake" ] || fail "CMake package is not installed"

# Only the installed tree may be used from here on.
export PKG_CONFIG_PATH=$(dirname "$pc")
export LD_LIBRARY_PATH=$libdir
cd "$tmp"

# C, through pkg-config.
[ "$(pkg-config --modversion velkor)" = "$(sed -n 's/^project(velkor VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")" ] ||
  fail "pkg-config reports the wrong version"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Wpedantic -Werror $(pkg-config --cflags velkor) \
   "$src/tests/consumers/consumer.c" $(pkg-config --libs velkor) -o c-consumer
ldd ./c-consumer | grep -q "$libdir/$soname" || fail "the C consumer does not use the installed $soname"
./c-consumer "$tmp/c.vc"

# C++, through find_package.
cmake -S "$src/tests/consumers/cpp" -B cpp-build -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >cpp-configure.log ||
  { cat cpp-configure.log; fail "the C++ consumer does not configure"; }
grep -q "velkor [0-9.]* from $prefix/" cpp-configure.log || fail "find_package found another velkor"
cmake --build cpp-build >/dev/null
./cpp-build/consumer_shared "$tmp/shared.vc"
./cpp-build/consumer_static "$tmp/static.vc"

# The same program with velkor's source tree as a subproject: the same
# target names, and none of velkor's tests or benchmarks built (a parent
# project need not have GoogleTest).
cmake -S "$src/tests/consumers/cpp" -B sub-build -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DVELKOR_SOURCE_DIR="$src" >sub-configure.log ||
  { cat sub-configure.log; fail "velkor does not configure as a subproject"; }
cmake --build sub-build >/dev/null || fail "velkor does not build as a subproject"
if ninja -C sub-build -t targets all | grep -q -E '(checksum_test|bgntag_test|_bench)'; then
  fail "a subproject build has velkor's tests or benchmarks"
fi
LD_LIBRARY_PATH= ./sub-build/consumer_shared "$tmp/sub-shared.vc"
./sub-build/consumer_static "$tmp/sub-static.vc"

# The installed commands read what the consumers wrote, and round-trip.
"$prefix/bin/velkor" unpack -k "consumer key" "$tmp/c.vc" c.out
[ "$(cat c.out)" = "a payload from C" ] || fail "velkor unpack of the C consumer's container"
printf 'abc' > abc
"$prefix/bin/bgntag" abc abc.bgn
"$prefix/bin/velkor" check -q abc.bgn
"$prefix/bin/velkor" untag abc.bgn abc.out
cmp -s abc abc.out || fail "bgntag then velkor untag"

# Python: the installed package loads the installed library with no help
# from the environment (LD_LIBRARY_PATH dropped), and still does once the
# whole tree has moved.
case $build in /*) cache_file=$build/CMakeCache.txt ;; *) cache_file=$src/$build/CMakeCache.txt ;; esac
cache() { sed -n "s/^$1:[A-Z]*=//p" "$cache_file"; }
python=$(cache Python3_EXECUTABLE)
pydir=$(cache VELKOR_PYTHON_DIR)
case $pydir in /*) ;; *) pydir=$prefix/$pydir ;; esac
for f in __init__.py py.typed _libpath.py; do
  [ -f "$pydir/velkor/$f" ] || fail "velkor/$f is not installed in $pydir"
done
python_check() {
  env -u LD_LIBRARY_PATH -u VELKOR_LIBRARY PYTHONPATH="$2" PYTHONDONTWRITEBYTECODE=1 \
    "${python:-python3}" - "$1" "$tmp/c.vc" <<'PY' || fail "import velkor from $2"
import sys
import velkor
root, box = sys.argv[1], sys.argv[2]
loaded = {line.split()[-1] for line in open("/proc/self/maps") if "libvelkor" in line}
assert loaded and all(p.startswith(root + "/") for p in loaded), loaded
assert velkor.untag(velkor.tag(b"abc")) == b"abc"
with open(box, "rb") as f:
    assert velkor.unpack(f.read(), "consumer key").payload == b"a payload from C"
PY
}
python_check "$prefix" "$pydir"
case $pydir in
  "$prefix"/*)
    mv "$prefix" "$tmp/moved"
    python_check "$tmp/moved" "$tmp/moved/${pydir#"$prefix"/}"
    mv "$tmp/moved" "$prefix" ;;
esac
echo "install-check: ok ($prefix)"
