#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
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
case $build in /*) ;; *) build=$src/$build ;; esac

tmp=$(mktemp -d "${TMPDIR:-/tmp}/velkor-install.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix

fail() { echo "install-check: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null

for f in bin/bgntag bin/velkor include/velkor.h \
         share/man/man1/bgntag.1 share/man/man1/velkor.1 share/man/man3/velkor.3 \
         share/bash-completion/completions/velkor share/bash-completion/completions/bgntag \
         share/zsh/vendor-completions/_velkor share/velkor/velkor.magic share/velkor/binwalk.magic; do
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

# C, through pkg-config, whose file names this prefix plainly.
version=$(sed -n 's/^__version__ = "\([0-9.]*\)"$/\1/p' "$src/python/velkor/_version.py")
[ -n "$version" ] && [ "$(pkg-config --modversion velkor)" = "$version" ] ||
  fail "pkg-config reports the wrong version"
[ "$(pkg-config --variable=prefix velkor)" = "$prefix" ] ||
  fail "velkor.pc names prefix $(pkg-config --variable=prefix velkor), not $prefix"
# shellcheck disable=SC2046,SC2005
[ "$(echo $(pkg-config --cflags velkor))" = "-I$prefix/include" ] ||
  fail "pkg-config --cflags velkor: $(pkg-config --cflags velkor)"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Wpedantic -Werror $(pkg-config --cflags velkor) \
   "$src/tests/consumers/consumer.c" $(pkg-config --libs velkor) -o c-consumer
ldd ./c-consumer | grep "$libdir/$soname" >/dev/null || fail "the C consumer does not use the installed $soname"
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
if ninja -C sub-build -t targets all | grep -E '(checksum_test|bgntag_test|_bench)' >/dev/null; then
  fail "a subproject build has velkor's tests or benchmarks"
fi
LD_LIBRARY_PATH= ./sub-build/consumer_shared "$tmp/sub-shared.vc"
./sub-build/consumer_static "$tmp/sub-static.vc"
# A parent's install installs nothing of velkor (VELKOR_INSTALL defaults to
# off in a subproject), and everything when it asks.
cmake --install sub-build --prefix "$tmp/sub-prefix" >/dev/null
[ -z "$(find "$tmp/sub-prefix" -type f 2>/dev/null)" ] ||
  fail "a parent's install installs velkor's files: $(find "$tmp/sub-prefix" -type f | head -3)"
cmake -S "$src/tests/consumers/cpp" -B sub-build -DVELKOR_INSTALL=ON >/dev/null
cmake --install sub-build --prefix "$tmp/sub-prefix" >/dev/null
[ -f "$tmp/sub-prefix/bin/velkor" ] || fail "VELKOR_INSTALL=ON in a subproject does not install"

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
init=$(find "$prefix" -path '*/velkor/__init__.py')
[ -n "$init" ] || fail "the Python package is not installed"
pydir=$(dirname "$(dirname "$init")")
for f in __init__.py py.typed _libpath.py _version.py; do
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

# Where the interpreter looks: the folder cmake --install chose for the
# prefix is one the interpreter searches when that prefix is its own
# (Debian's python3 and /usr/local: lib/python3.X/dist-packages).
if [ -n "$python" ]; then
  want=$("$python" - "$prefix" <<'PY'
import os, sys, sysconfig
prefix = sys.argv[1]
if "deb_system" in sysconfig.get_scheme_names():
    print(os.path.join(prefix, "lib/python%d.%d/dist-packages" % sys.version_info[:2]))
else:
    print(sysconfig.get_path("purelib", "posix_prefix", vars={"base": prefix, "platbase": prefix}))
PY
)
  [ "$pydir" = "$want" ] || fail "the Python package went to $pydir, not $want"
  # The Debian layout's own folder under /usr: asked of the install
  # script without installing there (DESTDIR).
  DESTDIR=$tmp/staged cmake --install "$build" --prefix /usr --component python >/dev/null
  if "$python" -c 'import sysconfig, sys; sys.exit("deb_system" not in sysconfig.get_scheme_names())'; then
    [ -f "$tmp/staged/usr/lib/python3/dist-packages/velkor/__init__.py" ] ||
      fail "prefix /usr: the package is not in lib/python3/dist-packages"
    [ ! -e "$tmp/staged/usr/lib/python3/dist-packages/velkor/_libpath.py" ] ||
      fail "prefix /usr: the package should find the library through the loader"
  fi

  # The README's virtualenv recipe, offline: the virtualenv's own
  # setuptools, and wheel from Debian's python3-wheel-whl; the package then
  # finds the installed library through the loader.  With the interpreter
  # the build uses, and with the first python3 on PATH when that is another
  # one (pyenv's, say), whose own site-packages has no wheel.
  cp -R "$src/python" "$tmp/pysrc"  # pip builds in the tree it is given
  interpreters=("$python")
  other=$(command -v python3 || true)
  if [ -n "$other" ] && [ "$(readlink -f "$other")" != "$(readlink -f "$python")" ]; then
    interpreters+=("$other")
  fi
  n=0
  for py in "${interpreters[@]}"; do
    n=$((n + 1))
    venv=$tmp/venv$n
    "$py" -m venv "$venv" >/dev/null 2>&1 ||
      fail "$py -m venv does not work (Debian: apt-get install python3-venv)"
    (cd "$tmp" && "$venv/bin/pip" install -q --no-index --find-links /usr/share/python-wheels \
        --disable-pip-version-check wheel &&
      "$venv/bin/pip" install -q --no-index --no-build-isolation --disable-pip-version-check ./pysrc) \
      >"$tmp/pip.log" 2>&1 ||
      { cat "$tmp/pip.log"; fail "the README's virtualenv recipe with $py"; }
    out=$(cd "$tmp" && LD_LIBRARY_PATH=$libdir "$venv/bin/python" -c \
      'import velkor; assert "/venv" in velkor.__file__, velkor.__file__
print(velkor.__version__, velkor.untag(velkor.tag(b"ok")).decode())') ||
      fail "import velkor from the virtualenv of $py"
    [ "$out" = "$version ok" ] || fail "the virtualenv's velkor says '$out'"
    # Without the library the import says what to install.
    if msg=$(cd "$tmp" && env -u LD_LIBRARY_PATH "$venv/bin/python" -c 'import velkor' 2>&1); then
      ldconfig -p | grep 'libvelkor\.so\.0 ' >/dev/null || fail "import velkor without the library succeeded"
    else
      case $msg in *libvelkor0*) ;; *) fail "no package named when the library is missing: $msg" ;; esac
    fi
  done
  [ "$("$prefix/bin/velkor" --version)" = "velkor $version" ] || fail "velkor --version"
fi
echo "install-check: ok ($prefix)"
