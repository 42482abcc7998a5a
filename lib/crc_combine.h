// SPDX-License-Identifier: MIT
// CRC combination for velkor_crc's register: the register over A || B from
// the registers over A and B and the length of B, without reading A or B
// again.  Shared by the tagged-file header (tag.cpp) and the scanner
// (scan.cpp).  Internal: not installed.
#ifndef VELKOR_CRC_COMBINE_H
#define VELKOR_CRC_COMBINE_H

#include <cstdint>

namespace velkor {

namespace crc_poly {
constexpr uint32_t poly = 0x04C11DB7; // P without its x^32 term
}

// a(x) b(x) mod P bit by bit, by Horner's rule over the bits of b from the
// top: r = r x + b_i a, with r x reduced at once.  The definition the
// tables of crc_combine.cpp are built from, and a device's whole product.
constexpr uint32_t crc_mul_bitwise(uint32_t a, uint32_t b)
{
    uint32_t r = 0;
    for (int i = 31; i >= 0; i--) {
        r = (r << 1) ^ ((r >> 31) != 0 ? crc_poly::poly : 0);
        if ((b >> i) & 1)
            r ^= a;
    }
    return r;
}

// a(x) b(x) mod P, P = x^32 + 0x04C11DB7, both operands as velkor_crc
// registers (most significant bit = highest power).
uint32_t crc_mul(uint32_t a, uint32_t b);

// x^(8n) mod P: the factor that runs a register on through n zero bytes.
// crc_mul and crc_x_pow_8n are the two a device build has (without tables,
// device/crc_combine.cpp); the rest serve the scanner.
uint32_t crc_x_pow_8n(uint64_t n);

// a(x) x^32 mod P: four bytes a fed to a zero register, by table.
uint32_t crc_times_x32(uint32_t a);

// Products by one fixed factor c, by table, for a factor used many times:
// a(x) c(x) is the sum over the bytes a_k of a of a_k(x) x^(8k) c(x), and
// each of those is an entry.  4 KiB, built from 32 products.
class crc_times {
public:
    explicit crc_times(uint32_t c);
    uint32_t operator()(uint32_t a) const
    {
        return t_[0][a & 255] ^ t_[1][(a >> 8) & 255] ^ t_[2][(a >> 16) & 255] ^ t_[3][a >> 24];
    }

private:
    uint32_t t_[4][256];
};

// The register over A || B: reg_a run on through b_len zero bytes, plus
// reg_b.
inline uint32_t crc_combine(uint32_t reg_a, uint32_t reg_b, uint64_t b_len)
{
    return crc_mul(reg_a, crc_x_pow_8n(b_len)) ^ reg_b;
}

} // namespace velkor

#endif
