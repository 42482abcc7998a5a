// SPDX-License-Identifier: MIT
// CRC combination on a device: the same two functions as crc_combine.cpp,
// without its 8 KiB of tables.  The product is the bitwise one, and x^(8n)
// comes by square-and-multiply from x^8 over the bits of n: at most 64
// squarings and 64 products of 32 steps each, paid once per tagged image
// checked, against flash that a small part does not have.
#include "crc_combine.h"

namespace velkor {

uint32_t crc_mul(uint32_t a, uint32_t b)
{
    return crc_mul_bitwise(a, b);
}

uint32_t crc_x_pow_8n(uint64_t n)
{
    uint32_t r = 1;             // x^0
    uint32_t square = 1u << 8;  // x^8, then x^16, x^32, ... mod P
    for (; n != 0; n >>= 1) {
        if (n & 1)
            r = crc_mul_bitwise(r, square);
        square = crc_mul_bitwise(square, square);
    }
    return r;
}

} // namespace velkor
