// SPDX-License-Identifier: MIT
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
#include "cipher_key.h"
#include "container_internal.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

// Offsets of the fixed part; the rest follows from L1 and L2:
//   magic[6] | key_prefix | L1 | label | L2 | sublabel | D | payload | checksum
namespace {

using velkor::get_be32;
using velkor::key_text_len;
using velkor::max_key_text;
using velkor::vcrypt_run_text;
using velkor::put_be32;

constexpr size_t magic_len = 6; // the magic's 5 letters and their NUL
constexpr size_t prefix_at = 6;
constexpr size_t label_len_at = 7;
constexpr size_t label_at = 11;
constexpr size_t fixed_len = 19; // magic, prefix and three lengths
constexpr uint32_t max_label = sizeof(enc_info::label);
constexpr uint32_t max_sublabel = sizeof(enc_info::sublabel);
static_assert(fixed_len + max_label + max_sublabel == ENC_MAX_HEADER_LEN);

bool known_magic(const void *p)
{
    return memcmp(p, "start", magic_len) == 0 || memcmp(p, "asar1", magic_len) == 0;
}

// The payload's cipher: its first key byte is the first enciphered byte of
// the sublabel, its table 256 entries or D.
int key_payload(enc_stream *st, const enc_info *info, uint8_t first_sublabel_byte)
{
    return velkor::vcrypt_init_text(&st->cipher, first_sublabel_byte, info->key,
                                    info->data_sized_state ? st->data_length : 256);
}

void start_stream(enc_stream *st)
{
    // Field by field: on a device the context also holds a table, which
    // needs no clearing.
    st->cipher.i = 0;
    st->cipher.j = 0;
    st->cipher.state = nullptr;
    st->cipher.state_len = 0;
    st->csum = 0;
    st->remaining = 0;
    st->data_length = 0;
    st->label_len = 0;
    st->sublabel_len = 0;
    st->header_len = 0;
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
    // keeps the size a multiple of 4.  A size_t of 32 bits (WebAssembly, a
    // microcontroller) cannot hold a length near 4 GiB with its header:
    // SIZE_MAX then, which no allocation gives, rather than a small
    // wrapped-around size.
    const size_t header = enc_compute_header_len(label, sublabel);
    if (data_length > SIZE_MAX - header - 8)
        return SIZE_MAX;
    return ((header + data_length) & ~static_cast<size_t>(3)) + 8;
}

extern "C" void enc_stream_release(enc_stream *st)
{
    vcrypt_finish(&st->cipher);
}

// ---------------------------------------------------------------------------
// Writing: the header is built whole on the stack, every table it needs
// allocated, before a byte of it reaches the caller.  The texts are
// enciphered on the stream's own context before the payload's cipher is
// keyed there.

extern "C" int enc_write_header(enc_stream *st, const enc_info *info, uint8_t *out)
{
    start_stream(st);
    // Refuse anything that could never be read back or would run the texts
    // past their fields.
    if (!known_magic(info->magic) || memchr(info->label, 0, max_label) == nullptr ||
        memchr(info->sublabel, 0, max_sublabel) == nullptr ||
        key_text_len(info->key) > max_key_text)
        return -1;

    const char *key = info->key;
    const int dss = info->data_sized_state;
    uint8_t h[ENC_MAX_HEADER_LEN];
    memcpy(h, info->magic, magic_len);
    h[prefix_at] = info->key_prefix;

    const auto l1 = static_cast<uint32_t>(strlen(info->label) + 1);
    uint8_t *label = h + label_at;
    put_be32(h + label_len_at, l1);
    memcpy(label, info->label, l1);
    if (vcrypt_run_text(&st->cipher, info->key_prefix, key, label, label, l1, dss) != 0)
        return -1;

    const auto l2 = static_cast<uint32_t>(strlen(info->sublabel) + 1);
    uint8_t *sublabel = label + l1 + 4;
    put_be32(label + l1, l2);
    memcpy(sublabel, info->sublabel, l2);
    if (vcrypt_run_text(&st->cipher, label[0], key, sublabel, sublabel, l2, dss) != 0)
        return -1;
    put_be32(sublabel + l2, info->data_length);

    st->data_length = info->data_length;
    if (key_payload(st, info, sublabel[0]) != 0)
        return -1;
    st->csum = info->data_length;
    st->remaining = info->data_length;
    st->label_len = l1;
    st->sublabel_len = l2;
    st->header_len = fixed_len + l1 + l2;
    memcpy(out, h, st->header_len);
    return 0;
}

extern "C" size_t enc_write_payload(enc_stream *st, const uint8_t *src, uint8_t *dst,
                                    size_t len)
{
    const size_t n = std::min<size_t>(len, st->remaining);
    // The checksum is of the plaintext: take it before src may be overwritten.
    st->csum = velkor_csum(st->csum, src, n);
    vcrypt_process(&st->cipher, src, dst, n);
    st->remaining -= static_cast<uint32_t>(n);
    return n;
}

extern "C" int enc_write_finish(enc_stream *st, uint8_t trailer[4])
{
    enc_stream_release(st);
    if (st->remaining != 0)
        return -1;
    put_be32(trailer, st->csum);
    return 0;
}

extern "C" int encrypt_buf(const enc_info *info, uint8_t *out, uint8_t *data)
{
    enc_stream st;
    if (enc_write_header(&st, info, out) != 0)
        return -1;
    // The caller's checksum is stored as given, so the stream's own is not
    // computed here.
    vcrypt_process(&st.cipher, data, data, info->data_length);
    enc_stream_release(&st);
    put_be32(data + info->data_length, info->checksum);
    return 0;
}

// ---------------------------------------------------------------------------
// Reading

enc_reason velkor::enc_parse_header(enc_stream *st, enc_info *info, const uint8_t *buf,
                                    size_t avail, int64_t total)
{
    start_stream(st);
    // Every count below is at most 19 + 32 + 8, far from overflowing.
    if (avail < magic_len || !known_magic(buf))
        return ENC_NOT_CONTAINER;
    memcpy(info->magic, buf, magic_len);
    if (avail <= prefix_at)
        return ENC_CUT_OFF;
    info->key_prefix = buf[prefix_at];
    if (avail < label_at)
        return ENC_CUT_OFF;

    // A zero length would key the next field with a stale byte of info.
    const uint32_t l1 = get_be32(buf + label_len_at);
    st->label_len = l1;
    if (l1 == 0 || l1 > max_label)
        return ENC_BAD_LABEL_LENGTH;
    if (avail < label_at + l1)
        return ENC_CUT_OFF;
    memcpy(info->label, buf + label_at, l1);
    if (avail < label_at + l1 + 4)
        return ENC_CUT_OFF;

    const size_t sublabel_at = label_at + l1 + 4;
    const uint32_t l2 = get_be32(buf + sublabel_at - 4);
    st->sublabel_len = l2;
    if (l2 == 0 || l2 > max_sublabel)
        return ENC_BAD_SUBLABEL_LENGTH;
    if (avail < sublabel_at + l2)
        return ENC_CUT_OFF;
    memcpy(info->sublabel, buf + sublabel_at, l2);
    const size_t header = fixed_len + l1 + l2;
    if (avail < header)
        return ENC_CUT_OFF;

    const uint32_t d = get_be32(buf + header - 4);
    info->data_length = d;
    st->data_length = d;
    st->header_len = header;
    // The checksum's presence too is checked before anything is deciphered.
    if (total >= 0 && static_cast<uint64_t>(total) < header + uint64_t{d} + 4)
        return ENC_PAST_END;
    return ENC_OK;
}

namespace {

// Whether the label and then the sublabel (keyed by the label's first
// enciphered byte) decipher to bytes that end in NUL: the label first,
// which most wrong keys fail.  Byte by byte into one byte of scratch, on
// the caller's context (on a device it holds the table), so that neither
// a copy of a text nor a second table takes stack.
enc_reason texts_decipher(vcrypt_state *ctx, const enc_info *info, const enc_stream *st,
                          char *label = nullptr, char *sublabel = nullptr)
{
    const uint8_t *text = reinterpret_cast<const uint8_t *>(info->label);
    uint8_t key_byte = info->key_prefix;
    size_t len = st->label_len;
    for (int field = 0; field < 2; field++) {
        if (velkor::vcrypt_init_text(ctx, key_byte, info->key, info->data_sized_state ? len : 256) != 0)
            return ENC_NO_MEMORY;
        char *out = field == 0 ? label : sublabel;
        uint8_t last = 0;
        for (size_t k = 0; k < len; k++) {
            vcrypt_process(ctx, text + k, &last, 1);
            if (out != nullptr)
                out[k] = static_cast<char>(last);
        }
        vcrypt_finish(ctx);
        if (last != 0)
            return ENC_BAD_TEXT;
        key_byte = static_cast<uint8_t>(info->label[0]);
        text = reinterpret_cast<const uint8_t *>(info->sublabel);
        len = st->sublabel_len;
    }
    return ENC_OK;
}

// What enc_read_header does once the layout passed: the key, the texts
// (before the payload's table is keyed, so that a header the key does not
// open costs two small keyings whatever its D), the table's limit, then
// the payload's cipher.  `limit` is SIZE_MAX once the length is known.
// Its own function, with few arguments, so that both entry points reach
// it by a tail call and a device's stack holds one frame less.
enc_reason start_payload(enc_stream *st, enc_info *info, size_t limit)
{
    if (key_text_len(info->key) > max_key_text)
        return ENC_KEY_TOO_LONG;
    const enc_reason texts = texts_decipher(&st->cipher, info, st);
    if (texts != ENC_OK)
        return texts;
    const uint32_t d = st->data_length;
    if (info->data_sized_state && d > limit)
        return ENC_TABLE_TOO_LARGE;
    if (key_payload(st, info, static_cast<uint8_t>(info->sublabel[0])) != 0)
        return ENC_NO_MEMORY;
    st->csum = d;
    st->remaining = d;
    return ENC_OK;
}

} // namespace

enc_reason velkor::enc_texts_decipher(const enc_info *info, const enc_stream *st, char *label,
                                      char *sublabel)
{
    if (key_text_len(info->key) > max_key_text)
        return ENC_KEY_TOO_LONG;
    vcrypt_state ctx;
    return texts_decipher(&ctx, info, st, label, sublabel);
}

extern "C" enc_reason enc_read_header_limited(enc_stream *st, enc_info *info, const uint8_t *buf,
                                              size_t avail, int64_t total, size_t max_table)
{
    const enc_reason why = velkor::enc_parse_header(st, info, buf, avail, total);
    if (why != ENC_OK)
        return why;
    // A length not known yet cannot bound the table: the caller's limit
    // does.
    return start_payload(st, info, total < 0 ? max_table : SIZE_MAX);
}

extern "C" enc_reason enc_read_header(enc_stream *st, enc_info *info, const uint8_t *buf,
                                      size_t avail, int64_t total)
{
    const enc_reason why = velkor::enc_parse_header(st, info, buf, avail, total);
    if (why != ENC_OK)
        return why;
    return start_payload(st, info, total < 0 ? ENC_DEFAULT_MAX_TABLE : SIZE_MAX);
}

extern "C" size_t enc_read_payload(enc_stream *st, const uint8_t *src, uint8_t *dst,
                                   size_t len)
{
    const size_t n = std::min<size_t>(len, st->remaining);
    vcrypt_process(&st->cipher, src, dst, n);
    st->csum = velkor_csum(st->csum, dst, n);
    st->remaining -= static_cast<uint32_t>(n);
    return n;
}

extern "C" enc_reason enc_read_finish(enc_stream *st, enc_info *info, const uint8_t trailer[4])
{
    enc_stream_release(st);
    if (st->remaining != 0)
        return ENC_PAST_END;
    info->checksum = get_be32(trailer);
    if (st->csum != info->checksum)
        return ENC_CHECKSUM_MISMATCH;

    // Sublabel first: its key byte is the label's first byte, still
    // enciphered.  Both on the stream's context, which the payload is done
    // with.
    const uint32_t l1 = st->label_len, l2 = st->sublabel_len;
    const int dss = info->data_sized_state;
    uint8_t *sub = reinterpret_cast<uint8_t *>(info->sublabel);
    uint8_t *lab = reinterpret_cast<uint8_t *>(info->label);
    if (vcrypt_run_text(&st->cipher, lab[0], info->key, sub, sub, l2, dss) != 0)
        return ENC_NO_MEMORY;
    if (vcrypt_run_text(&st->cipher, info->key_prefix, info->key, lab, lab, l1, dss) != 0)
        return ENC_NO_MEMORY;
    // Hand back only texts that end within their fields.
    if (lab[l1 - 1] != 0 || sub[l2 - 1] != 0)
        return ENC_BAD_TEXT;
    return ENC_OK;
}

extern "C" int decrypt_buf(enc_info *info, uint8_t *buf, int64_t len)
{
    // len is signed: a negative count is simply too short.
    const size_t avail = len < 0 ? 0 : static_cast<size_t>(std::min<uint64_t>(len, SIZE_MAX));
    enc_stream st;
    if (enc_read_header(&st, info, buf, avail, len) != ENC_OK)
        return -1;
    // The payload moves down over the header as it is deciphered; the
    // cipher reads each byte before writing the one at the same position.
    // The checksum behind it stays where it is.
    const size_t header = st.header_len, d = st.data_length;
    enc_read_payload(&st, buf + header, buf, d);
    return enc_read_finish(&st, info, buf + header + d) == ENC_OK ? 0 : -1;
}

extern "C" int enc_reason_message(enc_reason why, const enc_stream *st, char *buf, size_t size)
{
    switch (why) {
    case ENC_OK:
        return snprintf(buf, size, "sound container");
    case ENC_NOT_CONTAINER:
        return snprintf(buf, size, "not a container (no start or asar1 magic)");
    case ENC_CUT_OFF:
        return snprintf(buf, size, "damaged container (cut off in the header)");
    case ENC_BAD_LABEL_LENGTH:
        if (st == nullptr)
            return snprintf(buf, size, "damaged container (label length not 1..32)");
        return snprintf(buf, size, "damaged container (label length %lu, not 1..32)",
                        static_cast<unsigned long>(st->label_len));
    case ENC_BAD_SUBLABEL_LENGTH:
        if (st == nullptr)
            return snprintf(buf, size, "damaged container (sublabel length not 1..8)");
        return snprintf(buf, size, "damaged container (sublabel length %lu, not 1..8)",
                        static_cast<unsigned long>(st->sublabel_len));
    case ENC_PAST_END:
        if (st == nullptr)
            return snprintf(buf, size, "damaged container (payload and its checksum run past "
                                       "the end of the file)");
        return snprintf(buf, size, "damaged container (payload of %lu bytes and its checksum "
                                   "run past the end of the file)",
                        static_cast<unsigned long>(st->data_length));
    case ENC_KEY_TOO_LONG:
        return snprintf(buf, size, "key longer than %zu characters", max_key_text);
    case ENC_NO_MEMORY:
        return snprintf(buf, size, "no memory for the cipher table");
    case ENC_CHECKSUM_MISMATCH:
        return snprintf(buf, size, "checksum mismatch (wrong key, wrong table setting or "
                                   "damaged container)");
    case ENC_BAD_TEXT:
        return snprintf(buf, size, "wrong key, wrong table setting or damaged container "
                                   "(label or sublabel does not decipher to a text)");
    case ENC_TABLE_TOO_LARGE:
        if (st == nullptr)
            return snprintf(buf, size, "data-sized payload too large for the table limit while "
                                       "the input's length is unknown");
        return snprintf(buf, size, "data-sized payload of %lu bytes too large for the table "
                                   "limit while the input's length is unknown",
                        static_cast<unsigned long>(st->data_length));
    }
    return snprintf(buf, size, "unknown reason %d", static_cast<int>(why));
}
