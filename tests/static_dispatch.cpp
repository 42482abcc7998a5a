// SPDX-License-Identifier: MIT
// The checksums reach their kernels through GNU indirect functions, which
// in a fully static program the C library binds itself, early in start-up.
// This program is linked fully static, position-independent and not, and
// checks there that the public functions and every kernel this CPU can run
// give the plain kernels' results.  It uses no GoogleTest: a static link of
// that pulls in the C library's network look-ups, which a static program
// cannot carry without a warning.
#include "checksum_kernels.h"
#include "velkor.h"

#include <cstdio>
#include <random>
#include <vector>

using namespace velkor_kernels;

namespace {

int passed = 0, failed = 0;

void expect(bool ok, const char *what, size_t len, size_t off)
{
    if (ok) {
        passed++;
    } else {
        failed++;
        fprintf(stderr, "FAILED: %s, length %zu, offset %zu\n", what, len, off);
    }
}

// velkor_crc from the plain kernel: the data, its length's bytes least
// significant first, complemented.
uint32_t crc_reference(const uint8_t *p, size_t len)
{
    uint32_t h = crc_plain(0, p, len);
    for (size_t n = len;; n >>= 8) {
        const auto b = static_cast<uint8_t>(n & 0xFF);
        h = crc_plain(h, &b, 1);
        if (n <= 255)
            break;
    }
    return ~h;
}

} // namespace

int main()
{
    std::mt19937 rng(7);
    std::vector<uint8_t> data((size_t{1} << 20) + 64);
    for (auto &b : data)
        b = static_cast<uint8_t>(rng());
    const size_t lens[] = {0, 1, 15, 16, 63, 64, 255, 256, 1000, 4096, 65537, size_t{1} << 20};
    for (size_t len : lens) {
        for (size_t off : {0, 1, 63}) {
            const uint8_t *p = data.data() + off;
            expect(velkor_crc(p, len) == crc_reference(p, len), "velkor_crc", len, off);
            expect(velkor_csum(0x1234567u, p, len) == csum_plain(0x1234567u, p, len), "velkor_csum",
                   len, off);
            for (size_t k = 0; k < all_kernel_count; k++) {
                const kernel_info &kern = all_kernels[k];
                if (!runs_here(kern))
                    continue;
                expect(kern.crc(0x89abcdefu, p, len) == crc_plain(0x89abcdefu, p, len), kern.name,
                       len, off);
                expect(kern.csum(0x89abcdefu, p, len) == csum_plain(0x89abcdefu, p, len), kern.name,
                       len, off);
            }
        }
    }
    printf("static_dispatch: %d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
