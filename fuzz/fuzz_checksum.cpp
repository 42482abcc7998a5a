// SPDX-License-Identifier: MIT
// Every checksum kernel the build has, against the plain one, on
// fuzzer-chosen data, starting register and start offset; and the public
// functions against their definition in terms of the plain kernels.
//
// The data sits at the chosen offset inside an allocation with the bytes
// before it poisoned, so a kernel that reads before its start or past its
// end (say while aligning or folding a tail) is caught.
//
// Input: offset, 4 bytes of starting register, then the data.
#include "checksum_kernels.h"
#include "fuzz_input.h"
#include "velkor.h"

#include <sanitizer/asan_interface.h>

#include <algorithm>

using namespace velkor_kernels;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::input in(data, size);
    const size_t offset = in.u8() % 64;
    const uint32_t start = static_cast<uint32_t>(in.u16()) << 16 | in.u16();
    const size_t n = in.rest_size();

    uint8_t *block = new uint8_t[offset + n];
    uint8_t *p = block + offset;
    std::copy(in.rest(), in.rest() + n, p);
    ASAN_POISON_MEMORY_REGION(block, offset);

    const uint32_t crc_want = crc_plain(start, p, n);
    const uint32_t csum_want = csum_plain(start, p, n);
    for (size_t k = 0; k < all_kernel_count; k++) {
        const kernel_info &kern = all_kernels[k];
        if (!runs_here(kern))
            continue;
        if (kern.crc(start, p, n) != crc_want) {
            fprintf(stderr, "kernel %s: crc differs (offset %zu, length %zu)\n", kern.name, offset, n);
            abort();
        }
        if (kern.csum(start, p, n) != csum_want) {
            fprintf(stderr, "kernel %s: csum differs (offset %zu, length %zu)\n", kern.name, offset, n);
            abort();
        }
    }

    // The public functions, whatever kernel they were bound to.
    FUZZ_CHECK(velkor_csum(start, p, n) == csum_want);
    uint32_t h = crc_plain(0, p, n);
    for (size_t len = n;; len >>= 8) {
        const uint8_t b = static_cast<uint8_t>(len);
        h = crc_plain(h, &b, 1);
        if (len <= 255)
            break;
    }
    FUZZ_CHECK(velkor_crc(p, n) == (n == 0 ? 0xFFFFFFFFu : ~h));

    ASAN_UNPOISON_MEMORY_REGION(block, offset);
    delete[] block;
    return 0;
}
