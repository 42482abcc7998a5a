// SPDX-License-Identifier: MIT
// The 512-bit x86 folding kernels.  Built with AVX-512 F/BW/VL and
// VPCLMULQDQ enabled (see lib/CMakeLists.txt): entered only on CPUs that
// have them.  Buffers too short for four 512-bit accumulators go to the
// 128-bit fold compiled here with the same instructions.
#include "x86/kernels.h"
#include "x86/vec.h"

namespace velkor_kernels {

uint32_t crc_vpclmul512(uint32_t h, const uint8_t *p, size_t n)
{
    return fold_kernel<avx512, order::msb>(h, p, n);
}

uint32_t csum_vpclmul512(uint32_t a, const uint8_t *p, size_t n)
{
    return fold_kernel<avx512, order::lsb>(a, p, n);
}

} // namespace velkor_kernels
