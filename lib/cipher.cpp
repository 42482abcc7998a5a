// SPDX-License-Identifier: MIT
// The keyed RC4-type stream cipher.  The table has N entries: 256 gives
// RC4 itself; a data-sized table gives the variant stored containers use.
//
// The plain algorithm, which every path below reproduces bit for bit:
//
//   key schedule:  s[k] = k mod 256;  j' = 0;  m = 0
//                  for k in 0..N-1:  j' = (j' + s[k] + key[m]) mod N
//                                    swap s[k], s[j'];  m = (m + 1) mod key_len
//   generator:     i = (i + 1) mod N, truncated to 8 bits
//                  a = s[i];  j = (j + a) mod N, truncated to 8 bits
//                  swap s[i], s[j];  out = in ^ s[(s[i] + s[j]) mod N]
//
// Every sum in it is bounded by a small multiple of N, so each "mod" is one
// or two conditional subtractions; no path divides inside a loop.
#include "velkor.h"
#include "cipher_key.h"
#include "cipher_table.h"

#if defined(__x86_64__) && !defined(VELKOR_PORTABLE)
#include <emmintrin.h>
#endif

#include <cstring>

namespace {

using velkor::max_key_text;

// ---------------------------------------------------------------------------
// Generator
// ---------------------------------------------------------------------------

// The generator's index arithmetic depends on N in four ways.  Within each,
// a and b are table entries, and i and j are the 8-bit indices.
//
//  small (N < 256): entries are a permutation of 0..N-1, so a, b < N and
//    i, j < N (reduced once on entry).  i + 1 <= N, j + a and a + b are
//    below 2N: one conditional subtraction each is the exact "mod N".
//  rc4 (N = 256): "mod 256" is the 8-bit truncation itself.  j is kept
//    unreduced in a 32-bit register and masked only to index; 2^32 is a
//    multiple of 256, so the masked value is the true j.
//  mid (256 < N <= 510): i, j <= 255 < N, so i + 1 never reaches N and
//    the truncation is all of it.  j + a <= 510 and a + b <= 510 are below
//    2N: one conditional subtraction, then j is truncated to 8 bits.
//  large (N > 510): j + a <= 510 < N and a + b <= 510 < N, so nothing is
//    ever reduced mod N: j is truncated like RC4's, and t = a + b is used
//    whole, reaching entries 256..510.  Only entries 0..510 are ever read.
enum class mode { small, rc4, mid, large };

template <mode M> struct arith {
    static uint32_t next_i(uint32_t i, uint32_t n)
    {
        i += 1;
        if constexpr (M == mode::small)
            return i == n ? 0 : i;
        else
            return i & 255;
    }

    // Returns the new j in its register form (see index_j).
    static uint32_t next_j(uint32_t j, uint32_t a, uint32_t n)
    {
        if constexpr (M == mode::rc4 || M == mode::large) {
            return j + a;
        } else {
            uint32_t x = j + a;
            x = x >= n ? x - n : x;
            return M == mode::mid ? x & 255 : x;
        }
    }

    static uint32_t index_j(uint32_t j)
    {
        return M == mode::rc4 || M == mode::large ? j & 255 : j;
    }

    static uint32_t index_t(uint32_t a, uint32_t b, uint32_t n)
    {
        uint32_t t = a + b;
        if constexpr (M == mode::rc4)
            return t & 255;
        else if constexpr (M == mode::large)
            return t;
        else
            return t >= n ? t - n : t;
    }
};

// One generator step, with the plain index arithmetic of mode M.
template <mode M, typename T>
inline uint8_t step(T *s, uint32_t n, uint32_t &i, uint32_t &j)
{
    using A = arith<M>;
    i = A::next_i(i, n);
    uint32_t a = s[i];
    j = A::next_j(j, a, n);
    T *sj = s + A::index_j(j);
    uint32_t b = *sj;
    s[i] = static_cast<T>(b);
    *sj = static_cast<T>(a);
    return static_cast<uint8_t>(s[A::index_t(a, b, n)]);
}

// Gathers eight keystream bytes (each below 256) into the 64-bit word that
// lines up with eight data bytes loaded by memcpy.  On x86-64 each byte goes
// into a 16-bit lane straight from its table load, and one pack narrows the
// lanes: fewer instructions per byte than shifting and ORing, which counts
// here because the loop is bound by instructions per byte.  VELKOR_PORTABLE
// builds take the byte-order-safe form below on x86 too.
#if defined(__x86_64__) && !defined(VELKOR_PORTABLE)
struct gather8 {
    __m128i v = _mm_setzero_si128();
    void put(unsigned u, uint32_t x)
    {
        const int b = static_cast<int>(x);
        switch (u) { // the lane must be a constant; u is one after unrolling
        case 0: v = _mm_insert_epi16(v, b, 0); break;
        case 1: v = _mm_insert_epi16(v, b, 1); break;
        case 2: v = _mm_insert_epi16(v, b, 2); break;
        case 3: v = _mm_insert_epi16(v, b, 3); break;
        case 4: v = _mm_insert_epi16(v, b, 4); break;
        case 5: v = _mm_insert_epi16(v, b, 5); break;
        case 6: v = _mm_insert_epi16(v, b, 6); break;
        default: v = _mm_insert_epi16(v, b, 7); break;
        }
    }
    uint64_t word() const
    {
        return static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_packus_epi16(v, v)));
    }
};
#else
struct gather8 {
    uint64_t w = 0;
    void put(unsigned u, uint32_t x)
    {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        const unsigned shift = 8 * u;
#else
        const unsigned shift = 56 - 8 * u;
#endif
        w |= static_cast<uint64_t>(static_cast<uint8_t>(x)) << shift;
    }
    uint64_t word() const { return w; }
};
#endif

// Eight steps whose i runs through si[0..7] without wrapping.
//
// The serial chain of the generator is j += s[i].  Loading s[i] just before
// its step makes that load follow the previous steps' stores to s[j] in
// program order, and the core must either wait for their addresses or
// guess (and start over when the guess was wrong, about one step in 256
// per store in flight).  Here the eight entries s[i+1 .. i+8] are loaded
// together before any of the eight steps stores anything, so the chain no
// longer waits on memory.  A loaded entry is stale only if an earlier step
// of the same group swapped it: its j landed on a later i of the group
// (s[i] of an earlier step is never a later i).  Each step tests for that
// (one compare, rarely taken) and reloads the later entries after its
// stores, so every step reads exactly what the plain order would.
//
// The eight keystream bytes are gathered into one word and XORed with
// eight source bytes read at once, before the eight output bytes are
// written, so the output never overtakes the input when dst lies before
// src in one buffer.
template <mode M, typename T>
inline void eight_steps(T *s, T *si, uint32_t i1, uint32_t n, uint32_t &j, const uint8_t *src,
                        uint8_t *dst)
{
    using A = arith<M>;
    uint32_t pre[8];
#pragma GCC unroll 8
    for (unsigned u = 0; u < 8; u++)
        pre[u] = si[u];
    uint64_t w;
    memcpy(&w, src, 8);
    gather8 ks;
#pragma GCC unroll 8
    for (unsigned u = 0; u < 8; u++) {
        uint32_t a = pre[u];
        j = A::next_j(j, a, n);
        const uint32_t jx = A::index_j(j);
        uint32_t b = s[jx];
        si[u] = static_cast<T>(b);
        s[jx] = static_cast<T>(a);
        ks.put(u, s[A::index_t(a, b, n)]);
        // jx in i1+u+1 .. i1+7, as one unsigned compare.
        if (__builtin_expect(jx - i1 - u - 1 < 7 - u, 0)) {
#pragma GCC unroll 8
            for (unsigned k = u + 1; k < 8; k++)
                pre[k] = si[k];
        }
    }
    w ^= ks.word();
    memcpy(dst, &w, 8);
}

// Runs the generator over len bytes with the table s (byte entries in the
// context's own table, or 32-bit entries in a stack copy) in groups of
// eight steps whose i does not wrap inside the group, with single steps
// in between.  Where i wraps at 256, single steps first bring i + 1 to a
// multiple of 8; from there every group fits.
template <mode M, typename T>
void generate(T *s, uint32_t n, uint32_t &ir, uint32_t &jr, const uint8_t *src, uint8_t *dst,
              size_t len)
{
    using A = arith<M>;
    uint32_t i = ir, j = jr;
    size_t p = 0;
    auto single = [&] {
        dst[p] = static_cast<uint8_t>(src[p] ^ step<M>(s, n, i, j));
        p++;
    };
    if constexpr (!velkor::cipher_fast_paths) {
        while (p < len)
            single();
    } else if constexpr (M == mode::small) {
        while (p < len) {
            const uint32_t i1 = A::next_i(i, n);
            if (len - p >= 8 && i1 + 7 < n) {
                eight_steps<M>(s, s + i1, i1, n, j, src + p, dst + p);
                i = i1 + 7;
                p += 8;
            } else {
                single();
            }
        }
    } else {
        while (p < len && ((i + 1) & 7) != 0)
            single();
        const uint8_t *sp = src + p;
        uint8_t *dp = dst + p;
        uint32_t i1 = (i + 1) & 255;
        for (size_t groups = (len - p) / 8; groups > 0; groups--) {
            eight_steps<M>(s, s + i1, i1, n, j, sp, dp);
            i1 = (i1 + 8) & 255;
            sp += 8;
            dp += 8;
        }
        p += (len - p) / 8 * 8;
        i = (i1 - 1) & 255;
        while (p < len)
            single();
    }
    ir = i;
    jr = A::index_j(j);
}

// Below this many bytes, copying the table out and back costs more than the
// wider entries save.
constexpr size_t widen_threshold = 64;

// Long runs work on a copy of the entries the generator can reach (at most
// 0..510) held as 32-bit values on the stack, written back at the end: the
// library allocates nothing but the table, and whole-word entries measure
// a few per cent faster with g++ and about a fifth faster with clang than
// byte entries in this loop.
template <mode M>
void process(vcrypt_state *ctx, uint32_t n, uint32_t &i, uint32_t &j, const uint8_t *src,
             uint8_t *dst, size_t len)
{
    uint8_t *s = ctx->state;
    if constexpr (!velkor::cipher_fast_paths) {
        generate<M>(s, n, i, j, src, dst, len);
    } else {
        if (len < widen_threshold) {
            generate<M>(s, n, i, j, src, dst, len);
            return;
        }
        const size_t reach = ctx->state_len < 511 ? ctx->state_len : 511;
        alignas(64) uint32_t wide[511];
        for (size_t k = 0; k < reach; k++)
            wide[k] = s[k];
        generate<M>(wide, n, i, j, src, dst, len);
        for (size_t k = 0; k < reach; k++)
            s[k] = static_cast<uint8_t>(wide[k]);
    }
}

// ---------------------------------------------------------------------------
// Key schedule
// ---------------------------------------------------------------------------

// The key material as the schedule reads it, key[m] for m < len: the
// caller's bytes, or vcrypt_buf()'s key_prefix followed by the key text,
// read where they are rather than copied together (up to 255 bytes of
// stack that a device does not have).
struct key_bytes {
    const uint8_t *p;
    size_t len;
    uint8_t operator[](size_t m) const { return p[m]; }
};

struct prefixed_text {
    uint8_t prefix;
    const char *text;
    size_t len; // the text's length + 1
    uint8_t operator[](size_t m) const
    {
        return m == 0 ? prefix : static_cast<uint8_t>(text[m - 1]);
    }
};

// Tables smaller than 256 entries: j' + s[k] + key[m] can be up to 2N - 2 +
// 255, many multiples of N, and is reduced by subtracting N as often as
// needed.  That is at most 2 + 255 / N times, N times over: in all about
// 2N + 255 subtractions, as cheap as any table of residues would be to
// build, and with no such table on the stack.
template <typename Key> void schedule_small(uint8_t *s, size_t n, const Key &key)
{
    size_t j = 0, m = 0;
    for (size_t k = 0; k < n; k++) {
        j += s[k] + key[m];
        while (j >= n)
            j -= n;
        uint8_t t = s[k];
        s[k] = s[j];
        s[j] = t;
        m = m + 1 == key.len ? 0 : m + 1;
    }
}

// N >= 256: j' < N and s[k], key[m] <= 255, so j' + s[k] + key[m] < N + 510,
// which is below 3N.  Two conditional subtractions reduce it exactly.
inline size_t reduce3(size_t x, size_t n)
{
    x = x >= n ? x - n : x;
    return x >= n ? x - n : x;
}

// With the division gone, the chain j' -> j' + s[k] + key[m] -> j' costs a
// few cycles, and the loads and stores of s[j'] hang off it rather than in
// it: for tables beyond the caches the core already keeps many of those
// misses in flight, and this loop runs at the machine's rate for
// independent random accesses.  (A second chain running ahead on
// not-yet-swapped entries to prefetch the coming s[j'] lines was measured
// and gained nothing, so it is not here.)  What does help large tables is
// fewer TLB misses: see cipher_table.cpp.
template <typename Key> void schedule(uint8_t *s, size_t n, const Key &key)
{
    if (n < 256) {
        schedule_small(s, n, key);
        return;
    }
    size_t j = 0, m = 0;
    for (size_t k = 0; k < n; k++) {
        j = reduce3(j + s[k] + key[m], n);
        uint8_t t = s[k];
        s[k] = s[j];
        s[j] = t;
        m = m + 1 == key.len ? 0 : m + 1;
    }
}

// Entry k starts as k mod 256: one period, then doubling copies.
void fill(uint8_t *s, size_t n)
{
    const size_t first = n < 256 ? n : 256;
    for (size_t k = 0; k < first; k++)
        s[k] = static_cast<uint8_t>(k);
    for (size_t done = first; done < n;) {
        size_t chunk = done < n - done ? done : n - done;
        memcpy(s + done, s, chunk);
        done += chunk;
    }
}

// vcrypt_init() with the key material read through key.
template <typename Key> int init(vcrypt_state *ctx, const Key &key, size_t state_len)
{
    // A table of no entries needs no memory, and is not a failed allocation.
    uint8_t *s = nullptr;
    if (state_len > 0 && (s = velkor::cipher_table_get(ctx, state_len)) == nullptr)
        return -1;
    ctx->i = 0;
    ctx->j = 0;
    ctx->state = s;
    ctx->state_len = state_len;
    if (state_len == 0)
        return 0;
    fill(s, state_len);
    schedule(s, state_len, key);
    return 0;
}

} // namespace

extern "C" int vcrypt_init(vcrypt_state *ctx, const uint8_t *key, int key_len, size_t state_len)
{
    if (key_len < 1)
        return -1;
    return init(ctx, key_bytes{key, static_cast<size_t>(key_len)}, state_len);
}

extern "C" uint32_t vcrypt_process(vcrypt_state *ctx, const uint8_t *src, uint8_t *dst,
                                   size_t len)
{
    const size_t n = ctx->state_len;
    if (n == 0)
        return 0;
    uint32_t i = static_cast<uint8_t>(ctx->i);
    uint32_t j = static_cast<uint8_t>(ctx->j);
    if (len > 0) {
        if (n < 256) {
            // Reducing once here gives the same first step as reducing the
            // sums, and keeps every later sum below 2N.
            const auto n32 = static_cast<uint32_t>(n);
            i %= n32;
            j %= n32;
            process<mode::small>(ctx, n32, i, j, src, dst, len);
        } else if (n == 256) {
            process<mode::rc4>(ctx, 256, i, j, src, dst, len);
        } else if (n <= 510) {
            process<mode::mid>(ctx, static_cast<uint32_t>(n), i, j, src, dst, len);
        } else {
            process<mode::large>(ctx, 0, i, j, src, dst, len);
        }
    }
    ctx->i = i;
    ctx->j = j;
    return static_cast<uint32_t>(len);
}

extern "C" void vcrypt_finish(vcrypt_state *ctx)
{
    velkor::cipher_table_put(ctx);
    ctx->state = nullptr;
    ctx->state_len = 0;
}

int velkor::vcrypt_init_text(vcrypt_state *ctx, uint8_t key_prefix, const char *key,
                             size_t state_len)
{
    const size_t text_len = key_text_len(key);
    if (text_len > max_key_text)
        return -1;
    return init(ctx, prefixed_text{key_prefix, key, text_len + 1}, state_len);
}

int velkor::vcrypt_run_text(vcrypt_state *ctx, uint8_t key_prefix, const char *key,
                            const uint8_t *src, uint8_t *dst, size_t len, int data_sized_state)
{
    if (vcrypt_init_text(ctx, key_prefix, key, data_sized_state ? len : 256) != 0)
        return -1;
    vcrypt_process(ctx, src, dst, len);
    vcrypt_finish(ctx);
    return 0;
}

extern "C" int vcrypt_buf(uint8_t key_prefix, const char *key, const uint8_t *src, uint8_t *dst,
                          size_t len, int data_sized_state)
{
    vcrypt_state ctx;
    return velkor::vcrypt_run_text(&ctx, key_prefix, key, src, dst, len, data_sized_state);
}
