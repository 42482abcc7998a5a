// SPDX-License-Identifier: MIT
// x86/kernels.h - the x86 folding kernels, for the dispatcher and the
// kernel table in checksum_choice.cpp.  Each lives in a source compiled for the
// instructions it uses; call one only on a CPU whose cpu_features() has
// all of tier_needs() of its tier.
#ifndef VELKOR_X86_KERNELS_H
#define VELKOR_X86_KERNELS_H

#include "checksum_kernels.h"

namespace velkor_kernels {

// 4 x 128 bits at a time (PCLMULQDQ, SSE4.1): fold128.cpp.
uint32_t crc_pclmul(uint32_t h, const uint8_t *p, size_t n);
uint32_t csum_pclmul(uint32_t a, const uint8_t *p, size_t n);
// 4 x 512 bits at a time (VPCLMULQDQ, AVX-512 F/BW/VL): fold512.cpp.
uint32_t crc_vpclmul512(uint32_t h, const uint8_t *p, size_t n);
uint32_t csum_vpclmul512(uint32_t a, const uint8_t *p, size_t n);

} // namespace velkor_kernels

#endif
