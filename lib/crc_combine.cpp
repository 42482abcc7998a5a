// SPDX-License-Identifier: MIT
// CRC combination.
//
// velkor_crc's register runs most significant bit first from zero: reading
// the 32-bit register h as a polynomial h(x) over GF(2), each byte b turns
// it into (h(x) x^8 + b(x) x^32) mod P, P = 0x104C11DB7.  That step is
// linear in h and in the data, so the register over A followed by B is
//
//   reg(A || B) = reg(A) x^(8|B|) + reg(B)   (mod P),
//
// the first term being the register over A run on through |B| zero bytes.
// Given reg(A), reg(B) and |B|, only the power x^(8|B|) mod P and one
// product mod P are needed: a few dozen operations instead of |B| steps.
//
// The scanner needs one such product per candidate, so both parts are
// table-driven here rather than bit by bit:
//
//  - The product a(x) b(x) is first formed without reduction (degree < 63)
//    four bits of b at a time from the 16 multiples of a, then reduced: the
//    upper 32 bits h contribute h(x) x^32 mod P, which is linear in h and
//    so the XOR of one table entry per byte of h.
//  - x^(8n) for n < 2^32 is the product of x^(8 n_k 256^k) over the four
//    bytes n_k of n, each a table entry; longer lengths go on by squaring.
//
// The tables are computed at compile time with the plain bitwise product.
// A device has no room for their 8 KiB and builds device/crc_combine.cpp
// instead.
#include "crc_combine.h"

#include <array>

namespace velkor {

namespace {

using crc_poly::poly;

// reduce[k][v] = v(x) x^(32 + 8k) mod P: byte k of the upper half.
constexpr std::array<std::array<uint32_t, 256>, 4> make_reduce()
{
    std::array<std::array<uint32_t, 256>, 4> t{};
    for (uint32_t k = 0; k < 4; k++) {
        // x^(32 + 8k) mod P, by shifting 1 up one bit at a time.
        uint32_t base = 1;
        for (uint32_t s = 0; s < 32 + 8 * k; s++)
            base = (base << 1) ^ ((base >> 31) != 0 ? poly : 0);
        for (uint32_t v = 0; v < 256; v++)
            t[k][v] = crc_mul_bitwise(v, base);
    }
    return t;
}

// power[k][v] = x^(8 v 256^k) mod P.
constexpr std::array<std::array<uint32_t, 256>, 4> make_power()
{
    std::array<std::array<uint32_t, 256>, 4> t{};
    uint32_t step = 1u << 8; // x^8, then x^(8 * 256), ...
    for (uint32_t k = 0; k < 4; k++) {
        t[k][0] = 1;
        for (uint32_t v = 1; v < 256; v++)
            t[k][v] = crc_mul_bitwise(t[k][v - 1], step);
        step = crc_mul_bitwise(t[k][255], step); // x^(8 * 256^(k+1))
    }
    return t;
}

constexpr auto reduce = make_reduce();
constexpr auto power = make_power();

// x^(8 * 2^32) mod P, to go on past the tables.
constexpr uint32_t x_pow_8_2_32 = crc_mul_bitwise(power[3][255], power[3][1]);

static_assert(crc_mul_bitwise(1u << 31, 2) == poly, "x^32 = P's lower terms mod P");

} // namespace

uint32_t crc_mul(uint32_t a, uint32_t b)
{
    uint64_t m[16];
    m[0] = 0;
    m[1] = a;
    for (int k = 2; k < 16; k += 2) {
        m[k] = m[k / 2] << 1;
        m[k + 1] = m[k] ^ a;
    }
    uint64_t p = 0;
    for (int s = 28; s >= 0; s -= 4)
        p ^= m[(b >> s) & 15] << s;
    const auto h = static_cast<uint32_t>(p >> 32);
    return static_cast<uint32_t>(p) ^ reduce[0][h & 255] ^ reduce[1][(h >> 8) & 255] ^
           reduce[2][(h >> 16) & 255] ^ reduce[3][h >> 24];
}

// a(x) x^32 is the upper half alone of the unreduced product: its bytes'
// table entries.
uint32_t crc_times_x32(uint32_t a)
{
    return reduce[0][a & 255] ^ reduce[1][(a >> 8) & 255] ^ reduce[2][(a >> 16) & 255] ^
           reduce[3][a >> 24];
}

crc_times::crc_times(uint32_t c)
{
    // Entry v is the sum of the entries of v's bits, each bit one product.
    for (int k = 0; k < 4; k++) {
        uint32_t bit[8];
        for (int j = 0; j < 8; j++)
            bit[j] = crc_mul(c, uint32_t{1} << (8 * k + j));
        t_[k][0] = 0;
        for (unsigned v = 1; v < 256; v++)
            t_[k][v] = t_[k][v & (v - 1)] ^ bit[__builtin_ctz(v)];
    }
}

uint32_t crc_x_pow_8n(uint64_t n)
{
    // A zero byte of n contributes x^0: no product for it.
    uint32_t r = power[0][n & 255];
    for (int k = 1; k < 4; k++)
        if (const auto v = static_cast<uint8_t>(n >> (8 * k)); v != 0)
            r = crc_mul(r, power[k][v]);
    // Beyond 2^32 bytes: square-and-multiply over the remaining bits.
    uint32_t square = x_pow_8_2_32;
    for (n >>= 32; n != 0; n >>= 1) {
        if (n & 1)
            r = crc_mul(r, square);
        square = crc_mul(square, square);
    }
    return r;
}

} // namespace velkor
