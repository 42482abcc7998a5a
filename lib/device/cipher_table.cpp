// SPDX-License-Identifier: MIT
// The cipher's tables on a device.  A table of up to 256 entries (RC4's,
// and every data-sized one of a label, a sublabel or a short payload) is
// the context's own (vcrypt_state.table), so the caller decides where it
// lives and nothing comes from the heap.  Only a data-sized table of more
// than 256 entries is allocated, as large as the data, and owned by the
// caller's context until vcrypt_finish().
#include "cipher_table.h"

#include <cstdlib>

uint8_t *velkor::cipher_table_get(vcrypt_state *ctx, size_t n)
{
    if (n <= sizeof ctx->table)
        return ctx->table;
    return static_cast<uint8_t *>(malloc(n));
}

void velkor::cipher_table_put(vcrypt_state *ctx)
{
    if (ctx->state != ctx->table)
        free(ctx->state);
}
