// SPDX-License-Identifier: MIT
// cipher_model.h - the keyed stream cipher exactly as defined, every "mod"
// written as %, with none of cipher.cpp's fast paths: the model the cipher
// tests and the fuzzer check the library against.  Internal: not installed,
// and not used by the library itself.
#ifndef VELKOR_CIPHER_MODEL_H
#define VELKOR_CIPHER_MODEL_H

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace velkor_model {

struct plain_cipher {
    std::vector<uint8_t> s; // N entries
    uint8_t i = 0, j = 0;   // the generator's indices, truncated to 8 bits

    // Key schedule over a table of n entries; key_len >= 1.
    plain_cipher(const uint8_t *key, size_t key_len, size_t n) : s(n)
    {
        for (size_t k = 0; k < n; k++)
            s[k] = static_cast<uint8_t>(k % 256);
        size_t jj = 0, m = 0;
        for (size_t k = 0; k < n; k++) {
            jj = (jj + s[k] + key[m]) % n;
            std::swap(s[k], s[jj]);
            m = (m + 1) % key_len;
        }
    }

    // dst = src XOR keystream; a table of no entries leaves dst alone.
    void process(const uint8_t *src, uint8_t *dst, size_t len)
    {
        const size_t n = s.size();
        if (n == 0)
            return;
        for (size_t p = 0; p < len; p++) {
            i = static_cast<uint8_t>((i + 1u) % n);
            uint8_t a = s[i];
            j = static_cast<uint8_t>((j + a) % n);
            std::swap(s[i], s[j]);
            size_t t = (size_t(s[i]) + s[j]) % n;
            dst[p] = src[p] ^ s[t];
        }
    }
};

} // namespace velkor_model

#endif
