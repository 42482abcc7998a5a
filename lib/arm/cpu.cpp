// SPDX-License-Identifier: MIT
// ARM64 CPU features, from the hardware capabilities the kernel reports.
#include "arm/kernels.h"

#include <sys/auxv.h>

namespace velkor_kernels {

// Called from the ifunc resolvers: uninstrumented, and nothing but bit
// tests on the word the loader gave them.
__attribute__((no_sanitize("address", "undefined"))) unsigned features_from_hwcap(uint64_t hwcap)
{
    return (hwcap & HWCAP_PMULL) ? feat_pmull : 0u;
}

unsigned cpu_features()
{
    return features_from_hwcap(getauxval(AT_HWCAP));
}

} // namespace velkor_kernels
