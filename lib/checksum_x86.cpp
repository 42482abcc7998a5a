// x86 checksum kernels: CRC folding with carry-less multiplication, in a
// 128-bit form (PCLMULQDQ) and a 512-bit form (VPCLMULQDQ with AVX-512).
// Each function carries its own target attribute, so the file builds for
// any x86-64 and checksum.cpp picks a kernel by what the CPU reports.
//
// The mathematics, for both CRCs (they share P = x^32 + ... + 1, written
// 0x04C11DB7 MSB-first and 0xEDB88320 reflected):
//
// Read a message as a polynomial over GF(2), its first bit the highest
// power.  A CRC register after the message M, started at zero, is
// M(x) * x^32 mod P; a start value h acts like h XORed into the message's
// first 32 bits.  Only M mod P matters, so we keep a 128-bit polynomial
// A congruent to "the message so far" and never reduce fully until the end.
//
// Folding.  Appending D more bits multiplies what came before by x^D.  With
// A = Ah x^64 + Al (two 64-bit halves),
//
//     A x^D = Ah x^(D+64) + Al x^D  ==  Ah K(D+64) + Al K(D)  (mod P),
//
// where K(e) = x^e mod P has degree < 32.  Each product is 64 x 32 bits, so
// the sum has degree < 96 and fits in 128 bits again; XOR in the D bits that
// follow and continue.  Two carry-less multiplies per 128 bits of input.
// Several accumulators fold independently (D = 512 for 4 x 128 bits, 2048
// for 4 x 512 bits) and are merged at the end by folding each over the
// distance to the last one.  K(e) is computed below at compile time.
//
// Final reduction (Barrett).  From the last 128-bit A the register is
// A x^32 mod P.  First A x^32 = Ah x^96 + Al x^32 == Ah K(96) + Al x^32,
// degree < 96; then its top 32 bits Bh fold as Bh K(64), leaving C of degree
// < 64.  C mod P without division: with mu = floor(x^64 / P) (33 bits),
// q = floor(floor(C / x^32) * mu / x^32) is exactly floor(C / P) for
// polynomials, and C mod P = (C + q P) mod x^32.  Three more multiplies.
//
// Bit order.  MSB-first: each 16-byte block is byte-reversed on loading so
// bit 127 is the first message bit, and the products are the plain ones.
// Reflected: blocks load as they are, bit 0 is the first message bit, so a
// register holds the bit-reversed polynomial.  Multiplying two 64-bit
// reversed values gives the 127-bit reversed product, i.e. the reversed
// 128-bit value of product * x.  That spare factor x is absorbed by using
// K(e - 1) in place of K(e), and mu and P are used bit-reversed (33 bits).
//
// Remainders shorter than a block go through the slicing kernels.  The
// sign-extending checksum runs the reflected fold on sign-corrected data
// (see csum_tail in checksum.cpp for the proof): every loaded vector is
// XORed with its own sign bytes moved 1, 2 and 3 places on, carrying in
// from the vector before, and the term for the last three bytes is added
// to the register at the end.
#include "checksum_kernels.h"

// g++ 12's AVX-512 intrinsics start from a deliberately undefined vector
// (_mm_undefined_si128), which its own -Wmaybe-uninitialized then flags
// once inlined here.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

namespace velkor_kernels {
namespace {

constexpr uint64_t poly33 = 0x104C11DB7u;

// x^e mod P.
constexpr uint32_t xpow(unsigned e)
{
    uint32_t r = 1;
    for (unsigned i = 0; i < e; i++)
        r = (r & 0x80000000u) ? (r << 1) ^ static_cast<uint32_t>(poly33) : r << 1;
    return r;
}

// floor(x^64 / P), by long division.  The first step cancels x^64 itself.
constexpr uint64_t barrett_mu()
{
    uint64_t q = uint64_t{1} << 32;
    uint64_t rem = (poly33 & 0xFFFFFFFFu) << 32;
    for (int k = 31; k >= 0; k--) {
        if (rem & (uint64_t{1} << (k + 32))) {
            q |= uint64_t{1} << k;
            rem ^= poly33 << k;
        }
    }
    return q;
}

// The low `bits` bits of v in reverse order.
constexpr uint64_t reflect(uint64_t v, int bits)
{
    uint64_t r = 0;
    for (int i = 0; i < bits; i++)
        if (v & (uint64_t{1} << i))
            r |= uint64_t{1} << (bits - 1 - i);
    return r;
}

constexpr uint64_t mu = barrett_mu();
static_assert(mu == 0x104D101DFu, "x^64 / P");
static_assert(xpow(32) == 0x04C11DB7u && xpow(31) == 0x80000000u);

// Fold constants for distance D bits: lane 1 multiplies the accumulator's
// lane 1, lane 0 its lane 0.  MSB-first: lane 1 = Ah, lane 0 = Al.
// Reflected: lane 0 holds reversed Ah, lane 1 reversed Al.
template <unsigned D> struct fold_k {
    static constexpr uint64_t msb_hi = xpow(D + 64), msb_lo = xpow(D);
    static constexpr uint64_t lsb_hi = reflect(xpow(D - 1), 64);
    static constexpr uint64_t lsb_lo = reflect(xpow(D + 63), 64);
};

template <unsigned D> inline __m128i kmsb()
{
    return _mm_set_epi64x(static_cast<long long>(fold_k<D>::msb_hi),
                          static_cast<long long>(fold_k<D>::msb_lo));
}

template <unsigned D> inline __m128i klsb()
{
    return _mm_set_epi64x(static_cast<long long>(fold_k<D>::lsb_hi),
                          static_cast<long long>(fold_k<D>::lsb_lo));
}

#define VELKOR_T128 gnu::target("pclmul,sse4.1")
#define VELKOR_T512 gnu::target("pclmul,sse4.1,avx2,avx512f,avx512bw,avx512vl,vpclmulqdq")

// ---- 128-bit building blocks ----------------------------------------------

[[VELKOR_T128]] inline __m128i clmul(__m128i a, __m128i b, const int imm)
{
    // imm is a constant in every caller; a switch keeps it one.
    switch (imm) {
    case 0x00: return _mm_clmulepi64_si128(a, b, 0x00);
    case 0x01: return _mm_clmulepi64_si128(a, b, 0x01);
    default: return _mm_clmulepi64_si128(a, b, 0x11);
    }
}

[[VELKOR_T128]] inline __m128i fold(__m128i x, __m128i k, __m128i next)
{
    return _mm_xor_si128(_mm_xor_si128(clmul(x, k, 0x00), clmul(x, k, 0x11)), next);
}

[[VELKOR_T128]] inline uint64_t clmul64(uint64_t a, uint64_t b)
{
    return static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_clmulepi64_si128(
        _mm_cvtsi64_si128(static_cast<long long>(a)), _mm_cvtsi64_si128(static_cast<long long>(b)),
        0x00)));
}

[[VELKOR_T128]] inline __m128i load_msb(const uint8_t *p)
{
    const __m128i reverse = _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)), reverse);
}

// 16 bytes with the sign correction applied; `prev` holds the previous
// block's sign bytes (0xFF where the byte is >= 0x80).
[[VELKOR_T128]] inline __m128i load_lsb(const uint8_t *p, __m128i &prev)
{
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    __m128i s = _mm_cmplt_epi8(v, _mm_setzero_si128());
    __m128i c = _mm_xor_si128(_mm_xor_si128(_mm_alignr_epi8(s, prev, 15), _mm_alignr_epi8(s, prev, 14)),
                              _mm_alignr_epi8(s, prev, 13));
    prev = s;
    return _mm_xor_si128(v, c);
}

// A x^32 mod P for the natural-order accumulator.
[[VELKOR_T128]] inline uint32_t reduce_msb(__m128i a)
{
    constexpr uint64_t k96 = xpow(96), k64 = xpow(64);
    __m128i b = _mm_xor_si128(clmul(a, _mm_cvtsi64_si128(k96), 0x01),
                              _mm_slli_si128(_mm_move_epi64(a), 4));
    __m128i c = _mm_xor_si128(clmul(b, _mm_cvtsi64_si128(k64), 0x01), _mm_move_epi64(b));
    uint64_t cv = static_cast<uint64_t>(_mm_cvtsi128_si64(c));
    uint64_t q = clmul64(cv >> 32, mu) >> 32;
    return static_cast<uint32_t>(cv ^ clmul64(q, poly33));
}

// The same for the reflected accumulator; the result is the reflected
// register.
[[VELKOR_T128]] inline uint32_t reduce_lsb(__m128i a)
{
    constexpr uint64_t k95 = reflect(xpow(95), 64), k63 = reflect(xpow(63), 64);
    constexpr uint64_t mu_r = reflect(mu, 33), poly_r = reflect(poly33, 33);
    __m128i b = _mm_xor_si128(clmul(a, _mm_cvtsi64_si128(k95), 0x00),
                              _mm_slli_si128(_mm_srli_si128(a, 8), 4));
    uint64_t cv = static_cast<uint64_t>(_mm_extract_epi64(clmul(b, _mm_cvtsi64_si128(k63), 0x00), 1)) ^
                  static_cast<uint64_t>(_mm_extract_epi64(b, 1));
    uint64_t q = clmul64(cv & 0xFFFFFFFFu, mu_r) & 0xFFFFFFFFu;
    return static_cast<uint32_t>((cv >> 32) ^ (clmul64(q, poly_r) >> 32));
}

// Single 16-byte blocks, the reduction and the short remainder.
[[VELKOR_T128]] inline uint32_t finish_msb(__m128i x, const uint8_t *p, size_t n)
{
    for (; n >= 16; p += 16, n -= 16)
        x = fold(x, kmsb<128>(), load_msb(p));
    return crc_slice16(reduce_msb(x), p, n);
}

[[VELKOR_T128]] inline uint32_t finish_lsb(__m128i x, __m128i prev, const uint8_t *p, size_t n)
{
    for (; n >= 16; p += 16, n -= 16)
        x = fold(x, klsb<128>(), load_lsb(p, prev));
    return csum_slice16(reduce_lsb(x) ^ csum_tail(p), p, n);
}

// ---- 512-bit building blocks ----------------------------------------------

[[VELKOR_T512]] inline __m512i fold512(__m512i x, __m512i k, __m512i next)
{
    return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(x, k, 0x00),
                                     _mm512_clmulepi64_epi128(x, k, 0x11), next, 0x96);
}

[[VELKOR_T512]] inline __m512i bcast(__m128i k)
{
    return _mm512_broadcast_i32x4(k);
}

[[VELKOR_T512]] inline __m512i load512_msb(const uint8_t *p)
{
    const __m512i reverse = bcast(
        _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0));
    return _mm512_shuffle_epi8(_mm512_loadu_si512(p), reverse);
}

[[VELKOR_T512]] inline __m512i load512_lsb(const uint8_t *p, uint64_t &prev)
{
    __m512i v = _mm512_loadu_si512(p);
    uint64_t s = _mm512_movepi8_mask(v);
    // Funnel shifts (shld) of the 128-bit pair prev:s, bit i <- bit i - k.
    uint64_t c = (s << 1 | prev >> 63) ^ (s << 2 | prev >> 62) ^ (s << 3 | prev >> 61);
    prev = s;
    // ~v where the mask is set: -1 - v.
    return _mm512_mask_sub_epi8(v, c, _mm512_set1_epi8(-1), v);
}

// One 512-bit accumulator (four 128-bit blocks, lane 0 first) to one.
[[VELKOR_T512]] inline __m128i lanes_to_128(__m512i z, bool msb)
{
    __m128i l0 = _mm512_castsi512_si128(z), l1 = _mm512_extracti32x4_epi32(z, 1);
    __m128i l2 = _mm512_extracti32x4_epi32(z, 2), l3 = _mm512_extracti32x4_epi32(z, 3);
    if (msb)
        return fold(l0, kmsb<384>(), fold(l1, kmsb<256>(), fold(l2, kmsb<128>(), l3)));
    return fold(l0, klsb<384>(), fold(l1, klsb<256>(), fold(l2, klsb<128>(), l3)));
}

} // namespace

// ---- kernels ----------------------------------------------------------------

[[VELKOR_T128]] uint32_t crc_pclmul(uint32_t h, const uint8_t *p, size_t n)
{
    if (n < 64)
        return crc_slice16(h, p, n);
    // The start value meets the first 32 message bits: bits 96..127.
    __m128i x0 = _mm_xor_si128(load_msb(p), _mm_set_epi32(static_cast<int>(h), 0, 0, 0));
    __m128i x1 = load_msb(p + 16), x2 = load_msb(p + 32), x3 = load_msb(p + 48);
    for (p += 64, n -= 64; n >= 64; p += 64, n -= 64) {
        x0 = fold(x0, kmsb<512>(), load_msb(p));
        x1 = fold(x1, kmsb<512>(), load_msb(p + 16));
        x2 = fold(x2, kmsb<512>(), load_msb(p + 32));
        x3 = fold(x3, kmsb<512>(), load_msb(p + 48));
    }
    __m128i x = fold(x0, kmsb<384>(), fold(x1, kmsb<256>(), fold(x2, kmsb<128>(), x3)));
    return finish_msb(x, p, n);
}

[[VELKOR_T128]] uint32_t csum_pclmul(uint32_t a, const uint8_t *p, size_t n)
{
    if (n < 64)
        return csum_slice16(a, p, n);
    __m128i prev = _mm_setzero_si128();
    // The start value meets the first 32 message bits: bits 0..31.
    __m128i x0 = _mm_xor_si128(load_lsb(p, prev), _mm_cvtsi32_si128(static_cast<int>(a)));
    __m128i x1 = load_lsb(p + 16, prev);
    __m128i x2 = load_lsb(p + 32, prev);
    __m128i x3 = load_lsb(p + 48, prev);
    for (p += 64, n -= 64; n >= 64; p += 64, n -= 64) {
        x0 = fold(x0, klsb<512>(), load_lsb(p, prev));
        x1 = fold(x1, klsb<512>(), load_lsb(p + 16, prev));
        x2 = fold(x2, klsb<512>(), load_lsb(p + 32, prev));
        x3 = fold(x3, klsb<512>(), load_lsb(p + 48, prev));
    }
    __m128i x = fold(x0, klsb<384>(), fold(x1, klsb<256>(), fold(x2, klsb<128>(), x3)));
    return finish_lsb(x, prev, p, n);
}

[[VELKOR_T512]] uint32_t crc_vpclmul512(uint32_t h, const uint8_t *p, size_t n)
{
    if (n < 256)
        return crc_pclmul(h, p, n);
    const __m512i k2048 = bcast(kmsb<2048>()), k512 = bcast(kmsb<512>());
    __m512i z0 = _mm512_xor_si512(
        load512_msb(p),
        _mm512_inserti32x4(_mm512_setzero_si512(), _mm_set_epi32(static_cast<int>(h), 0, 0, 0), 0));
    __m512i z1 = load512_msb(p + 64), z2 = load512_msb(p + 128), z3 = load512_msb(p + 192);
    for (p += 256, n -= 256; n >= 256; p += 256, n -= 256) {
        z0 = fold512(z0, k2048, load512_msb(p));
        z1 = fold512(z1, k2048, load512_msb(p + 64));
        z2 = fold512(z2, k2048, load512_msb(p + 128));
        z3 = fold512(z3, k2048, load512_msb(p + 192));
    }
    __m512i z = fold512(z0, bcast(kmsb<1536>()),
                        fold512(z1, bcast(kmsb<1024>()), fold512(z2, k512, z3)));
    for (; n >= 64; p += 64, n -= 64)
        z = fold512(z, k512, load512_msb(p));
    return finish_msb(lanes_to_128(z, true), p, n);
}

[[VELKOR_T512]] uint32_t csum_vpclmul512(uint32_t a, const uint8_t *p, size_t n)
{
    if (n < 256)
        return csum_pclmul(a, p, n);
    const __m512i k2048 = bcast(klsb<2048>()), k512 = bcast(klsb<512>());
    uint64_t prev = 0;
    __m512i z0 = _mm512_xor_si512(load512_lsb(p, prev),
                                  _mm512_zextsi128_si512(_mm_cvtsi32_si128(static_cast<int>(a))));
    __m512i z1 = load512_lsb(p + 64, prev);
    __m512i z2 = load512_lsb(p + 128, prev);
    __m512i z3 = load512_lsb(p + 192, prev);
    for (p += 256, n -= 256; n >= 256; p += 256, n -= 256) {
        z0 = fold512(z0, k2048, load512_lsb(p, prev));
        z1 = fold512(z1, k2048, load512_lsb(p + 64, prev));
        z2 = fold512(z2, k2048, load512_lsb(p + 128, prev));
        z3 = fold512(z3, k2048, load512_lsb(p + 192, prev));
    }
    __m512i z = fold512(z0, bcast(klsb<1536>()),
                        fold512(z1, bcast(klsb<1024>()), fold512(z2, k512, z3)));
    for (; n >= 64; p += 64, n -= 64)
        z = fold512(z, k512, load512_lsb(p, prev));
    // The 128-bit tail loop wants the sign bytes of the last 16 bytes.
    __m128i prev16 = _mm_cmplt_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p - 16)),
                                    _mm_setzero_si128());
    return finish_lsb(lanes_to_128(z, false), prev16, p, n);
}

// ---- feature tests ---------------------------------------------------------
// Called from ifunc resolvers, which run before the sanitizer run-times are
// set up: keep them uninstrumented.

__attribute__((no_sanitize("address", "undefined"))) bool cpu_has_pclmul()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
}

__attribute__((no_sanitize("address", "undefined"))) bool cpu_has_vpclmul512()
{
    __builtin_cpu_init();
    return cpu_has_pclmul() && __builtin_cpu_supports("avx512f") &&
           __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
           __builtin_cpu_supports("vpclmulqdq");
}

} // namespace velkor_kernels
