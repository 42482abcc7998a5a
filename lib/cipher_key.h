// SPDX-License-Identifier: MIT
// Keying the cipher from a key text, as vcrypt_buf() does, for the
// container's piecewise reader and writer.  Internal: not installed.
#ifndef VELKOR_CIPHER_KEY_H
#define VELKOR_CIPHER_KEY_H

#include "velkor.h"

namespace velkor {

constexpr size_t max_key_text = 254; // the key material is 255 bytes

// The length of the NUL-terminated key, or max_key_text + 1 when it is
// longer than the limit (no byte past that is read).
inline size_t key_text_len(const char *key)
{
    size_t n = 0;
    while (n <= max_key_text && key[n] != '\0')
        n++;
    return n;
}

// vcrypt_init() with the key material key_prefix, then the characters of
// the NUL-terminated key.  Returns -1, leaving ctx untouched, when the key
// is longer than max_key_text or the table cannot be allocated.
int vcrypt_init_text(vcrypt_state *ctx, uint8_t key_prefix, const char *key, size_t state_len);

// vcrypt_buf() on the caller's context: keys it, runs it over len bytes and
// finishes it.  On a device the table of up to 256 entries is the
// context's own, so a container reuses its stream's context for the texts
// rather than a second one on the stack.
int vcrypt_run_text(vcrypt_state *ctx, uint8_t key_prefix, const char *key, const uint8_t *src,
                    uint8_t *dst, size_t len, int data_sized_state);

} // namespace velkor

#endif
