// SPDX-License-Identifier: MIT
// x86/vec.h - the vector operations fold.h asks for, at 128 bits (SSE with
// PCLMULQDQ) and, where the including source is built for it, at 512 bits
// (AVX-512 with VPCLMULQDQ).  Include only from a source built with those
// instructions.
#ifndef VELKOR_X86_VEC_H
#define VELKOR_X86_VEC_H

#include "fold.h"

// g++ 12's AVX-512 intrinsics start from a deliberately undefined vector
// (_mm_undefined_si128), which its own -Wmaybe-uninitialized then flags
// once inlined here.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

namespace velkor_kernels {
namespace {

struct sse128 {
    using vec = __m128i;
    using carry = __m128i; // the previous block's sign bytes (0xFF where >= 0x80)
    using narrow = sse128;
    static constexpr size_t bytes = 16;
    static constexpr bool sign_masks = false;

    // The product of one 64-bit half of a by one of b; the halves are
    // template arguments, so only the four valid immediates can be written.
    template <int a_half, int b_half> static vec clmul(vec a, vec b)
    {
        static_assert((a_half == 0 || a_half == 1) && (b_half == 0 || b_half == 1));
        return _mm_clmulepi64_si128(a, b, a_half | b_half << 4);
    }

    static vec bxor(vec a, vec b) { return _mm_xor_si128(a, b); }

    static vec splat(uint64_t k0, uint64_t k1)
    {
        return _mm_set_epi64x(static_cast<long long>(k1), static_cast<long long>(k0));
    }

    static vec fold(vec x, vec k, vec y)
    {
        return bxor(bxor(clmul<0, 0>(x, k), clmul<1, 1>(x, k)), y);
    }

    // MSB-first the first message bits are bits 96..127; reflected, 0..31.
    template <order O> static vec start(uint32_t r)
    {
        const int v = static_cast<int>(r);
        return O == order::msb ? _mm_set_epi32(v, 0, 0, 0) : _mm_cvtsi32_si128(v);
    }

    static vec loadu(const uint8_t *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }

    static carry carry_of(const uint8_t *p) { return _mm_cmplt_epi8(loadu(p), _mm_setzero_si128()); }

    template <order O> static vec load(const uint8_t *p, carry &prev)
    {
        const vec v = loadu(p);
        if constexpr (O == order::msb) {
            const vec reverse = _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
            return _mm_shuffle_epi8(v, reverse);
        } else {
            // Byte i gets the sign bytes of bytes i-1, i-2, i-3.
            const vec s = _mm_cmplt_epi8(v, _mm_setzero_si128());
            const vec c = bxor(bxor(_mm_alignr_epi8(s, prev, 15), _mm_alignr_epi8(s, prev, 14)),
                               _mm_alignr_epi8(s, prev, 13));
            prev = s;
            return bxor(v, c);
        }
    }

    static void halves(vec x, uint64_t h[2])
    {
        h[0] = static_cast<uint64_t>(_mm_cvtsi128_si64(x));
        h[1] = static_cast<uint64_t>(_mm_extract_epi64(x, 1));
    }

    static u128 clmul64(uint64_t a, uint64_t b)
    {
        vec r = clmul<0, 0>(_mm_cvtsi64_si128(static_cast<long long>(a)),
                            _mm_cvtsi64_si128(static_cast<long long>(b)));
        uint64_t h[2];
        halves(r, h);
        return {h[0], h[1]};
    }
};

#if defined(__AVX512F__) && defined(__AVX512BW__) && defined(__VPCLMULQDQ__)
// Four 128-bit lanes, each folded as sse128 folds its one.
//
// The reflected loads of the main loop take the bytes as they are and keep
// their sign bits, 64 to a vector (vpmovb2m), which a fold of their own
// turns into the sign term at the end (sign_correction in fold.h): an
// eighth of the data, where correcting every vector's bytes costs more
// than folding them.  The carry-less multiplies bound this loop, so the
// sign bits of two groups are folded as one 512-bit vector, one multiply
// pair per 512 data bytes.  They go through memory: four moves from mask
// to vector registers per group cost more than the multiplies, and a wide
// load straight after the narrow stores that fill it stalls, so each
// pair's bits are loaded three pairs later.
struct avx512 {
    using vec = __m512i;
    static constexpr unsigned delay = 1;
    struct carry {
        alignas(64) uint64_t m[delay + 1][8]; // sign bits of the pairs in flight
        unsigned pair, k;                     // pairs done; vectors of this one
        __m512i signs;                        // the pairs before
    };
    using narrow = sse128;
    static constexpr size_t bytes = 64;
    static constexpr bool sign_masks = true;

    template <int a_half, int b_half> static vec clmul(vec a, vec b)
    {
        static_assert((a_half == 0 || a_half == 1) && (b_half == 0 || b_half == 1));
        return _mm512_clmulepi64_epi128(a, b, a_half | b_half << 4);
    }

    static vec bxor(vec a, vec b) { return _mm512_xor_si512(a, b); }

    static vec splat(uint64_t k0, uint64_t k1) { return _mm512_broadcast_i32x4(sse128::splat(k0, k1)); }

    static vec fold(vec x, vec k, vec y)
    {
        // (Named first: the intrinsic may be a macro.)
        const vec lo = clmul<0, 0>(x, k), hi = clmul<1, 1>(x, k);
        return _mm512_ternarylogic_epi64(lo, hi, y, 0x96);
    }

    template <order O> static vec start(uint32_t r) { return _mm512_zextsi128_si512(sse128::start<O>(r)); }

    template <order O> static vec load(const uint8_t *p, carry &c)
    {
        const vec v = _mm512_loadu_si512(p);
        if constexpr (O == order::msb) {
            const vec reverse = _mm512_broadcast_i32x4(
                _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0));
            return _mm512_shuffle_epi8(v, reverse);
        } else {
            _store_mask64(reinterpret_cast<__mmask64 *>(&c.m[c.pair % (delay + 1)][c.k++]),
                          _mm512_movepi8_mask(v));
            return v;
        }
    }

    // The slots start zeroed, and folding zeros into zeros leaves zeros, so
    // the first pairs need no test.
    static void group_done(carry &c)
    {
        if (c.k == 8) {
            const uint64_t *m = c.m[(c.pair - delay) % (delay + 1)];
            c.signs = fold_by<avx512, order::lsb, 512>(c.signs, _mm512_load_si512(m));
            c.pair++;
            c.k = 0;
        }
    }

    static uint32_t correction(carry &c)
    {
        for (unsigned q = c.pair - delay; q != c.pair; q++)
            c.signs = fold_by<avx512, order::lsb, 512>(c.signs, _mm512_load_si512(c.m[q % (delay + 1)]));
        __m128i y = to_narrow<avx512, order::lsb>(c.signs);
        // A group of a pair not yet complete.
        const uint64_t *m = c.m[c.pair % (delay + 1)];
        for (unsigned i = 0; i < c.k; i += 2)
            y = fold_by<sse128, order::lsb, 128>(y, _mm_load_si128(reinterpret_cast<const __m128i *>(m + i)));
        uint64_t h[2];
        sse128::halves(y, h);
        return sign_correction(reduce<sse128, order::lsb>(h));
    }

    template <int i> static __m128i lane(vec x)
    {
        if constexpr (i == 0)
            return _mm512_castsi512_si128(x);
        else
            return _mm512_extracti32x4_epi32(x, i);
    }
};
#endif

} // namespace
} // namespace velkor_kernels

#endif
