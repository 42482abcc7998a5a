/* SPDX-License-Identifier: MIT */
/*
 * The application's CRC kernel for the images built with
 * VELKOR_DEVICE_CRC=external: where a hardware CRC unit would be, the
 * register update bit by bit, straight from the polynomial.  The known
 * answers passing through it show that every CRC the library computes
 * runs the application's kernel, and that only the register update is
 * asked of it.
 */
#include "velkor.h"

unsigned external_crc_bytes; /* bytes the library passed here */

uint32_t velkor_device_crc_update(uint32_t h, const uint8_t *p, size_t n)
{
    external_crc_bytes += (unsigned)n;
    while (n--) {
        h ^= (uint32_t)*p++ << 24;
        for (int k = 0; k < 8; k++)
            h = (h & 0x80000000u) ? (h << 1) ^ 0x04C11DB7u : h << 1;
    }
    return h;
}
