// SPDX-License-Identifier: MIT
// The container reader on arbitrary bytes, with the key text and
// data_sized_state taken from the input.  Any out-of-bounds access is a
// sanitizer finding.  Whenever decrypt_buf() accepts:
//  - the checksum over the returned payload matches the one it returned;
//  - label and sublabel are NUL-terminated within their stored lengths;
//  - magic and key_prefix are the container's own;
//  - when neither text holds a NUL before its last byte, encrypt_buf() on
//    the returned fields writes the container's bytes again, up to and
//    including the checksum.  (An earlier NUL shortens the text the writer
//    stores, so such containers are checked only for the rest.)
// The piecewise reader, given the header bytes and then the rest in pieces
// of a size taken from the flags, accepts and refuses the same containers,
// leaves decrypt_buf's buffer alone when it refuses before the checksum
// (texts that do not decipher included: they are checked first), and
// gives the same payload and fields.
//
// Input: flags, key text, then the container.
#include "fuzz_input.h"
#include "velkor.h"

#include <algorithm>
#include <memory>

namespace {

uint32_t be32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::input in(data, size);
    const uint8_t flags = in.u8();
    const std::string key = in.text(255);
    const uint8_t *orig = in.rest();
    const size_t len = in.rest_size();

    // Exactly len bytes on the heap, so any access past them is caught.
    std::unique_ptr<uint8_t[]> buf(new uint8_t[len]);
    std::copy(orig, orig + len, buf.get());

    enc_info info;
    // Stale bytes in the record must never reach the result.
    memset(&info, 0xEE, sizeof info);
    info.key = key.c_str();
    info.data_sized_state = flags & 1;
    enc_info pinfo = info;

    // The piecewise reader first, on the original bytes.
    std::unique_ptr<uint8_t[]> plain(new uint8_t[len]);
    enc_stream st;
    enc_reason why = enc_read_header(&st, &pinfo, orig, std::min<size_t>(len, ENC_MAX_HEADER_LEN),
                                     static_cast<int64_t>(len));
    if (why == ENC_OK) {
        const size_t piece = 1 + (flags >> 1);
        size_t at = st.header_len, got = 0;
        while (st.remaining > 0) {
            const size_t n = enc_read_payload(&st, orig + at, plain.get() + got,
                                              std::min(piece, len - at));
            at += n;
            got += n;
        }
        why = enc_read_finish(&st, &pinfo, orig + at);
    }

    const int rc = decrypt_buf(&info, buf.get(), static_cast<int64_t>(len));
    FUZZ_CHECK((rc == 0) == (why == ENC_OK));
    if (why != ENC_OK && why != ENC_CHECKSUM_MISMATCH && why != ENC_NO_MEMORY)
        FUZZ_CHECK(std::equal(orig, orig + len, buf.get()));
    if (rc != 0)
        return 0;
    FUZZ_CHECK(std::equal(plain.get(), plain.get() + info.data_length, buf.get()));
    FUZZ_CHECK(memcmp(&pinfo.magic, &info.magic, sizeof info.magic) == 0 &&
               memcmp(&pinfo.label, &info.label, sizeof info.label) == 0 &&
               memcmp(&pinfo.sublabel, &info.sublabel, sizeof info.sublabel) == 0 &&
               pinfo.key_prefix == info.key_prefix && pinfo.data_length == info.data_length &&
               pinfo.checksum == info.checksum);

    // Accepted: the container held all of its fields.
    FUZZ_CHECK(len >= 25);
    const uint32_t l1 = be32(orig + 7);
    FUZZ_CHECK(l1 >= 1 && l1 <= 32 && len >= 11 + l1 + 4);
    const uint32_t l2 = be32(orig + 11 + l1);
    FUZZ_CHECK(l2 >= 1 && l2 <= 8 && len >= 15 + l1 + l2 + 4);
    const size_t header = 19 + l1 + l2;
    const uint32_t d = info.data_length;
    FUZZ_CHECK(d == be32(orig + header - 4) && len >= header + d + 4);
    FUZZ_CHECK(info.checksum == be32(orig + header + d));
    FUZZ_CHECK(velkor_csum(d, buf.get(), d) == info.checksum);
    FUZZ_CHECK(memcmp(info.magic, orig, 6) == 0);
    FUZZ_CHECK(info.key_prefix == orig[6]);
    FUZZ_CHECK(info.label[l1 - 1] == '\0' && info.sublabel[l2 - 1] == '\0');

    if (strlen(info.label) + 1 != l1 || strlen(info.sublabel) + 1 != l2)
        return 0;

    // Write it again from the returned fields: the same bytes must come out.
    const size_t out_len = enc_compute_buf_len(info.label, info.sublabel, d);
    FUZZ_CHECK(enc_compute_header_len(info.label, info.sublabel) == header);
    FUZZ_CHECK(out_len > header + d + 4 && out_len <= header + d + 8 && out_len % 4 == 0);
    std::unique_ptr<uint8_t[]> out(new uint8_t[out_len]);
    std::copy(buf.get(), buf.get() + d, out.get() + header);
    FUZZ_CHECK(encrypt_buf(&info, out.get(), out.get() + header) == 0);
    FUZZ_CHECK(std::equal(out.get(), out.get() + header + d + 4, orig));
    return 0;
}
