// checksum_kernels.h - every checksum kernel the library contains, for the
// dispatcher in checksum.cpp and for tests, fuzzers and benchmarks that must
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
// its `supported()` is true.  Internal: not part of the installed interface.
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

// The term a csum kernel XORs into its register after running a plain
// reflected CRC over sign-corrected bytes (see checksum.cpp) that end at
// `end`; the three bytes before `end` must be readable.
uint32_t csum_tail(const uint8_t *end);

#if defined(__x86_64__)
#define VELKOR_HAVE_X86_KERNELS 1
// Carry-less multiply folding, 4 x 128 bits at a time (PCLMULQDQ, SSE4.1).
uint32_t crc_pclmul(uint32_t h, const uint8_t *p, size_t n);
uint32_t csum_pclmul(uint32_t a, const uint8_t *p, size_t n);
// The same with 4 x 512 bits at a time (VPCLMULQDQ, AVX-512 F/BW/VL).
uint32_t crc_vpclmul512(uint32_t h, const uint8_t *p, size_t n);
uint32_t csum_vpclmul512(uint32_t a, const uint8_t *p, size_t n);

// CPU feature tests for the two tiers; safe to call at any time, including
// from an ifunc resolver before constructors have run.
bool cpu_has_pclmul();
bool cpu_has_vpclmul512();
#endif

struct kernel_info {
    const char *name;
    crc_fn crc;
    csum_fn csum;
    bool (*supported)();
};

// All kernels in the build, plain first, then portable, then faster ones.
extern const kernel_info all_kernels[];
extern const size_t all_kernel_count;

} // namespace velkor_kernels

#endif
