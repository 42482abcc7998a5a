// The encrypted container: a magic, a plain key byte, then a label, a
// sublabel and a payload, each enciphered and preceded by its BE32 length,
// and a BE32 checksum of the plaintext payload.
//
// The three fields form a key chain: each field's first key byte is the
// first enciphered byte of the field before it (the label starts from
// key_prefix).  Reading therefore goes backwards, payload first, while the
// fields it is keyed by are still enciphered.
#include "velkor.h"
#include "be32.h"

#include <cstring>

namespace {

using velkor::get_be32;
using velkor::put_be32;

constexpr size_t magic_len = 6; // the magic's 5 letters and their NUL
constexpr size_t max_key_text = 254;
constexpr uint32_t max_label = sizeof(enc_info::label);
constexpr uint32_t max_sublabel = sizeof(enc_info::sublabel);

bool known_magic(const void *p)
{
    return memcmp(p, "start", magic_len) == 0 || memcmp(p, "asar1", magic_len) == 0;
}

} // namespace

extern "C" size_t enc_compute_header_len(const char *label, const char *sublabel)
{
    return strlen(label) + strlen(sublabel) + 21;
}

extern "C" size_t enc_compute_buf_len(const char *label, const char *sublabel,
                                      size_t data_length)
{
    // Rounding down and adding 8 leaves room for the 4-byte checksum and
    // keeps the size a multiple of 4.
    return ((enc_compute_header_len(label, sublabel) + data_length) & ~static_cast<size_t>(3)) + 8;
}

extern "C" int encrypt_buf(const enc_info *info, uint8_t *out, uint8_t *data)
{
    // Refuse, before touching out, anything that could never be read back or
    // would run the texts past their fields.
    if (!known_magic(info->magic) || memchr(info->label, 0, max_label) == nullptr ||
        memchr(info->sublabel, 0, max_sublabel) == nullptr ||
        strnlen(info->key, max_key_text + 1) > max_key_text)
        return -1;

    const char *key = info->key;
    const int dss = info->data_sized_state;

    memcpy(out, info->magic, magic_len);
    out[6] = info->key_prefix;

    const size_t l1 = strlen(info->label) + 1;
    uint8_t *label = out + 11;
    put_be32(out + 7, static_cast<uint32_t>(l1));
    memcpy(label, info->label, l1);
    if (vcrypt_buf(info->key_prefix, key, label, label, l1, dss) != 0)
        return -1;

    const size_t l2 = strlen(info->sublabel) + 1;
    uint8_t *sublabel = label + l1 + 4;
    put_be32(label + l1, static_cast<uint32_t>(l2));
    memcpy(sublabel, info->sublabel, l2);
    if (vcrypt_buf(label[0], key, sublabel, sublabel, l2, dss) != 0)
        return -1;

    put_be32(sublabel + l2, info->data_length);
    if (vcrypt_buf(sublabel[0], key, data, data, info->data_length, dss) != 0)
        return -1;
    put_be32(data + info->data_length, info->checksum);
    return 0;
}

extern "C" int decrypt_buf(enc_info *info, uint8_t *buf, int64_t len)
{
    // len is signed: a negative count is simply too short.  r counts the
    // bytes not yet consumed and never goes below 0, and every length read
    // from the buffer is at most 2^32 - 1, so no step below can overflow.
    if (len < static_cast<int64_t>(magic_len) || !known_magic(buf))
        return -1;
    memcpy(info->magic, buf, magic_len);
    if (len < 7)
        return -1;
    info->key_prefix = buf[6];
    if (len < 11)
        return -1;

    // A zero length would key the next field with a stale byte of info.
    const uint32_t l1 = get_be32(buf + 7);
    if (l1 == 0 || l1 > max_label)
        return -1;
    int64_t r = len - 11;
    if (r < l1)
        return -1;
    memcpy(info->label, buf + 11, l1);

    r -= l1;
    if (r < 4)
        return -1;
    const uint32_t l2 = get_be32(buf + 11 + l1);
    if (l2 == 0 || l2 > max_sublabel)
        return -1;
    r -= 4;
    if (r < l2)
        return -1;
    memcpy(info->sublabel, buf + 15 + l1, l2);

    r -= l2;
    if (r < 4)
        return -1;
    const size_t header = 19 + static_cast<size_t>(l1) + l2;
    const uint32_t d = get_be32(buf + header - 4);
    r -= 4;
    info->data_length = d;
    if (r < d)
        return -1;

    // The payload moves down over the header as it is deciphered; the
    // cipher reads each byte before writing the one at the same position.
    if (vcrypt_buf(static_cast<uint8_t>(info->sublabel[0]), info->key, buf + header, buf, d,
                   info->data_sized_state) != 0)
        return -1;
    r -= d;
    if (r < 4)
        return -1;
    info->checksum = get_be32(buf + header + d);
    if (velkor_csum(d, buf, d) != info->checksum)
        return -1;

    // Sublabel first: its key byte is the label's first byte, still enciphered.
    uint8_t *sub = reinterpret_cast<uint8_t *>(info->sublabel);
    uint8_t *lab = reinterpret_cast<uint8_t *>(info->label);
    if (vcrypt_buf(lab[0], info->key, sub, sub, l2, info->data_sized_state) != 0)
        return -1;
    if (vcrypt_buf(info->key_prefix, info->key, lab, lab, l1, info->data_sized_state) != 0)
        return -1;
    // Hand back only texts that end within their fields.
    if (lab[l1 - 1] != 0 || sub[l2 - 1] != 0)
        return -1;
    return 0;
}
