#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The device build's figures (bench/README.md, "On a device"): flash per
# use and checksum kernel from the link maps, the deepest stack of each call
# from gcc's call graphs and by painting the stack under qemu, and
# instructions per byte under qemu -icount.  Builds the device preset.
#
# Usage: bench/device.sh [BUILD_DIR]   (default build/device)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/device}

cmake --preset device -B "$build" >/dev/null
cmake --build "$build" >/dev/null

echo "== flash kept of the library (Cortex-M3, -Os, --gc-sections)"
printf '%-10s %8s %8s %8s\n' kernel check reader all
for k in table256 table16 bitwise; do
  row=()
  for u in check reader all; do
    row+=("$(python3 bench/device/flash.py "$build/bench/device/flash_${u}_$k.elf.map" libvelkor_device 0)")
  done
  printf '%-10s %8s %8s %8s\n' "$k" "${row[0]% bytes}" "${row[1]% bytes}" "${row[2]% bytes}"
done

echo "== deepest stack by the call graph (-fcallgraph-info=su), velkor_device ($(grep -E '^VELKOR_DEVICE_(CRC|CPU):' "$build/CMakeCache.txt" | sed 's/.*=//' | paste -sd' '))"
python3 bench/device/stack_depth.py "$build/lib" velkor_tag_parse velkor_tag_check_length \
  velkor_crc_update velkor_tag_check_crc enc_read_header enc_read_payload enc_read_finish \
  decrypt_buf encrypt_buf vcrypt_buf

for cpu_board in cortex-m3:mps2-an385 cortex-m4:mps2-an386; do
  cpu=${cpu_board%%:*} board=${cpu_board#*:}
  for k in table256 table16 bitwise; do
    echo "== $board ($cpu), $k: qemu -icount shift=0"
    timeout 120 qemu-system-arm -M "$board" -nographic -semihosting -icount shift=0 \
      -kernel "$build/bench/device/device_bench_${cpu}_$k.elf"
  done
done
