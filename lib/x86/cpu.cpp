// SPDX-License-Identifier: MIT
// x86 CPU features, asked of cpuid through the compiler's run-time
// support (built without any extra instruction set, so it runs anywhere).
#include "checksum_kernels.h"

namespace velkor_kernels {

// Called from the ifunc resolvers, which run before the sanitizer
// run-times are set up: keep it uninstrumented.
//
// The OS must also save the wider register state across context switches,
// or AVX-512 code faults (or worse, loses register contents).  That check
// is made inside __builtin_cpu_init: libgcc (and compiler-rt for clang)
// reads XCR0 with XGETBV and reports the AVX-512 features and VPCLMULQDQ
// only when the OS has enabled the ZMM, opmask and YMM state, so there is
// no second XGETBV here.
__attribute__((no_sanitize("address", "undefined"))) unsigned cpu_features()
{
    __builtin_cpu_init();
    unsigned f = 0;
    if (__builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1"))
        f |= feat_pclmul;
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("vpclmulqdq"))
        f |= feat_vpclmul512;
    if (__builtin_cpu_supports("avx2"))
        f |= feat_avx2;
    return f;
}

} // namespace velkor_kernels
