// SPDX-License-Identifier: MIT
// Where a cipher context's table comes from, and what the generator may
// assume about its stack.  The host's answers are in cipher_table.cpp (the
// heap), a device's in device/cipher_table.cpp (the context's own table for
// up to 256 entries, the heap only for a data-sized one beyond that).
// Internal: not installed.
#ifndef VELKOR_CIPHER_TABLE_H
#define VELKOR_CIPHER_TABLE_H

#include "velkor.h"

namespace velkor {

// A table of n > 0 entries for ctx, or nullptr when there is no memory for
// it.  Leaves ctx as it was.
uint8_t *cipher_table_get(vcrypt_state *ctx, size_t n);

// Releases ctx->state, a table from cipher_table_get() or nullptr.
void cipher_table_put(vcrypt_state *ctx);

// The generator's fast paths: long runs on a widened copy of the table
// (2 KiB of stack), eight steps at a time.  They pay on a host's
// speculating cores; a device has neither the stack nor the flash for
// them, and runs single steps on the byte table.
#if defined(VELKOR_DEVICE)
inline constexpr bool cipher_fast_paths = false;
#else
inline constexpr bool cipher_fast_paths = true;
#endif

} // namespace velkor

#endif
