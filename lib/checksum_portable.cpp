// SPDX-License-Identifier: MIT
// The plain and portable checksum kernels, for any CPU: the definitions
// (byte and bit at a time), slicing-by-16 with its tables, the sign tables
// of the portable csum, the sign correction every faster csum kernel
// shares (csum_tail), and the small kernels a device picks when it is
// built (256-entry, 16-entry or no table).  Which kernel runs is decided in
// checksum_choice.cpp, or device/checksum_choice.cpp.
//
// Each table is its own object, so that a device linked with
// --gc-sections keeps only the one its kernel reads.
#include "checksum_kernels.h"

#include <bit>
#include <cstring>

namespace velkor_kernels {
namespace {

// P = x^32 + x^26 + x^23 + ... + 1, the polynomial of both checksums: MSB
// first it is written 0x04C11DB7, bit-reflected 0xEDB88320.
constexpr uint32_t poly_msb = 0x04C11DB7u;
constexpr uint32_t poly_lsb = 0xEDB88320u;

// One step of each register per bit: the definitions every table below is
// built from.
constexpr uint32_t msb_bit(uint32_t c)
{
    return (c & 0x80000000u) ? (c << 1) ^ poly_msb : c << 1;
}

constexpr uint32_t lsb_bit(uint32_t r)
{
    return (r & 1u) ? (r >> 1) ^ poly_lsb : r >> 1;
}

// Step tables, one object each: t[b] is the register contribution of a
// chunk b of Bits bits.  MSB first, the chunk sits at the top of the
// register (the 8-bit table is the published cksum table); reflected, at
// the bottom.  Bits 8 gives the 1 KiB byte tables, Bits 4 the 64-byte nibble
// tables, which take two lookups per byte.
template <unsigned Bits, bool Reflected> struct step_table {
    uint32_t t[1u << Bits];
};

template <unsigned Bits, bool Reflected> constexpr step_table<Bits, Reflected> make_step_table()
{
    step_table<Bits, Reflected> s{};
    for (uint32_t b = 0; b < (1u << Bits); b++) {
        uint32_t c = Reflected ? b : b << (32 - Bits);
        for (unsigned k = 0; k < Bits; k++)
            c = Reflected ? lsb_bit(c) : msb_bit(c);
        s.t[b] = c;
    }
    return s;
}

constexpr auto msb_bytes = make_step_table<8, false>();
constexpr auto lsb_bytes = make_step_table<8, true>();
constexpr auto msb_nibbles = make_step_table<4, false>();
constexpr auto lsb_nibbles = make_step_table<4, true>();

// Slicing tables.  msb[0] and lsb[0] are the byte tables; msb[k][b] is the
// register contribution of byte b followed by k zero bytes, lsb[][] the
// same for the reflected CRC.
struct slice_tables {
    uint32_t msb[16][256];
    uint32_t lsb[16][256];
};

constexpr slice_tables make_tables()
{
    slice_tables t{};
    for (uint32_t b = 0; b < 256; b++) {
        t.msb[0][b] = msb_bytes.t[b];
        t.lsb[0][b] = lsb_bytes.t[b];
    }
    for (int k = 1; k < 16; k++) {
        for (uint32_t b = 0; b < 256; b++) {
            uint32_t c = t.msb[k - 1][b];
            t.msb[k][b] = (c << 8) ^ t.msb[0][c >> 24];
            uint32_t r = t.lsb[k - 1][b];
            t.lsb[k][b] = (r >> 8) ^ t.lsb[0][r & 0xFF];
        }
    }
    return t;
}

constexpr slice_tables tables = make_tables();
static_assert(tables.msb[0][1] == 0x04C11DB7u && tables.msb[0][2] == 0x09823B6Eu &&
              tables.msb[0][3] == 0x0D4326D9u && tables.msb[0][255] == 0xB1F740B4u);

static_assert(msb_bytes.t[1] == 0x04C11DB7u && msb_bytes.t[255] == 0xB1F740B4u);

inline uint32_t crc_byte(uint32_t h, uint8_t b)
{
    return (h << 8) ^ msb_bytes.t[(h >> 24) ^ b];
}

inline uint32_t lsb_byte(uint32_t a, uint8_t b)
{
    return (a >> 8) ^ lsb_bytes.t[(a ^ b) & 0xFF];
}

// The byte sign-extended to 32 bits, as velkor_csum XORs it in.
inline uint32_t sign_extended(uint8_t b)
{
    return static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(b)));
}

// Streams of the portable kernels (see below) are this many bytes long.
constexpr size_t stride = 512;

// "Feed `stride` zero bytes" is linear in the register, so it is a 32 x 32
// matrix over GF(2), found by squaring the one-byte matrix; applying it is
// then four lookups, one per register byte.
struct gf2_matrix {
    uint32_t col[32]; // image of bit i
};

constexpr uint32_t apply(const gf2_matrix &m, uint32_t v)
{
    uint32_t r = 0;
    for (int i = 0; i < 32; i++)
        if (v & (uint32_t{1} << i))
            r ^= m.col[i];
    return r;
}

constexpr gf2_matrix compose(const gf2_matrix &a, const gf2_matrix &b)
{
    gf2_matrix m{};
    for (int i = 0; i < 32; i++)
        m.col[i] = apply(a, b.col[i]);
    return m;
}

template <class Step> constexpr gf2_matrix zeros_matrix(Step step, size_t count)
{
    gf2_matrix one{}, acc{};
    for (int i = 0; i < 32; i++) {
        one.col[i] = step(uint32_t{1} << i);
        acc.col[i] = uint32_t{1} << i;
    }
    for (; count > 0; count >>= 1, one = compose(one, one))
        if (count & 1)
            acc = compose(one, acc);
    return acc;
}

struct shift_tables {
    uint32_t msb[4][256]; // [k][b]: effect of register byte k (bits 8k..)
    uint32_t lsb[4][256];
};

constexpr shift_tables make_shift_tables()
{
    const auto &t = tables;
    gf2_matrix m = zeros_matrix([&](uint32_t v) { return (v << 8) ^ t.msb[0][v >> 24]; }, stride);
    gf2_matrix l = zeros_matrix([&](uint32_t v) { return (v >> 8) ^ t.lsb[0][v & 0xFF]; }, stride);
    shift_tables s{};
    for (int k = 0; k < 4; k++)
        for (uint32_t b = 0; b < 256; b++) {
            s.msb[k][b] = apply(m, b << (8 * k));
            s.lsb[k][b] = apply(l, b << (8 * k));
        }
    return s;
}

constexpr shift_tables shift = make_shift_tables();

inline uint32_t shift_msb(uint32_t v)
{
    return shift.msb[0][v & 0xFF] ^ shift.msb[1][(v >> 8) & 0xFF] ^
           shift.msb[2][(v >> 16) & 0xFF] ^ shift.msb[3][v >> 24];
}

inline uint32_t shift_lsb(uint32_t v)
{
    return shift.lsb[0][v & 0xFF] ^ shift.lsb[1][(v >> 8) & 0xFF] ^
           shift.lsb[2][(v >> 16) & 0xFF] ^ shift.lsb[3][v >> 24];
}

inline uint64_t load_le64(const uint8_t *p)
{
    uint64_t v;
    memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big)
        v = __builtin_bswap64(v);
    return v;
}

// Slicing-by-16: the register is folded into the block's first four bytes
// (w0, bytes as little-endian words), and then each of the 16 bytes
// contributes independently through the table for its distance from the
// block's end, so the 16 lookups overlap.
inline uint32_t msb_block(uint32_t h, uint64_t w0, uint64_t w1)
{
    const auto &t = tables.msb;
    w0 ^= __builtin_bswap32(h); // the register's top byte meets byte 0
    return t[15][w0 & 0xFF] ^ t[14][(w0 >> 8) & 0xFF] ^ t[13][(w0 >> 16) & 0xFF] ^
           t[12][(w0 >> 24) & 0xFF] ^ t[11][(w0 >> 32) & 0xFF] ^ t[10][(w0 >> 40) & 0xFF] ^
           t[9][(w0 >> 48) & 0xFF] ^ t[8][w0 >> 56] ^ t[7][w1 & 0xFF] ^ t[6][(w1 >> 8) & 0xFF] ^
           t[5][(w1 >> 16) & 0xFF] ^ t[4][(w1 >> 24) & 0xFF] ^ t[3][(w1 >> 32) & 0xFF] ^
           t[2][(w1 >> 40) & 0xFF] ^ t[1][(w1 >> 48) & 0xFF] ^ t[0][w1 >> 56];
}

inline uint32_t lsb_block(uint32_t a, uint64_t w0, uint64_t w1)
{
    const auto &t = tables.lsb;
    w0 ^= a;
    return t[15][w0 & 0xFF] ^ t[14][(w0 >> 8) & 0xFF] ^ t[13][(w0 >> 16) & 0xFF] ^
           t[12][(w0 >> 24) & 0xFF] ^ t[11][(w0 >> 32) & 0xFF] ^ t[10][(w0 >> 40) & 0xFF] ^
           t[9][(w0 >> 48) & 0xFF] ^ t[8][w0 >> 56] ^ t[7][w1 & 0xFF] ^ t[6][(w1 >> 8) & 0xFF] ^
           t[5][(w1 >> 16) & 0xFF] ^ t[4][(w1 >> 24) & 0xFF] ^ t[3][(w1 >> 32) & 0xFF] ^
           t[2][(w1 >> 40) & 0xFF] ^ t[1][(w1 >> 48) & 0xFF] ^ t[0][w1 >> 56];
}

// The sign extension inside a block.  By the step identity (see csum_tail
// below) a high byte at block position i adds 0x00FFFFFF to the register
// right after its step; carried through the 15 - i steps left in the block
// that is a constant C[15 - i].  sign[0][m] sums those constants for the
// high bytes of bytes 0..7 with m their packed top bits, sign[1][m] for
// bytes 8..15.
struct sign_tables {
    uint32_t t[2][256];
};

constexpr sign_tables make_sign_tables()
{
    uint32_t c[16] = {0x00FFFFFFu};
    for (int k = 1; k < 16; k++)
        c[k] = (c[k - 1] >> 8) ^ tables.lsb[0][c[k - 1] & 0xFF];
    sign_tables s{};
    for (uint32_t m = 0; m < 256; m++)
        for (int i = 0; i < 8; i++)
            if (m & (1u << i)) {
                s.t[0][m] ^= c[15 - i];
                s.t[1][m] ^= c[7 - i];
            }
    return s;
}

constexpr sign_tables sign = make_sign_tables();

// The top bits of the 8 bytes of w, byte i's at bit i: the flags sit 8 bits
// apart, and the multiplier moves flag i to bit 56 + i without carries.
inline uint32_t top_bits(uint64_t w)
{
    return static_cast<uint32_t>((((w >> 7) & 0x0101010101010101u) * 0x0102040810204080u) >> 56);
}

inline uint32_t csum_block(uint32_t a, uint64_t w0, uint64_t w1)
{
    return lsb_block(a, w0, w1) ^ sign.t[0][top_bits(w0)] ^ sign.t[1][top_bits(w1)];
}

} // namespace

uint32_t crc_plain(uint32_t h, const uint8_t *p, size_t n)
{
    for (size_t i = 0; i < n; i++)
        h = crc_byte(h, p[i]);
    return h;
}

uint32_t csum_plain(uint32_t a, const uint8_t *p, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        // Sign-extend: stored containers depend on it.
        a ^= sign_extended(p[i]);
        for (int b = 0; b < 8; b++)
            a = lsb_bit(a);
    }
    return a;
}

// The kernels a device chooses from when it is built, for flash against
// speed; on a host they are checked against the plain ones like any other.
// Each table step is exactly Bits single-bit steps of the whole register,
// so the sign-extended byte is XORed in whole, as the definition does.
//
//   table256: crc_plain, and velkor_csum a byte per lookup (1 KiB each).
//   table16:  a nibble per lookup, two per byte (64 bytes each).
//   bitwise:  no table, eight conditional shifts per byte.

uint32_t csum_table256(uint32_t a, const uint8_t *p, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        a ^= sign_extended(p[i]);
        a = (a >> 8) ^ lsb_bytes.t[a & 0xFF];
    }
    return a;
}

uint32_t crc_table16(uint32_t h, const uint8_t *p, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        h ^= static_cast<uint32_t>(p[i]) << 24;
        h = (h << 4) ^ msb_nibbles.t[h >> 28];
        h = (h << 4) ^ msb_nibbles.t[h >> 28];
    }
    return h;
}

uint32_t csum_table16(uint32_t a, const uint8_t *p, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        a ^= sign_extended(p[i]);
        a = (a >> 4) ^ lsb_nibbles.t[a & 15];
        a = (a >> 4) ^ lsb_nibbles.t[a & 15];
    }
    return a;
}

uint32_t crc_bitwise(uint32_t h, const uint8_t *p, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        h ^= static_cast<uint32_t>(p[i]) << 24;
        for (int b = 0; b < 8; b++)
            h = msb_bit(h);
    }
    return h;
}

// The portable kernels: slicing-by-16 over three streams at once.  One
// stream is bound by the latency of its register (XOR, byte extract, table
// load, XOR tree) rather than by the loads, so each group of 3 x `stride`
// bytes is split into three consecutive streams, the second and third
// started from zero, run interleaved, and joined by linearity:
//
//     crc(h, A B C) = shift(shift(crc(h, A)) ^ crc(0, B)) ^ crc(0, C),
//
// where shift feeds `stride` zero bytes (four table lookups).  One
// template runs both bit orders: `block` takes 16 bytes into the register,
// `shift` feeds the zero bytes.  It leaves p and n at the last 0..15 bytes.
using block_fn = uint32_t (*)(uint32_t, uint64_t, uint64_t);
using shift_fn = uint32_t (*)(uint32_t);

template <block_fn block, shift_fn shift>
uint32_t slice_blocks(uint32_t h, const uint8_t *&p, size_t &n)
{
    for (; n >= 3 * stride; p += 3 * stride, n -= 3 * stride) {
        uint32_t h0 = h, h1 = 0, h2 = 0;
        for (size_t i = 0; i < stride; i += 16) {
            const uint8_t *q = p + i;
            h0 = block(h0, load_le64(q), load_le64(q + 8));
            h1 = block(h1, load_le64(q + stride), load_le64(q + stride + 8));
            h2 = block(h2, load_le64(q + 2 * stride), load_le64(q + 2 * stride + 8));
        }
        h = shift(shift(h0) ^ h1) ^ h2;
    }
    for (; n >= 16; p += 16, n -= 16)
        h = block(h, load_le64(p), load_le64(p + 8));
    return h;
}

uint32_t crc_slice16(uint32_t h, const uint8_t *p, size_t n)
{
    h = slice_blocks<msb_block, shift_msb>(h, p, n);
    return crc_plain(h, p, n);
}

// The portable csum: the reflected slicing kernel, plus the constants the
// block's high bytes add (csum_block), so the sign extension costs two
// lookups per 16 bytes and nothing crosses a block boundary.
uint32_t csum_slice16(uint32_t a, const uint8_t *p, size_t n)
{
    a = slice_blocks<csum_block, shift_lsb>(a, p, n);
    for (size_t i = 0; i < n; i++)
        a = lsb_byte(a, p[i]) ^ (p[i] >= 0x80 ? 0x00FFFFFFu : 0);
    return a;
}

// velkor_csum as a standard reflected CRC over corrected bytes.
//
// One step of velkor_csum is  a' = S(a ^ sx(b)),  where S is the eight
// conditional shifts and sx(b) = b ^ (b >= 0x80 ? 0xFFFFFF00 : 0).  S is
// linear over GF(2) and depends on the low 8 bits only through the bits it
// shifts out, so for v = 0xFFFFFF00 (low byte zero, nothing shifted out is
// set) S(v) = v >> 8 = 0x00FFFFFF.  Hence
//
//     S(a ^ b ^ 0xFFFFFF00) = S(a ^ b) ^ 0x00FFFFFF:
//
// a high byte is a plain reflected CRC step followed by XOR 0x00FFFFFF into
// the register.  That term is consumed by the next three steps: step k+1
// XORs its input byte into the register's low byte, so XOR 0xFF into input
// byte k+1 accounts for the low byte of 0x00FFFFFF; what is left, 0x00FFFF00,
// again has a zero low byte and shifts to 0x0000FFFF, and so on.  So
//
//     csum(a, d) = crc(a, d') ^ tail,   d'[i] = d[i] ^ m[i-1] ^ m[i-2] ^ m[i-3],
//
// where m[j] = 0xFF if d[j] >= 0x80 else 0 (m[j] = 0 for j < 0), crc is the
// ordinary reflected CRC register update, and tail collects the terms that
// run past the end: 0x00FFFFFF >> 8(n-1-j) for each high byte j among the
// last three.  Any fast reflected CRC can then run on d'; the folding kernels
// make it a vector at a time from the vectors' sign bits, and add this
// function's result at the end.  tests/checksum_kernels_test.cpp checks the
// step identity for every register byte and byte value, and the buffer form.
uint32_t csum_tail(const uint8_t *end)
{
    uint32_t c = 0;
    if (end[-1] >= 0x80)
        c ^= 0x00FFFFFFu;
    if (end[-2] >= 0x80)
        c ^= 0x0000FFFFu;
    if (end[-3] >= 0x80)
        c ^= 0x000000FFu;
    return c;
}

} // namespace velkor_kernels
