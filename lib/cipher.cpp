// The keyed RC4-type stream cipher.  The table has N entries: 256 gives
// RC4 itself; a data-sized table gives the variant stored containers use.
#include "velkor.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t max_key_text = 254;

} // namespace

extern "C" int vcrypt_init(vcrypt_state *ctx, const uint8_t *key, int key_len, size_t state_len)
{
    if (key_len < 1)
        return -1;
    // A table of no entries needs no memory, and is not a failed allocation.
    uint8_t *s = nullptr;
    if (state_len > 0 && (s = static_cast<uint8_t *>(malloc(state_len))) == nullptr)
        return -1;
    ctx->i = 0;
    ctx->j = 0;
    ctx->state = s;
    ctx->state_len = state_len;
    if (state_len == 0)
        return 0;

    const size_t n = state_len;
    const size_t klen = static_cast<size_t>(key_len);
    for (size_t k = 0; k < n; k++)
        s[k] = static_cast<uint8_t>(k);
    size_t j = 0, m = 0;
    for (size_t k = 0; k < n; k++) {
        j = (j + s[k] + key[m]) % n;
        uint8_t t = s[k];
        s[k] = s[j];
        s[j] = t;
        m = (m + 1) % klen;
    }
    return 0;
}

extern "C" uint32_t vcrypt_process(vcrypt_state *ctx, const uint8_t *src, uint8_t *dst,
                                   size_t len)
{
    const size_t n = ctx->state_len;
    if (n == 0)
        return 0;
    uint8_t *s = ctx->state;
    uint8_t i = static_cast<uint8_t>(ctx->i);
    uint8_t j = static_cast<uint8_t>(ctx->j);
    for (size_t p = 0; p < len; p++) {
        i = static_cast<uint8_t>((i + 1u) % n);
        uint8_t a = s[i];
        j = static_cast<uint8_t>((j + a) % n);
        s[i] = s[j];
        s[j] = a;
        size_t t = (static_cast<size_t>(s[i]) + s[j]) % n;
        dst[p] = src[p] ^ s[t];
    }
    ctx->i = i;
    ctx->j = j;
    return static_cast<uint32_t>(len);
}

extern "C" void vcrypt_finish(vcrypt_state *ctx)
{
    free(ctx->state);
    ctx->state = nullptr;
    ctx->state_len = 0;
}

extern "C" int vcrypt_buf(uint8_t key_prefix, const char *key, const uint8_t *src, uint8_t *dst,
                          size_t len, int data_sized_state)
{
    const size_t text_len = strnlen(key, max_key_text + 1);
    if (text_len > max_key_text)
        return -1;
    uint8_t material[max_key_text + 1];
    material[0] = key_prefix;
    memcpy(material + 1, key, text_len);

    vcrypt_state ctx;
    if (vcrypt_init(&ctx, material, static_cast<int>(text_len + 1),
                    data_sized_state ? len : 256) != 0)
        return -1;
    vcrypt_process(&ctx, src, dst, len);
    vcrypt_finish(&ctx);
    return 0;
}
