// SPDX-License-Identifier: MIT
// The 128-bit x86 folding kernels.  Built with -mpclmul -msse4.1 (see
// lib/CMakeLists.txt): entered only on CPUs that have both.
#include "x86/kernels.h"
#include "x86/vec.h"

namespace velkor_kernels {

uint32_t crc_pclmul(uint32_t h, const uint8_t *p, size_t n)
{
    return fold_kernel<sse128, order::msb>(h, p, n);
}

uint32_t csum_pclmul(uint32_t a, const uint8_t *p, size_t n)
{
    return fold_kernel<sse128, order::lsb>(a, p, n);
}

} // namespace velkor_kernels
