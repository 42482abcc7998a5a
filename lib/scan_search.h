// SPDX-License-Identifier: MIT
// The scanner's search for starts, one per vector width, for scan.cpp and
// for the test that holds each against the others.  Internal: not installed.
#ifndef VELKOR_SCAN_SEARCH_H
#define VELKOR_SCAN_SEARCH_H

#include <cstddef>
#include <cstdint>

#if defined(__wasm_simd128__)
#include <wasm_simd128.h>
#endif

namespace velkor {

// Stores in out[0..max), rising, the first i in [from, to) where
// p[i .. i + 11] may open a find ('b' with 0xB1 eleven bytes on, 's' with
// 't' four on, 'a' with '1' four on), and returns how many it stored: fewer
// than max only when there are no more before to.  p[0 .. readable) may be
// read, and readable >= to + 11.
using scan_find_fn = size_t (*)(const uint8_t *p, size_t from, size_t to, size_t readable,
                                size_t *out, size_t max);

struct scan_search {
    const char *name;
    scan_find_fn find;
};

// The searches this CPU runs, widest first, the portable one last; returns
// how many were stored.
size_t scan_searches(scan_search out[3]);

#if defined(__wasm_simd128__)
// WebAssembly's 128-bit SIMD, for the browser's build.  The portable
// search takes 16 starts a step and looks at each block's hit mask apart;
// this one takes 64 (four blocks of 16, their three loads each issued
// together) and rejects all four with one test when none may open a find,
// as most blocks of an image do.  A block with a hit gives its starts from
// its 16-bit mask.  The starts too near `readable` for a whole step go 16
// and then one at a time.  Held against the portable search by
// npm/test/scan_search.test.mjs, and timed beside it by bench/search.sh;
// which searches the scanner runs is scan_searches()'s choice.
namespace simd128 {

inline bool maybe_start(const uint8_t *p)
{
    return (p[0] == 'b' && p[11] == 0xB1) || (p[0] == 's' && p[4] == 't') ||
           (p[0] == 'a' && p[4] == '1');
}

// The starts of the 16 at p + i that may open a find: one bit each.
inline v128_t block_hits(const uint8_t *p, size_t i)
{
    const v128_t x0 = wasm_v128_load(p + i);
    const v128_t x4 = wasm_v128_load(p + i + 4);
    const v128_t x11 = wasm_v128_load(p + i + 11);
    const v128_t tagged = wasm_v128_and(wasm_i8x16_eq(x0, wasm_i8x16_splat('b')),
                                        wasm_i8x16_eq(x11, wasm_u8x16_splat(0xB1)));
    const v128_t start = wasm_v128_and(wasm_i8x16_eq(x0, wasm_i8x16_splat('s')),
                                       wasm_i8x16_eq(x4, wasm_i8x16_splat('t')));
    const v128_t asar = wasm_v128_and(wasm_i8x16_eq(x0, wasm_i8x16_splat('a')),
                                      wasm_i8x16_eq(x4, wasm_i8x16_splat('1')));
    return wasm_v128_or(tagged, wasm_v128_or(start, asar));
}

// The starts at i + the set bits of mask below `to`, into out[n..max).
inline size_t mask_starts(uint32_t mask, size_t i, size_t to, size_t *out, size_t n, size_t max)
{
    for (; mask != 0 && n < max; mask &= mask - 1) {
        const size_t k = i + static_cast<size_t>(__builtin_ctz(mask));
        if (k >= to)
            break;
        out[n++] = k;
    }
    return n;
}

inline size_t find_starts(const uint8_t *p, size_t from, size_t to, size_t readable, size_t *out,
                          size_t max)
{
    size_t i = from, n = 0;
    for (; i < to && i + 64 + 11 <= readable; i += 64) {
        const v128_t h0 = block_hits(p, i), h1 = block_hits(p, i + 16);
        const v128_t h2 = block_hits(p, i + 32), h3 = block_hits(p, i + 48);
        if (!wasm_v128_any_true(wasm_v128_or(wasm_v128_or(h0, h1), wasm_v128_or(h2, h3))))
            continue;
        const v128_t h[4] = {h0, h1, h2, h3};
        for (size_t k = 0; k < 4; k++) {
            const auto m = static_cast<uint32_t>(wasm_i8x16_bitmask(h[k]));
            if (m != 0 && (n = mask_starts(m, i + 16 * k, to, out, n, max)) == max)
                return n;
        }
    }
    for (; i < to && i + 16 + 11 <= readable; i += 16) {
        const auto m = static_cast<uint32_t>(wasm_i8x16_bitmask(block_hits(p, i)));
        if (m != 0 && (n = mask_starts(m, i, to, out, n, max)) == max)
            return n;
    }
    for (; i < to && n < max; i++)
        if (maybe_start(p + i))
            out[n++] = i;
    return n;
}

} // namespace simd128
#endif

} // namespace velkor

#endif
