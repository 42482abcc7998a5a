// SPDX-License-Identifier: MIT
// fold.h - CRC folding with carry-less multiplication: one template for
// both checksums, every vector width and every architecture.  Each
// architecture supplies its vector operations (x86/vec.h, arm/vec.h) and
// instantiates fold_kernel<V, order> in a source compiled for the
// instructions it needs; that source is only ever entered after the
// dispatcher has seen the CPU report them.
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
// A wider vector is several 128-bit accumulators side by side (its 128-bit
// lanes, first message block in lane 0), folded by the same constants.
// Four vector accumulators fold independently (D = 4 x the vector's bits)
// and are merged at the end by folding each over the distance to the last
// one; then the lanes of the last vector are merged the same way, down to
// one 128-bit A.  K(e) is computed below at compile time.
//
// Final reduction (Barrett).  From the last 128-bit A the register is
// A x^32 mod P.  First A x^32 = Ah x^96 + Al x^32 == Ah K(96) + Al x^32,
// degree < 96; then its top 32 bits Bh fold as Bh K(64), leaving C of degree
// < 64.  C mod P without division: with mu = floor(x^64 / P) (33 bits),
// q = floor(floor(C / x^32) * mu / x^32) is exactly floor(C / P) for
// polynomials, and C mod P = (C + q P) mod x^32.  Four 64-bit multiplies.
//
// Bit order.  MSB-first: each 16-byte block is byte-reversed on loading so
// bit 127 is the first message bit, and the products are the plain ones.
// Reflected: blocks load as they are, bit 0 is the first message bit, so a
// register holds the bit-reversed polynomial.  Multiplying two 64-bit
// reversed values gives the 127-bit reversed product, i.e. the reversed
// 128-bit value of product * x.  That spare factor x is absorbed by using
// K(e - 1) in place of K(e), and mu and P are used bit-reversed (33 bits).
//
// Remainders shorter than a 16-byte block go through the slicing kernels.
// The sign-extending checksum runs the reflected fold on sign-corrected
// data (see csum_tail in checksum_portable.cpp for the proof): every loaded
// vector is XORed with its own sign bytes moved 1, 2 and 3 places on,
// carrying in from the vector before, and the term for the last three
// bytes is added to the register at the end.
//
// What an architecture's operations V provide (all static):
//   vec, carry     the vector type; what a sign-corrected load carries to
//                  the next (the previous vector's sign bytes or bits)
//   bytes          the vector's size: 16, or 64 for four 128-bit lanes
//   narrow         the operations for one 128-bit lane (V itself at 16)
//   load<O>(p, c)  the next vector of the message in bit order O: MSB-first
//                  byte-reversed per 16 bytes; reflected sign-corrected
//   start<O>(r)    a vector holding register r at the first 32 message bits
//   splat(k0, k1)  k0 in every lane's 64-bit half 0, k1 in half 1
//   fold(x, k, y)  x's half 0 times k's half 0, XOR x's half 1 times k's
//                  half 1 (per 128-bit lane), XOR y
//   lane<i>(x)     128-bit lane i as a narrow vec
//   sign_masks     false, or true if the reflected loads of the 4-vector
//                  groups return the bytes unchanged and the vector keeps
//                  their sign bits instead (see sign_correction below);
//                  then also
//   group_done(c)  after each group of four loads, and
//   correction(c)  the register term of the sign bits of all groups
// and the narrow operations besides:
//   carry_of(p)    the carry a load of the 16 bytes at p would leave
//   halves(x, h)   h[0] = 64-bit half 0, h[1] = half 1
//   clmul64(a, b)  the 128-bit carry-less product, as {low, high}
#ifndef VELKOR_FOLD_H
#define VELKOR_FOLD_H

#include "checksum_kernels.h"

#include <cstddef>
#include <cstdint>

namespace velkor_kernels {
// Internal linkage throughout: each source instantiates this for its own
// instruction set, and no copy may be shared with another.
namespace {

enum class order { msb, lsb };

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

// Fold constants for distance D bits, named by the accumulator half they
// multiply.  MSB-first, half 1 holds Ah (x^64 and up) and half 0 Al;
// reflected, half 0 holds Ah bit-reversed and half 1 Al.
template <order O, unsigned D> struct fold_k {
    static constexpr uint64_t for_half0 = O == order::msb ? xpow(D) : reflect(xpow(D + 63), 64);
    static constexpr uint64_t for_half1 = O == order::msb ? xpow(D + 64) : reflect(xpow(D - 1), 64);
};

struct u128 {
    uint64_t lo, hi;
};

// A x^32 mod P from the halves of the last 128-bit accumulator.
template <class N, order O> inline uint32_t reduce(const uint64_t a[2])
{
    if constexpr (O == order::msb) {
        constexpr uint64_t k96 = xpow(96), k64 = xpow(64);
        // B = Ah K(96) + Al x^32, below x^96.
        u128 t = N::clmul64(a[1], k96);
        const uint64_t bl = t.lo ^ (a[0] << 32), bh = t.hi ^ (a[0] >> 32);
        // C = Bh K(64) + Bl, below x^64; then Barrett.
        const uint64_t c = N::clmul64(bh, k64).lo ^ bl;
        const uint64_t q = N::clmul64(c >> 32, mu).lo >> 32;
        return static_cast<uint32_t>(c ^ N::clmul64(q, poly33).lo);
    } else {
        // The same, every value bit-reversed: the x^32 shifts become shifts
        // the other way, and the high product halves take the low's place.
        constexpr uint64_t k95 = reflect(xpow(95), 64), k63 = reflect(xpow(63), 64);
        constexpr uint64_t mu_r = reflect(mu, 33), poly_r = reflect(poly33, 33);
        u128 t = N::clmul64(a[0], k95);
        const uint64_t bl = t.lo ^ (a[1] << 32), bh = t.hi ^ (a[1] >> 32);
        const uint64_t c = N::clmul64(bl, k63).hi ^ bh;
        const uint64_t q = N::clmul64(c & 0xFFFFFFFFu, mu_r).lo & 0xFFFFFFFFu;
        return static_cast<uint32_t>((c >> 32) ^ (N::clmul64(q, poly_r).lo >> 32));
    }
}

// The sign extension from a stream of sign bits.  A high byte j of an
// n-byte stretch adds 0x00FFFFFF to the register right after its step (see
// csum_tail), and the zero-byte step G is multiplication by x^8 mod P, so
// at the stretch's end the high bytes have added
//
//     sum over high j of G^(n-1-j)(0x00FFFFFF)  =  C * T(x^8) mod P,
//
// C the polynomial of 0x00FFFFFF, T(x) = sum of x^(n-1-j): one bit per byte.
// In GF(2)[x] squaring is linear, T(x)^2 = T(x^2), so T(x^8) = T(x)^8 and
// only T mod P is needed: the reflected fold of the packed sign bits, one
// eighth of the data, gives the register U = T x^32 mod P.  Then
// C T^8 = C x^-256 U^8 = C x^-256 U(x^8): register bit b of U (the
// coefficient of x^(31-b)) contributes C x^(8(31-b) - 256) = C x^(-8(b+1)),
// i.e. 0x00FFFFFF run back b + 1 zero bytes.  Four tables of those sums,
// one per register byte, turn U into the term.
constexpr uint32_t poly_lsb = 0xEDB88320u;

// One zero byte back: the inverse of eight reflected shift steps.  A step
// sets bit 31 exactly when it shifted out a 1 (and XORed in the
// polynomial, whose bit 31 is set), so each is undone from that bit.
constexpr uint32_t unstep_byte(uint32_t a)
{
    for (int k = 0; k < 8; k++)
        a = (a & 0x80000000u) ? ((a ^ poly_lsb) << 1) | 1u : a << 1;
    return a;
}

struct sign_bit_tables {
    uint32_t t[4][256];
};

constexpr sign_bit_tables make_sign_bit_tables()
{
    uint32_t e[32]{};
    uint32_t c = 0x00FFFFFFu;
    for (int b = 0; b < 32; b++)
        e[b] = c = unstep_byte(c);
    sign_bit_tables s{};
    for (int k = 0; k < 4; k++)
        for (uint32_t v = 0; v < 256; v++)
            for (int i = 0; i < 8; i++)
                if (v & (1u << i))
                    s.t[k][v] ^= e[8 * k + i];
    return s;
}

constexpr sign_bit_tables sign_bits = make_sign_bit_tables();

inline uint32_t sign_correction(uint32_t u)
{
    return sign_bits.t[0][u & 0xFF] ^ sign_bits.t[1][(u >> 8) & 0xFF] ^
           sign_bits.t[2][(u >> 16) & 0xFF] ^ sign_bits.t[3][u >> 24];
}

// x x^D + y.
template <class V, order O, unsigned D>
inline typename V::vec fold_by(typename V::vec x, typename V::vec y)
{
    return V::fold(x, V::splat(fold_k<O, D>::for_half0, fold_k<O, D>::for_half1), y);
}

// The lanes of x merged into one 128-bit accumulator.
template <class V, order O> inline typename V::narrow::vec to_narrow(typename V::vec x)
{
    using N = typename V::narrow;
    static_assert(V::bytes == 16 || V::bytes == 64);
    if constexpr (V::bytes == 16) {
        return x;
    } else {
        // Each lane over its own distance: the multiplies are independent.
        return fold_by<N, O, 384>(
            V::template lane<0>(x),
            fold_by<N, O, 256>(V::template lane<1>(x),
                               fold_by<N, O, 128>(V::template lane<2>(x), V::template lane<3>(x))));
    }
}

// The kernel: crc (msb) or csum (lsb) from register r over n bytes at p.
template <class V, order O> uint32_t fold_kernel(uint32_t r, const uint8_t *p, size_t n)
{
    using N = typename V::narrow;
    using vec = typename V::vec;
    constexpr size_t W = V::bytes;
    constexpr unsigned bits = 8 * W;

    if (n < 4 * W) {
        if constexpr (W > 16)
            return fold_kernel<N, O>(r, p, n);
        else if constexpr (O == order::msb)
            return crc_slice16(r, p, n);
        else
            return csum_slice16(r, p, n);
    }

    typename V::carry c{};
    vec x0 = V::bxor(V::template load<O>(p, c), V::template start<O>(r));
    vec x1 = V::template load<O>(p + W, c);
    vec x2 = V::template load<O>(p + 2 * W, c);
    vec x3 = V::template load<O>(p + 3 * W, c);
    constexpr bool by_masks = O == order::lsb && V::sign_masks;
    if constexpr (by_masks)
        V::group_done(c);
    for (p += 4 * W, n -= 4 * W; n >= 4 * W; p += 4 * W, n -= 4 * W) {
        x0 = fold_by<V, O, 4 * bits>(x0, V::template load<O>(p, c));
        x1 = fold_by<V, O, 4 * bits>(x1, V::template load<O>(p + W, c));
        x2 = fold_by<V, O, 4 * bits>(x2, V::template load<O>(p + 2 * W, c));
        x3 = fold_by<V, O, 4 * bits>(x3, V::template load<O>(p + 3 * W, c));
        if constexpr (by_masks)
            V::group_done(c);
    }
    vec x = fold_by<V, O, 3 * bits>(x0, fold_by<V, O, 2 * bits>(x1, fold_by<V, O, bits>(x2, x3)));
    if constexpr (by_masks) {
        // The groups' register, sign term included; the rest (less than
        // a group) as a checksum of its own from there.
        uint64_t h[2];
        N::halves(to_narrow<V, O>(x), h);
        return fold_kernel<N, O>(reduce<N, O>(h) ^ V::correction(c), p, n);
    }
    for (; n >= W; p += W, n -= W)
        x = fold_by<V, O, bits>(x, V::template load<O>(p, c));

    // One 128-bit accumulator, then single 16-byte blocks.
    typename N::vec y = to_narrow<V, O>(x);
    typename N::carry nc{};
    if constexpr (O == order::lsb)
        nc = N::carry_of(p - 16);
    for (; n >= 16; p += 16, n -= 16)
        y = fold_by<N, O, 128>(y, N::template load<O>(p, nc));

    uint64_t h[2];
    N::halves(y, h);
    if constexpr (O == order::msb)
        return crc_slice16(reduce<N, O>(h), p, n);
    else
        return csum_slice16(reduce<N, O>(h) ^ csum_tail(p), p, n);
}

} // namespace
} // namespace velkor_kernels

#endif
