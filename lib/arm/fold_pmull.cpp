// SPDX-License-Identifier: MIT
// The ARM64 folding kernels, PMULL over 128-bit NEON vectors, for both
// checksums.  Built with the crypto extension enabled (see
// lib/CMakeLists.txt): entered only when AT_HWCAP reports PMULL.
//
// velkor_csum runs the same fold on sign-corrected vectors rather than
// the CRC-32 instructions (whose polynomial it shares): with those the
// sign correction has to be done on 64-bit words in general registers,
// and costs more than the CRC instruction it feeds.  bench/README.md has
// the count of instructions per 64 bytes behind this choice.
#include "arm/kernels.h"
#include "arm/vec.h"

namespace velkor_kernels {

uint32_t crc_pmull(uint32_t h, const uint8_t *p, size_t n)
{
    return fold_kernel<neon128, order::msb>(h, p, n);
}

uint32_t csum_pmull(uint32_t a, const uint8_t *p, size_t n)
{
    return fold_kernel<neon128, order::lsb>(a, p, n);
}

} // namespace velkor_kernels
