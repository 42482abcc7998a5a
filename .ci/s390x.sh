#!/usr/bin/env bash
# Big-endian check: cross-build the library, bgntag and the tests for s390x
# and run the whole suite under qemu.  golden_test compares the bytes the
# library and bgntag produce with the little-endian host's.
#
# GoogleTest is built for s390x from the sources Debian ships with
# libgtest-dev.  bgntag is started by the tests as a program, and without
# binfmt_misc the kernel cannot run an s390x binary, so the tests get a
# wrapper in its place that starts it under qemu (with the same argument 0).
# The same goes for every other program in tool/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/s390x
gtest=$root/build/s390x-gtest
toolchain=$root/cmake/toolchain-s390x.cmake
jobs=${JOBS:-2}

if [ ! -f "$gtest/install/lib/cmake/GTest/GTestConfig.cmake" ]; then
  cmake -S /usr/src/googletest -B "$gtest" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DBUILD_GMOCK=OFF \
    -DCMAKE_INSTALL_PREFIX="$gtest/install" -DCMAKE_INSTALL_LIBDIR=lib >/dev/null
  cmake --build "$gtest" -j "$jobs"
  cmake --install "$gtest" >/dev/null
fi

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DGTest_DIR="$gtest/install/lib/cmake/GTest" \
  -DVELKOR_BUILD_BENCH=OFF -DVELKOR_WERROR=ON >/dev/null
cmake --build "$build" -j "$jobs"

# The programs in tool/ (bgntag and any other) get the wrapper.
for tool in "$build"/tool/*; do
  [ -f "$tool" ] && [ -x "$tool" ] || continue
  case $tool in *.s390x) continue ;; esac
  if file -b "$tool" | grep -q '^ELF'; then
    mv -f "$tool" "$tool.s390x"
    cat >"$tool" <<WRAP
#!/bin/sh
exec qemu-s390x -L /usr/s390x-linux-gnu -0 "\$0" "$tool.s390x" "\$@"
WRAP
    chmod 755 "$tool"
  fi
  file -b "$tool.s390x" | grep -q 'MSB.*S/390' ||
    { echo "s390x: $tool.s390x is not a big-endian s390x program" >&2; exit 1; }
done

ctest --test-dir "$build" --output-on-failure -j "$jobs"
