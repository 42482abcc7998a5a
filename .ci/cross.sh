#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Cross check: build the library, the programs and the tests for another
# architecture with Debian's cross compiler, and run the whole suite under
# qemu's user-mode emulator.
#
#   .ci/cross.sh ARCH [NAME [CMAKE-ARGS...]]
#
# ARCH is s390x (big-endian: golden_test compares the bytes the library and
# bgntag produce with the little-endian host's) or aarch64 (the ARM64
# checksum kernels), built with cmake/toolchain-ARCH.cmake.  NAME names the
# build directory, build/NAME (default ARCH); CMAKE-ARGS go to the
# configure step.  QEMU_CPU, if set, picks the emulated CPU.
#
# GoogleTest is built for ARCH from the sources Debian ships with
# libgtest-dev, once per ARCH.  bgntag is started by the tests as a
# program, and without binfmt_misc the kernel cannot run a foreign binary,
# so the tests get a wrapper in its place that starts it under qemu (with
# the same argument 0).  The same goes for every other program in tool/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
arch=${1:?usage: cross.sh ARCH [NAME [CMAKE-ARGS...]]}
name=${2:-$arch}
shift $(($# < 2 ? $# : 2))
case $arch in
  s390x) elf='MSB.*S/390' ;;
  aarch64) elf='LSB.*ARM aarch64' ;;
  *) echo "cross.sh: unknown architecture $arch" >&2; exit 1 ;;
esac
build=$root/build/$name
gtest=$root/build/$arch-gtest
toolchain=$root/cmake/toolchain-$arch.cmake
sysroot=/usr/$arch-linux-gnu
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
  -DVELKOR_BUILD_BENCH=OFF -DVELKOR_WERROR=ON "$@" >/dev/null
cmake --build "$build" -j "$jobs"

# The programs in tool/ (bgntag and any other) get the wrapper.
for tool in "$build"/tool/*; do
  [ -f "$tool" ] && [ -x "$tool" ] || continue
  case $tool in *."$arch") continue ;; esac
  if file -b "$tool" | grep -q '^ELF'; then
    mv -f "$tool" "$tool.$arch"
    cat >"$tool" <<WRAP
#!/bin/sh
exec qemu-$arch -L $sysroot -0 "\$0" "$tool.$arch" "\$@"
WRAP
    chmod 755 "$tool"
  fi
  file -b "$tool.$arch" | grep -q "$elf" ||
    { echo "cross.sh: $tool.$arch is not a $arch program" >&2; exit 1; }
done

ctest --test-dir "$build" --output-on-failure -j "$jobs"
