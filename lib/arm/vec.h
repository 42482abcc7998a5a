// SPDX-License-Identifier: MIT
// arm/vec.h - the vector operations fold.h asks for, on 128-bit NEON
// vectors with PMULL.  Include only from a source built with the crypto
// extension.
#ifndef VELKOR_ARM_VEC_H
#define VELKOR_ARM_VEC_H

#include "fold.h"

#include <arm_neon.h>

// Byte i of a vector is the byte at p + i and half 0 is bytes 0..7 as a
// little-endian word, as on x86: the constants and halves of fold.h mean
// the same thing on both.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "little-endian ARM64 only");

namespace velkor_kernels {
namespace {

struct neon128 {
    using vec = uint8x16_t;
    using carry = uint8x16_t; // the previous block's sign bytes (0xFF where >= 0x80)
    using narrow = neon128;
    static constexpr size_t bytes = 16;
    static constexpr bool sign_masks = false;

    static poly64x2_t p64(vec v) { return vreinterpretq_p64_u8(v); }

    // The product of one 64-bit half of a by one of b (PMULL, PMULL2);
    // the halves are template arguments, as on x86.
    template <int a_half, int b_half> static vec clmul(vec a, vec b)
    {
        static_assert((a_half == 0 || a_half == 1) && (b_half == 0 || b_half == 1));
        if constexpr (a_half == 1 && b_half == 1)
            return vreinterpretq_u8_p128(vmull_high_p64(p64(a), p64(b)));
        else
            return vreinterpretq_u8_p128(
                vmull_p64(vgetq_lane_p64(p64(a), a_half), vgetq_lane_p64(p64(b), b_half)));
    }

    static vec bxor(vec a, vec b) { return veorq_u8(a, b); }

    static vec splat(uint64_t k0, uint64_t k1)
    {
        return vreinterpretq_u8_u64(vcombine_u64(vcreate_u64(k0), vcreate_u64(k1)));
    }

    static vec fold(vec x, vec k, vec y)
    {
        return bxor(bxor(clmul<0, 0>(x, k), clmul<1, 1>(x, k)), y);
    }

    // MSB-first the first message bits are bits 96..127; reflected, 0..31.
    template <order O> static vec start(uint32_t r)
    {
        return vreinterpretq_u8_u32(vsetq_lane_u32(r, vdupq_n_u32(0), O == order::msb ? 3 : 0));
    }

    static carry carry_of(const uint8_t *p) { return vcltzq_s8(vreinterpretq_s8_u8(vld1q_u8(p))); }

    template <order O> static vec load(const uint8_t *p, carry &prev)
    {
        const vec v = vld1q_u8(p);
        if constexpr (O == order::msb) {
            static const uint8_t reverse[16] = {15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0};
            return vqtbl1q_u8(v, vld1q_u8(reverse));
        } else {
            // Byte i gets the sign bytes of bytes i-1, i-2, i-3.
            const vec s = vcltzq_s8(vreinterpretq_s8_u8(v));
            const vec c = veorq_u8(veorq_u8(vextq_u8(prev, s, 15), vextq_u8(prev, s, 14)),
                                   vextq_u8(prev, s, 13));
            prev = s;
            return veorq_u8(v, c);
        }
    }

    static void halves(vec x, uint64_t h[2])
    {
        h[0] = vgetq_lane_u64(vreinterpretq_u64_u8(x), 0);
        h[1] = vgetq_lane_u64(vreinterpretq_u64_u8(x), 1);
    }

    static u128 clmul64(uint64_t a, uint64_t b)
    {
        uint64x2_t r = vreinterpretq_u64_p128(vmull_p64(a, b));
        return {vgetq_lane_u64(r, 0), vgetq_lane_u64(r, 1)};
    }
};

} // namespace
} // namespace velkor_kernels

#endif
