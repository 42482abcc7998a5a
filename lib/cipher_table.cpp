// SPDX-License-Identifier: MIT
// The cipher's tables on a host: one allocation each, from the heap.
#include "cipher_table.h"

#if !defined(__wasm__) && !defined(_WIN32)
#include <sys/mman.h>
#endif

#include <cstdint>
#include <cstdlib>

namespace {

// Large tables are walked at random; huge pages spare a TLB miss on almost
// every step.  Advice only: a refusal changes nothing.
void advise_huge_pages(uint8_t *s, size_t n)
{
    constexpr uintptr_t huge = uintptr_t(2) << 20;
    uintptr_t lo = (reinterpret_cast<uintptr_t>(s) + huge - 1) & ~(huge - 1);
    uintptr_t hi = (reinterpret_cast<uintptr_t>(s) + n) & ~(huge - 1);
#if defined(__wasm__) || defined(_WIN32)
    // WebAssembly's memory is one flat array, with no pages to advise on;
    // Windows gives large pages only to accounts holding a privilege, and
    // only to memory allocated for them.
    (void)lo;
    (void)hi;
#else
    if (hi > lo)
        madvise(reinterpret_cast<void *>(lo), hi - lo, MADV_HUGEPAGE);
#endif
}

} // namespace

uint8_t *velkor::cipher_table_get(vcrypt_state *, size_t n)
{
    auto *s = static_cast<uint8_t *>(malloc(n));
    if (s != nullptr && n >= (size_t(4) << 20))
        advise_huge_pages(s, n);
    return s;
}

void velkor::cipher_table_put(vcrypt_state *ctx)
{
    free(ctx->state);
}
