// The two 32-bit checksums: the cksum(1) CRC and the sign-extending
// reflected CRC register update.  This file holds the public entry points,
// the plain and portable kernels and the run-time choice among kernels; the
// x86 carry-less-multiply kernels live in checksum_x86.cpp.
#include "velkor.h"

#include "checksum_kernels.h"

#include <array>
#include <bit>
#include <cstring>

namespace velkor_kernels {
namespace {

// P = x^32 + x^26 + x^23 + ... + 1, the polynomial of both checksums: MSB
// first it is written 0x04C11DB7, bit-reflected 0xEDB88320.
constexpr uint32_t poly_msb = 0x04C11DB7u;
constexpr uint32_t poly_lsb = 0xEDB88320u;

// Slicing tables.  msb[0][b] is the MSB-first remainder of b << 24 (the
// published cksum table); msb[k][b] is the register contribution of byte b
// followed by k zero bytes.  lsb[][] is the same for the reflected CRC.
struct slice_tables {
    uint32_t msb[16][256];
    uint32_t lsb[16][256];
};

constexpr slice_tables make_tables()
{
    slice_tables t{};
    for (uint32_t b = 0; b < 256; b++) {
        uint32_t c = b << 24;
        uint32_t r = b;
        for (int k = 0; k < 8; k++) {
            c = (c & 0x80000000u) ? (c << 1) ^ poly_msb : c << 1;
            r = (r & 1u) ? (r >> 1) ^ poly_lsb : r >> 1;
        }
        t.msb[0][b] = c;
        t.lsb[0][b] = r;
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

inline uint32_t crc_byte(uint32_t h, uint8_t b)
{
    return (h << 8) ^ tables.msb[0][(h >> 24) ^ b];
}

inline uint32_t lsb_byte(uint32_t a, uint8_t b)
{
    return (a >> 8) ^ tables.lsb[0][(a ^ b) & 0xFF];
}

inline uint64_t load_le64(const uint8_t *p)
{
    uint64_t v;
    memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big)
        v = __builtin_bswap64(v);
    return v;
}

// 0xFF in every byte of w whose top bit is set, 0x00 elsewhere.
inline uint64_t sign_bytes(uint64_t w)
{
    return ((w >> 7) & 0x0101010101010101u) * 0xFF;
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
        a ^= static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(p[i])));
        for (int b = 0; b < 8; b++)
            a = (a & 1u) ? (a >> 1) ^ poly_lsb : a >> 1;
    }
    return a;
}

// Slicing-by-16: the register is folded into the block's first four bytes,
// and then each of the 16 bytes contributes independently through the
// table for its distance from the block's end, so the 16 lookups overlap.
uint32_t crc_slice16(uint32_t h, const uint8_t *p, size_t n)
{
    const auto &t = tables.msb;
    while (n >= 16) {
        // Little-endian words: byte i of the block is bits 8i..8i+7.  The
        // register's top byte meets the block's first byte.
        uint64_t w0 = load_le64(p) ^ __builtin_bswap32(h);
        uint64_t w1 = load_le64(p + 8);
        h = t[15][w0 & 0xFF] ^ t[14][(w0 >> 8) & 0xFF] ^ t[13][(w0 >> 16) & 0xFF] ^
            t[12][(w0 >> 24) & 0xFF] ^ t[11][(w0 >> 32) & 0xFF] ^ t[10][(w0 >> 40) & 0xFF] ^
            t[9][(w0 >> 48) & 0xFF] ^ t[8][w0 >> 56] ^ t[7][w1 & 0xFF] ^
            t[6][(w1 >> 8) & 0xFF] ^ t[5][(w1 >> 16) & 0xFF] ^ t[4][(w1 >> 24) & 0xFF] ^
            t[3][(w1 >> 32) & 0xFF] ^ t[2][(w1 >> 40) & 0xFF] ^ t[1][(w1 >> 48) & 0xFF] ^
            t[0][w1 >> 56];
        p += 16;
        n -= 16;
    }
    return crc_plain(h, p, n);
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
// last three.  Any fast reflected CRC can then run on d', which is made a
// word at a time from the words' sign bits.  tests/checksum_kernels_test.cpp
// checks the step identity for every register byte and byte value.
uint32_t csum_slice16(uint32_t a, const uint8_t *p, size_t n)
{
    const auto &t = tables.lsb;
    const uint8_t *start = p;
    uint64_t prev = 0; // sign bytes of the previous word
    while (n >= 16) {
        uint64_t w0 = load_le64(p);
        uint64_t w1 = load_le64(p + 8);
        uint64_t m0 = sign_bytes(w0);
        uint64_t m1 = sign_bytes(w1);
        w0 ^= (m0 << 8) ^ (m0 << 16) ^ (m0 << 24) ^ (prev >> 56) ^ (prev >> 48) ^ (prev >> 40);
        w1 ^= (m1 << 8) ^ (m1 << 16) ^ (m1 << 24) ^ (m0 >> 56) ^ (m0 >> 48) ^ (m0 >> 40);
        prev = m1;
        w0 ^= a;
        a = t[15][w0 & 0xFF] ^ t[14][(w0 >> 8) & 0xFF] ^ t[13][(w0 >> 16) & 0xFF] ^
            t[12][(w0 >> 24) & 0xFF] ^ t[11][(w0 >> 32) & 0xFF] ^ t[10][(w0 >> 40) & 0xFF] ^
            t[9][(w0 >> 48) & 0xFF] ^ t[8][w0 >> 56] ^ t[7][w1 & 0xFF] ^
            t[6][(w1 >> 8) & 0xFF] ^ t[5][(w1 >> 16) & 0xFF] ^ t[4][(w1 >> 24) & 0xFF] ^
            t[3][(w1 >> 32) & 0xFF] ^ t[2][(w1 >> 40) & 0xFF] ^ t[1][(w1 >> 48) & 0xFF] ^
            t[0][w1 >> 56];
        p += 16;
        n -= 16;
    }
    if (p != start)
        a ^= csum_tail(p);
    // The rest one byte at a time, with the sign folded into a table step.
    for (size_t i = 0; i < n; i++)
        a = lsb_byte(a, p[i]) ^ (p[i] >= 0x80 ? 0x00FFFFFFu : 0);
    return a;
}

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

#if defined(VELKOR_HAVE_X86_KERNELS)
#define VELKOR_X86_ENTRIES                                                          \
    {"pclmul", crc_pclmul, csum_pclmul, cpu_has_pclmul},                           \
        {"vpclmul512", crc_vpclmul512, csum_vpclmul512, cpu_has_vpclmul512},
#else
#define VELKOR_X86_ENTRIES
#endif

namespace {
bool always() { return true; }
} // namespace

const kernel_info all_kernels[] = {
    {"plain", crc_plain, csum_plain, always},
    {"slice16", crc_slice16, csum_slice16, always},
    VELKOR_X86_ENTRIES
};
const size_t all_kernel_count = sizeof all_kernels / sizeof all_kernels[0];

} // namespace velkor_kernels

// Run-time choice: each public function calls its kernel through a GNU
// indirect function, bound once by the dynamic linker (or, in a static
// program, by the C library's start-up code) to what the resolver returns.
// No pointer of ours is ever written after that.  The resolver runs before
// constructors and before the sanitizers' run-time is ready, so it only asks
// cpuid (through the feature tests, which are built uninstrumented).
using namespace velkor_kernels;

extern "C" {
// Hidden but not static: clang resolves an ifunc only to a symbol it has
// not renamed.
__attribute__((used, visibility("hidden"), no_sanitize("address", "undefined")))
crc_fn velkor_resolve_crc()
{
#if defined(VELKOR_HAVE_X86_KERNELS)
    if (cpu_has_vpclmul512())
        return crc_vpclmul512;
    if (cpu_has_pclmul())
        return crc_pclmul;
#endif
    return crc_slice16;
}

__attribute__((used, visibility("hidden"), no_sanitize("address", "undefined")))
csum_fn velkor_resolve_csum()
{
#if defined(VELKOR_HAVE_X86_KERNELS)
    if (cpu_has_vpclmul512())
        return csum_vpclmul512;
    if (cpu_has_pclmul())
        return csum_pclmul;
#endif
    return csum_slice16;
}
}

static uint32_t crc_update(uint32_t h, const uint8_t *p, size_t n)
    __attribute__((ifunc("velkor_resolve_crc")));
static uint32_t csum_update(uint32_t a, const uint8_t *p, size_t n)
    __attribute__((ifunc("velkor_resolve_csum")));

extern "C" uint32_t velkor_crc(const uint8_t *buf, size_t len)
{
    if (len == 0)
        return 0xFFFFFFFFu;
    uint32_t h = crc_update(0, buf, len);
    // The length follows the data, least significant byte first, up to and
    // including its highest non-zero byte.
    for (size_t n = len;; n >>= 8) {
        uint8_t b = static_cast<uint8_t>(n & 0xFF);
        h = crc_plain(h, &b, 1);
        if (n <= 255)
            break;
    }
    return ~h;
}

extern "C" uint32_t velkor_csum(uint32_t initial, const uint8_t *buf, size_t len)
{
    return csum_update(initial, buf, len);
}
