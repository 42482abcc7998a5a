// SPDX-License-Identifier: MIT
// The run-time choice of checksum kernel on a host, nothing else: the list
// of kernels this build has, and the two kernels the public functions in
// checksum.cpp run.  The plain, portable and device kernels are in
// checksum_portable.cpp, the folding ones in x86/ and arm/ (one template,
// fold.h).  A device build chooses when it is built instead
// (device/checksum_choice.cpp).
#include "checksum_kernels.h"

#if defined(VELKOR_HAVE_X86_KERNELS)
#include "x86/kernels.h"
#endif
#if defined(VELKOR_HAVE_ARM_KERNELS)
#include "arm/kernels.h"
#endif

namespace velkor_kernels {

const kernel_info all_kernels[] = {
    {"plain", crc_plain, csum_plain, tier::portable},
    {"slice16", crc_slice16, csum_slice16, tier::portable},
    // What a device may be built with (device/checksum_choice.cpp): here so
    // that the host's tests hold them to the plain kernels.
    {"table256", crc_plain, csum_table256, tier::portable},
    {"table16", crc_table16, csum_table16, tier::portable},
    {"bitwise", crc_bitwise, csum_plain, tier::portable},
#if defined(VELKOR_HAVE_X86_KERNELS)
    {"pclmul", crc_pclmul, csum_pclmul, tier::pclmul},
    {"vpclmul512", crc_vpclmul512, csum_vpclmul512, tier::vpclmul512},
#endif
#if defined(VELKOR_HAVE_ARM_KERNELS)
    {"pmull", crc_pmull, csum_pmull, tier::pmull},
#endif
};
const size_t all_kernel_count = sizeof all_kernels / sizeof all_kernels[0];

#if !defined(VELKOR_HAVE_X86_KERNELS) && !defined(VELKOR_HAVE_ARM_KERNELS)
unsigned cpu_features()
{
    return 0;
}
#endif

// Called from the resolvers: uninstrumented, and no data that needs
// relocating (the resolvers may run before relocations are done).
__attribute__((no_sanitize("address", "undefined"))) tier choose_tier(unsigned features)
{
    // Best first.  The needs are compile-time constants, so that even an
    // unoptimised build calls nothing from here.
#if defined(VELKOR_HAVE_X86_KERNELS)
    if (constexpr unsigned need = tier_needs(tier::vpclmul512); (need & ~features) == 0)
        return tier::vpclmul512;
    if (constexpr unsigned need = tier_needs(tier::pclmul); (need & ~features) == 0)
        return tier::pclmul;
#endif
#if defined(VELKOR_HAVE_ARM_KERNELS)
    if (constexpr unsigned need = tier_needs(tier::pmull); (need & ~features) == 0)
        return tier::pmull;
#endif
    (void)features;
    return tier::portable;
}

} // namespace velkor_kernels

// Run-time choice: each public function calls its kernel through a GNU
// indirect function, bound once by the dynamic linker (or, in a static
// program, by the C library's start-up code) to what the resolver returns.
// No pointer of ours is ever written after that.  The resolver runs before
// constructors and before the sanitizers' run-time is ready, so it only
// asks the CPU (x86: cpuid, through cpu_features, built uninstrumented) or
// reads the hardware capabilities the loader hands it (ARM64: AT_HWCAP, the
// resolver's first argument), and returns the address by a switch rather
// than from a table of pointers.
using namespace velkor_kernels;

#if defined(VELKOR_HAVE_ARM_KERNELS)
#define VELKOR_RESOLVER_PARAMS uint64_t hwcap
#define VELKOR_LOAD_FEATURES features_from_hwcap(hwcap)
#else
#define VELKOR_RESOLVER_PARAMS
#define VELKOR_LOAD_FEATURES cpu_features()
#endif

// Hidden but not static: clang resolves an ifunc only to a symbol it has
// not renamed.  Windows' DLLs have no visibility: what is not exported
// stays inside.
#if defined(_WIN32)
#define VELKOR_RESOLVER __attribute__((used, no_sanitize("address", "undefined")))
#else
#define VELKOR_RESOLVER __attribute__((used, visibility("hidden"), no_sanitize("address", "undefined")))
#endif

extern "C" {
VELKOR_RESOLVER crc_fn velkor_resolve_crc(VELKOR_RESOLVER_PARAMS)
{
    switch (choose_tier(VELKOR_LOAD_FEATURES)) {
#if defined(VELKOR_HAVE_X86_KERNELS)
    case tier::vpclmul512: return crc_vpclmul512;
    case tier::pclmul: return crc_pclmul;
#endif
#if defined(VELKOR_HAVE_ARM_KERNELS)
    case tier::pmull: return crc_pmull;
#endif
    default: return crc_slice16;
    }
}

VELKOR_RESOLVER csum_fn velkor_resolve_csum(VELKOR_RESOLVER_PARAMS)
{
    switch (choose_tier(VELKOR_LOAD_FEATURES)) {
#if defined(VELKOR_HAVE_X86_KERNELS)
    case tier::vpclmul512: return csum_vpclmul512;
    case tier::pclmul: return csum_pclmul;
#endif
#if defined(VELKOR_HAVE_ARM_KERNELS)
    case tier::pmull: return csum_pmull;
#endif
    default: return csum_slice16;
    }
}
}

#if defined(__wasm__) || defined(_WIN32)
// No indirect functions here, so each call asks the resolver.  WebAssembly
// has only the portable kernels: the choice is known when compiling.  On
// Windows the resolver reads the CPU's features, which the compiler's
// run-time support asks cpuid for once and keeps: a call costs a few loads
// and branches, and no pointer of ours is ever written, so none can be
// called before it is set (as a constructor-set one could, from another
// library's constructor in a static program).
uint32_t velkor_kernels::crc_update(uint32_t h, const uint8_t *p, size_t n)
{
    return velkor_resolve_crc()(h, p, n);
}
uint32_t velkor_kernels::csum_update(uint32_t a, const uint8_t *p, size_t n)
{
    return velkor_resolve_csum()(a, p, n);
}
#else
namespace velkor_kernels {
uint32_t crc_update(uint32_t h, const uint8_t *p, size_t n)
    __attribute__((ifunc("velkor_resolve_crc")));
uint32_t csum_update(uint32_t a, const uint8_t *p, size_t n)
    __attribute__((ifunc("velkor_resolve_csum")));
} // namespace velkor_kernels
#endif
