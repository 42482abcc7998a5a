// SPDX-License-Identifier: MIT
// arm/kernels.h - the ARM64 folding kernels and the reading of the CPU's
// hardware capabilities, for the dispatcher in checksum_choice.cpp.
#ifndef VELKOR_ARM_KERNELS_H
#define VELKOR_ARM_KERNELS_H

#include "checksum_kernels.h"

namespace velkor_kernels {

// 4 x 128 bits at a time with PMULL: fold_pmull.cpp.
uint32_t crc_pmull(uint32_t h, const uint8_t *p, size_t n);
uint32_t csum_pmull(uint32_t a, const uint8_t *p, size_t n);

// The feature bits for an AT_HWCAP word (which the loader also passes to
// ifunc resolvers as their first argument).
unsigned features_from_hwcap(uint64_t hwcap);

} // namespace velkor_kernels

#endif
