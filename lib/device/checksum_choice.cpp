// SPDX-License-Identifier: MIT
// The checksum kernels of a device build, chosen when it is built, in
// place of the host's run-time choice (checksum_choice.cpp): there is one
// CPU, known in advance, and flash is the cost that counts.  CMake's
// VELKOR_DEVICE_CRC names the kernel:
//
//   table256  a 256-entry table per checksum (1 KiB each): a lookup a byte
//   table16   a 16-entry table per checksum (64 bytes each): two a byte
//   bitwise   no table: eight conditional shifts a byte
//   external  the application's velkor_device_crc_update(), such as a
//             hardware CRC unit (velkor_csum then runs bitwise)
//
// bench/README.md has each one's flash and instructions per byte.
#include "checksum_kernels.h"
#include "velkor.h"

namespace velkor_kernels {

#if defined(VELKOR_DEVICE_CRC_TABLE256)
uint32_t crc_update(uint32_t h, const uint8_t *p, size_t n) { return crc_plain(h, p, n); }
uint32_t csum_update(uint32_t a, const uint8_t *p, size_t n) { return csum_table256(a, p, n); }
#elif defined(VELKOR_DEVICE_CRC_TABLE16)
uint32_t crc_update(uint32_t h, const uint8_t *p, size_t n) { return crc_table16(h, p, n); }
uint32_t csum_update(uint32_t a, const uint8_t *p, size_t n) { return csum_table16(a, p, n); }
#elif defined(VELKOR_DEVICE_CRC_BITWISE)
uint32_t crc_update(uint32_t h, const uint8_t *p, size_t n) { return crc_bitwise(h, p, n); }
uint32_t csum_update(uint32_t a, const uint8_t *p, size_t n) { return csum_plain(a, p, n); }
#elif defined(VELKOR_DEVICE_CRC_EXTERNAL)
uint32_t crc_update(uint32_t h, const uint8_t *p, size_t n)
{
    return velkor_device_crc_update(h, p, n);
}
uint32_t csum_update(uint32_t a, const uint8_t *p, size_t n) { return csum_plain(a, p, n); }
#else
#error "VELKOR_DEVICE_CRC names no kernel (table256, table16, bitwise or external)"
#endif

} // namespace velkor_kernels
