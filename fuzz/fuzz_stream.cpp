// SPDX-License-Identifier: MIT
// The piecewise readers against the one-shot ones, with the input cut into
// pieces as reads from a file or a pipe would cut it.  The same bytes are
// read both as a container and as a tagged file.
//
// Container: enc_read_header() is given what the pieces hold once they
// reach ENC_MAX_HEADER_LEN bytes (or the whole input, if shorter), with
// the input's length either known or not (-1), as velkor gives it for a
// file and for a pipe; then each piece goes through enc_read_payload(),
// deciphered in place or into a separate buffer, until the checksum's 4
// bytes have come; then enc_read_finish().  For both table settings:
//  - the reason equals the one-shot reader's on the whole buffer; with the
//    length unknown, a container that runs past the end is found at the end
//    instead (or the key, or texts the key does not open, are refused
//    first, which the header can tell);
//  - decrypt_buf() accepts exactly when the pieces do;
//  - every payload byte handed on equals the payload deciphered on its own
//    by the public cipher, and, where decrypt_buf() deciphered, its bytes;
//  - every field of the record equals what decrypt_buf() left in its own.
//
// Tagged file: the 20-byte header from the first pieces, then
// velkor_tag_parse(), velkor_tag_check_length() (at once when the length is
// known, at the end otherwise) and velkor_tag_check_crc() with the payload
// fed to velkor_crc_update() a piece at a time.  The reason and every field
// equal those of a check written out on the whole buffer: velkor_crc() over
// the file with its CRC field zeroed, and the length field against the
// size.  An accepted file's header is rebuilt by velkor_tag_build() from
// the same pieces, byte for byte (but for the 8 bytes the reader skips).
//
// Random bytes almost never carry a right checksum or CRC, so two flags
// have the target write them in first, to reach the accepting paths.
//
// Input: flags, key text, piece count and sizes, then the file.
//   flags bit 0: the tagged file gets a sound magic, format, length and CRC;
//   flags bit 1: the container gets the checksum its payload deciphers to;
//   flags bit 2: the payload is deciphered in place, as velkor does.
#include "fuzz_input.h"
#include "velkor.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

uint32_t be32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

void put_be32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// A heap copy of exactly n bytes, so that a read past a piece is caught.
std::unique_ptr<uint8_t[]> copy_of(const uint8_t *p, size_t n)
{
    std::unique_ptr<uint8_t[]> b(new uint8_t[n]);
    if (n != 0)
        memcpy(b.get(), p, n);
    return b;
}

// Hands out a file in pieces of the sizes taken from the input, cycling
// through them; empty pieces included.
class pieces {
public:
    pieces(const bytes &file, const std::vector<size_t> &sizes) : file_(file), sizes_(sizes) {}

    bool more() const { return at_ < file_.size(); }

    std::unique_ptr<uint8_t[]> next(size_t &len)
    {
        len = std::min(sizes_[k_++ % sizes_.size()], file_.size() - at_);
        auto b = copy_of(file_.data() + at_, len);
        at_ += len;
        return b;
    }

private:
    const bytes &file_;
    const std::vector<size_t> &sizes_;
    size_t at_ = 0, k_ = 0;
};

// ---------------------------------------------------------------------------
// Containers

struct container_read {
    enc_reason why;
    enc_info info;
    bytes out;        // the payload bytes handed on
};

enc_info fresh_info(const std::string &key, int ds)
{
    enc_info info;
    // Stale bytes in the record must never reach the result.
    memset(&info, 0xEE, sizeof info);
    info.key = key.c_str();
    info.data_sized_state = ds;
    return info;
}

container_read read_in_pieces(const bytes &file, const std::vector<size_t> &sizes,
                              const std::string &key, int ds, bool total_known, bool in_place)
{
    container_read r{ENC_OK, fresh_info(key, ds), {}};
    pieces in(file, sizes);
    bytes first;
    while (first.size() < ENC_MAX_HEADER_LEN && in.more()) {
        size_t n;
        auto p = in.next(n);
        first.insert(first.end(), p.get(), p.get() + n);
    }
    auto head = copy_of(first.data(), first.size());
    enc_stream st;
    r.why = enc_read_header(&st, &r.info, head.get(), first.size(),
                            total_known ? static_cast<int64_t>(file.size()) : -1);
    if (r.why != ENC_OK) {
        enc_stream_release(&st); // harmless after a refusal
        return r;
    }
    FUZZ_CHECK(st.header_len <= first.size() && st.remaining == st.data_length);

    uint8_t trailer[4];
    size_t have = 0;
    const auto feed = [&](uint8_t *p, size_t n) {
        std::unique_ptr<uint8_t[]> separate;
        uint8_t *dst = p;
        if (!in_place) {
            separate.reset(new uint8_t[n]);
            dst = separate.get();
        }
        const uint32_t before = st.remaining;
        const size_t used = enc_read_payload(&st, p, dst, n);
        FUZZ_CHECK(used == std::min<size_t>(n, before) && st.remaining == before - used);
        r.out.insert(r.out.end(), dst, dst + used);
        for (size_t k = used; k < n && have < sizeof trailer; k++)
            trailer[have++] = p[k];
    };
    feed(head.get() + st.header_len, first.size() - st.header_len);
    while (have < sizeof trailer && in.more()) {
        size_t n;
        auto p = in.next(n);
        feed(p.get(), n);
    }
    if (have < sizeof trailer) {
        // The input ended first: a pipe's reader finds this out here.
        enc_stream_release(&st);
        enc_stream_release(&st);
        r.why = ENC_PAST_END;
        return r;
    }
    r.why = enc_read_finish(&st, &r.info, trailer);
    enc_stream_release(&st); // harmless after finish
    return r;
}

// The one-shot reader's reason on the whole buffer, and the running
// checksum it arrived at.
enc_reason whole_reason(const bytes &file, const std::string &key, int ds, uint32_t &csum,
                        size_t &trailer_at)
{
    enc_info info = fresh_info(key, ds);
    enc_stream st;
    enc_reason why = enc_read_header(&st, &info, file.data(), file.size(),
                                     static_cast<int64_t>(file.size()));
    if (why != ENC_OK)
        return why;
    bytes plain(st.data_length);
    FUZZ_CHECK(enc_read_payload(&st, file.data() + st.header_len, plain.data(), st.data_length) ==
               st.data_length);
    csum = st.csum;
    trailer_at = st.header_len + st.data_length;
    return enc_read_finish(&st, &info, file.data() + trailer_at);
}

// Whether the label and sublabel of a container whose header is whole
// decipher, by the public cipher alone, to bytes ending in NUL.
bool texts_open(const bytes &file, const std::string &key, int ds)
{
    const uint32_t l1 = be32(file.data() + 7), l2 = be32(file.data() + 11 + l1);
    bytes label(file.begin() + 11, file.begin() + 11 + l1);
    bytes sublabel(file.begin() + 15 + l1, file.begin() + 15 + l1 + l2);
    FUZZ_CHECK(vcrypt_buf(file[6], key.c_str(), label.data(), label.data(), l1, ds) == 0);
    FUZZ_CHECK(vcrypt_buf(file[11], key.c_str(), sublabel.data(), sublabel.data(), l2, ds) == 0);
    return label.back() == 0 && sublabel.back() == 0;
}

// The payload's first n bytes deciphered by the public cipher alone: its
// key is the sublabel's first stored byte followed by the key text, its
// table 256 entries or D.
bytes decipher_alone(const bytes &file, size_t header, uint32_t d, const std::string &key,
                     int ds, size_t n)
{
    const uint32_t l1 = be32(file.data() + 7);
    bytes material{file[11 + l1 + 4]};
    material.insert(material.end(), key.begin(), key.end());
    vcrypt_state c;
    FUZZ_CHECK(vcrypt_init(&c, material.data(), static_cast<int>(material.size()),
                           ds ? d : 256) == 0);
    bytes out(n);
    vcrypt_process(&c, file.data() + header, out.data(), n);
    vcrypt_finish(&c);
    return out;
}

bool same_fields(const enc_info &a, const enc_info &b)
{
    return memcmp(a.magic, b.magic, sizeof a.magic) == 0 &&
           memcmp(a.label, b.label, sizeof a.label) == 0 &&
           memcmp(a.sublabel, b.sublabel, sizeof a.sublabel) == 0 &&
           a.key_prefix == b.key_prefix && a.data_length == b.data_length &&
           a.checksum == b.checksum;
}

void check_container(bytes file, const std::vector<size_t> &sizes, const std::string &key, int ds,
                     bool repair, bool in_place)
{
    uint32_t csum = 0;
    size_t trailer_at = 0;
    enc_reason want = whole_reason(file, key, ds, csum, trailer_at);
    if (repair && want == ENC_CHECKSUM_MISMATCH) {
        put_be32(file.data() + trailer_at, csum);
        want = whole_reason(file, key, ds, csum, trailer_at);
        FUZZ_CHECK(want != ENC_CHECKSUM_MISMATCH);
    }

    enc_info ref = fresh_info(key, ds);
    auto whole = copy_of(file.data(), file.size());
    const int rc = decrypt_buf(&ref, whole.get(), static_cast<int64_t>(file.size()));
    FUZZ_CHECK((rc == 0) == (want == ENC_OK));
    // The texts are checked before the payload: a refusal for them leaves
    // the buffer as it was.
    const bool deciphered = rc == 0 || want == ENC_CHECKSUM_MISMATCH;

    for (bool total_known : {true, false}) {
        enc_reason expect = want;
        if (!total_known && want == ENC_PAST_END) {
            // A table as large as a claimed payload that is not there: the
            // programs learn a pipe's length before they allocate one.
            if (ds && ref.data_length > (1u << 16))
                continue;
            expect = strlen(key.c_str()) > 254      ? ENC_KEY_TOO_LONG
                     : !texts_open(file, key, ds) ? ENC_BAD_TEXT
                                                  : ENC_PAST_END;
        }
        const container_read r = read_in_pieces(file, sizes, key, ds, total_known, in_place);
        FUZZ_CHECK(r.why == expect);
        FUZZ_CHECK(same_fields(r.info, ref));
        if (r.why == ENC_NOT_CONTAINER || r.why == ENC_CUT_OFF || r.why == ENC_BAD_LABEL_LENGTH ||
            r.why == ENC_BAD_SUBLABEL_LENGTH || r.why == ENC_KEY_TOO_LONG || r.why == ENC_BAD_TEXT ||
            (r.why == ENC_PAST_END && total_known)) {
            // Refused from the header alone: nothing handed on.
            FUZZ_CHECK(r.out.empty());
            continue;
        }
        const size_t header = 19 + be32(file.data() + 7) + be32(file.data() + 11 + be32(file.data() + 7));
        const uint32_t d = ref.data_length;
        FUZZ_CHECK(file.size() >= header);
        const size_t avail = std::min<size_t>(d, file.size() - header);
        FUZZ_CHECK(r.out.size() == avail);
        FUZZ_CHECK(r.out == decipher_alone(file, header, d, key, ds, avail));
        if (deciphered)
            FUZZ_CHECK(avail == d && std::equal(r.out.begin(), r.out.end(), whole.get()));
    }
}

// ---------------------------------------------------------------------------
// Tagged files

struct tag_read {
    velkor_tag_reason why;
    velkor_tag_info info;
};

velkor_tag_info fresh_tag_info()
{
    velkor_tag_info info;
    memset(&info, 0xEE, sizeof info);
    return info;
}

// The check written out on the whole file.
tag_read tag_whole(const bytes &f)
{
    tag_read r{VELKOR_TAG_OK, fresh_tag_info()};
    if (f.size() < VELKOR_TAG_HEADER_LEN) {
        r.why = VELKOR_TAG_SHORT;
        return r;
    }
    r.info.format = f[11];
    r.info.length = be32(f.data() + 12);
    r.info.stored_crc = be32(f.data() + 16);
    r.info.computed_crc = 0;
    if (memcmp(f.data(), "bgn", 3) != 0)
        r.why = VELKOR_TAG_NO_MAGIC;
    else if (f[11] != 0xB1)
        r.why = VELKOR_TAG_WRONG_FORMAT;
    else if (r.info.length != f.size())
        r.why = VELKOR_TAG_WRONG_LENGTH;
    if (r.why != VELKOR_TAG_OK)
        return r;
    bytes z = f;
    put_be32(z.data() + 16, 0);
    r.info.computed_crc = velkor_crc(z.data(), z.size());
    if (r.info.computed_crc != r.info.stored_crc)
        r.why = VELKOR_TAG_CRC_MISMATCH;
    return r;
}

tag_read tag_in_pieces(const bytes &file, const std::vector<size_t> &sizes, bool total_known,
                       uint8_t rebuilt[VELKOR_TAG_HEADER_LEN])
{
    tag_read r{VELKOR_TAG_OK, fresh_tag_info()};
    pieces in(file, sizes);
    bytes first;
    while (first.size() < VELKOR_TAG_HEADER_LEN && in.more()) {
        size_t n;
        auto p = in.next(n);
        first.insert(first.end(), p.get(), p.get() + n);
    }
    const size_t hn = std::min<size_t>(first.size(), VELKOR_TAG_HEADER_LEN);
    auto head = copy_of(first.data(), hn);
    r.why = velkor_tag_parse(&r.info, head.get(), hn);
    if (r.why != VELKOR_TAG_OK)
        return r;
    if (total_known) {
        r.why = velkor_tag_check_length(&r.info, file.size());
        if (r.why != VELKOR_TAG_OK)
            return r;
    }
    velkor_crc_state crc;
    velkor_crc_init(&crc);
    auto rest = copy_of(first.data() + hn, first.size() - hn);
    velkor_crc_update(&crc, rest.get(), first.size() - hn);
    uint64_t got = first.size() - hn;
    while (in.more()) {
        size_t n;
        auto p = in.next(n);
        velkor_crc_update(&crc, p.get(), n);
        got += n;
    }
    FUZZ_CHECK(crc.length == got);
    r.why = velkor_tag_check_length(&r.info, VELKOR_TAG_HEADER_LEN + got);
    if (r.why != VELKOR_TAG_OK)
        return r;
    r.why = velkor_tag_check_crc(&r.info, head.get(), &crc);
    if (r.why == VELKOR_TAG_OK)
        FUZZ_CHECK(velkor_tag_build(rebuilt, &crc) == 0);
    return r;
}

void check_tagged(bytes file, const std::vector<size_t> &sizes, bool repair)
{
    if (repair && file.size() >= VELKOR_TAG_HEADER_LEN) {
        memcpy(file.data(), "bgn", 3);
        memset(file.data() + 3, 0, 8);
        file[11] = 0xB1;
        put_be32(file.data() + 12, static_cast<uint32_t>(file.size()));
        put_be32(file.data() + 16, 0);
        put_be32(file.data() + 16, velkor_crc(file.data(), file.size()));
    }
    const tag_read want = tag_whole(file);
    for (bool total_known : {true, false}) {
        uint8_t rebuilt[VELKOR_TAG_HEADER_LEN];
        const tag_read r = tag_in_pieces(file, sizes, total_known, rebuilt);
        FUZZ_CHECK(r.why == want.why);
        FUZZ_CHECK(memcmp(&r.info, &want.info, sizeof r.info) == 0);
        // The reader does not look at the 8 bytes the writer zeroes.
        if (r.why == VELKOR_TAG_OK)
            FUZZ_CHECK(memcmp(rebuilt, file.data(), 3) == 0 &&
                       memcmp(rebuilt + 11, file.data() + 11, 9) == 0);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::input in(data, size);
    const uint8_t flags = in.u8();
    const std::string key = in.text(255);
    // Piece sizes: mostly small, up to 4096 bytes.
    std::vector<size_t> sizes(1 + in.u8() % 16);
    size_t sum = 0;
    for (auto &s : sizes) {
        const uint8_t b = in.u8();
        s = b < 0xE0 ? b : size_t{b - 0xDFu} * 128;
        sum += s;
    }
    const bytes file(in.rest(), in.rest() + in.rest_size());
    if (sum == 0)
        sizes.assign(1, std::max<size_t>(file.size(), 1));

    check_tagged(file, sizes, flags & 1);
    for (int ds : {0, 1})
        check_container(file, sizes, key, ds, flags & 2, flags & 4);
    return 0;
}
