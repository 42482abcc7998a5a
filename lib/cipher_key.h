// Keying the cipher from a key text, as vcrypt_buf() does, for the
// container's piecewise reader and writer.  Internal: not installed.
#ifndef VELKOR_CIPHER_KEY_H
#define VELKOR_CIPHER_KEY_H

#include "velkor.h"

namespace velkor {

constexpr size_t max_key_text = 254; // the key material is 255 bytes

// vcrypt_init() with the key material key_prefix, then the characters of
// the NUL-terminated key.  Returns -1, leaving ctx untouched, when the key
// is longer than max_key_text or the table cannot be allocated.
int vcrypt_init_text(vcrypt_state *ctx, uint8_t key_prefix, const char *key, size_t state_len);

} // namespace velkor

#endif
