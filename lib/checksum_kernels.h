// SPDX-License-Identifier: MIT
// checksum_kernels.h - every checksum kernel the library contains, for the
// dispatcher in checksum_choice.cpp and for tests, fuzzers and benchmarks that must
// reach kernels the running CPU would not be given.
//
// Two families, one signature each:
//
//   crc kernels   h' = MSB-first CRC register update under 0x04C11DB7,
//                 from register h over n bytes.  No length bytes, no final
//                 complement: velkor_crc adds those around the kernel.
//   csum kernels  exactly velkor_csum(a, p, n): reflected 0xEDB88320 with
//                 every byte sign-extended.
//
// Every kernel gives the same result as the plain one for every input; the
// faster ones only differ in which CPUs can run them.  Call a kernel only if
// runs_here() says so.  Internal: not part of the installed interface.
//
// Where they live: plain, portable and device kernels in
// checksum_portable.cpp, the carry-less-multiply folding (one template) in
// fold.h, instantiated in x86/ and arm/ with each architecture's vector
// operations.  The list of kernels and the run-time choice are in
// checksum_choice.cpp; a device build has neither (device/checksum_choice.cpp).
#ifndef VELKOR_CHECKSUM_KERNELS_H
#define VELKOR_CHECKSUM_KERNELS_H

#include <cstddef>
#include <cstdint>

namespace velkor_kernels {

using crc_fn = uint32_t (*)(uint32_t h, const uint8_t *p, size_t n);
using csum_fn = uint32_t (*)(uint32_t a, const uint8_t *p, size_t n);

// Plain algorithms, one byte (crc) or one bit (csum) at a time: the
// definition the others are checked against.
uint32_t crc_plain(uint32_t h, const uint8_t *p, size_t n);
uint32_t csum_plain(uint32_t a, const uint8_t *p, size_t n);

// Portable: slicing-by-16 tables, for any CPU.
uint32_t crc_slice16(uint32_t h, const uint8_t *p, size_t n);
uint32_t csum_slice16(uint32_t a, const uint8_t *p, size_t n);

// Small kernels for a device, chosen when it is built: a 256-entry table
// per family (crc_plain for the CRC), a 16-entry one, or none (csum_plain
// for velkor_csum).
uint32_t csum_table256(uint32_t a, const uint8_t *p, size_t n);
uint32_t crc_table16(uint32_t h, const uint8_t *p, size_t n);
uint32_t csum_table16(uint32_t a, const uint8_t *p, size_t n);
uint32_t crc_bitwise(uint32_t h, const uint8_t *p, size_t n);

// The kernels the public functions run: bound once at run time on a host
// (checksum_choice.cpp), chosen when building on a device
// (device/checksum_choice.cpp).
uint32_t crc_update(uint32_t h, const uint8_t *p, size_t n);
uint32_t csum_update(uint32_t a, const uint8_t *p, size_t n);

// The term a csum kernel XORs into its register after running a plain
// reflected CRC over sign-corrected bytes (see checksum_portable.cpp) that
// end at `end`; the three bytes before `end` must be readable.
uint32_t csum_tail(const uint8_t *end);

// CPU features the faster kernels need, one bit each.
enum feature : unsigned {
    feat_pclmul = 1u << 0,     // x86: PCLMULQDQ and SSE4.1
    feat_vpclmul512 = 1u << 1, // x86: VPCLMULQDQ and AVX-512 F/BW/VL, enabled by the OS
    feat_pmull = 1u << 2,      // ARM64: PMULL, 64 x 64-bit polynomial multiply
    feat_avx2 = 1u << 3,       // x86: AVX2, enabled by the OS (the scanner's search)
};

// The kernel families, slowest first.
enum class tier { portable, pclmul, vpclmul512, pmull };

constexpr unsigned tier_needs(tier t)
{
    switch (t) {
    case tier::pclmul: return feat_pclmul;
    case tier::vpclmul512: return feat_pclmul | feat_vpclmul512;
    case tier::pmull: return feat_pmull;
    default: return 0;
    }
}

// The features of the CPU this runs on (0 where the build has no faster
// kernels).  Safe at any time, also from an ifunc resolver.
unsigned cpu_features();

// The tier the dispatcher binds for a CPU with these features: the fastest
// one this build contains whose needs are all met.
tier choose_tier(unsigned features);

struct kernel_info {
    const char *name;
    crc_fn crc;
    csum_fn csum;
    tier family;
};

inline bool runs_here(const kernel_info &k)
{
    return (tier_needs(k.family) & ~cpu_features()) == 0;
}

// All kernels in the build, plain first, then portable, then faster ones.
extern const kernel_info all_kernels[];
extern const size_t all_kernel_count;

} // namespace velkor_kernels

#endif
