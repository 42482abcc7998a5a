// SPDX-License-Identifier: MIT
#include "known_answers.h"
#include "testutil.h"
#include "velkor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <string>

#if !defined(_WIN32)
#include <sys/resource.h>
#endif

using testutil::bytes;

namespace {

bytes be32(uint32_t v)
{
    return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

uint32_t get_be32(const bytes &b, size_t at)
{
    return static_cast<uint32_t>(b[at]) << 24 | static_cast<uint32_t>(b[at + 1]) << 16 |
           static_cast<uint32_t>(b[at + 2]) << 8 | b[at + 3];
}

bytes cipher(uint8_t prefix, const char *key, bytes data, int dss)
{
    EXPECT_EQ(vcrypt_buf(prefix, key, data.data(), data.data(), data.size(), dss), 0);
    return data;
}

void append(bytes &to, const bytes &more) { to.insert(to.end(), more.begin(), more.end()); }

uint32_t csum_of(const bytes &payload)
{
    return velkor_csum(static_cast<uint32_t>(payload.size()), payload.data(), payload.size());
}

enc_info make_info(const char *magic, const char *key, const std::string &label,
                   const std::string &sublabel, uint8_t prefix, int dss, const bytes &payload)
{
    enc_info in;
    memset(&in, 0, sizeof in);
    in.key = key;
    memcpy(in.magic, magic, sizeof in.magic);
    memcpy(in.label, label.c_str(), label.size() + 1);
    memcpy(in.sublabel, sublabel.c_str(), sublabel.size() + 1);
    in.key_prefix = prefix;
    in.data_sized_state = dss;
    in.data_length = static_cast<uint32_t>(payload.size());
    in.checksum = csum_of(payload);
    return in;
}

// Writes a contiguous container with encrypt_buf and returns exactly its
// header + payload + checksum bytes.
bytes seal(const enc_info &in, const bytes &payload)
{
    const size_t header = enc_compute_header_len(in.label, in.sublabel);
    bytes buf(enc_compute_buf_len(in.label, in.sublabel, payload.size()));
    std::copy(payload.begin(), payload.end(), buf.begin() + static_cast<ptrdiff_t>(header));
    EXPECT_EQ(encrypt_buf(&in, buf.data(), buf.data() + header), 0);
    buf.resize(header + payload.size() + 4);
    return buf;
}

// Assembles a container ("start" magic) from raw field contents: the test's
// own transcription of the layout and key chain, which can also build what
// encrypt_buf refuses to (odd lengths, texts without NUL).  An empty field
// has no first byte to pass on; `stale` is then the key byte used instead.
bytes assemble(uint8_t prefix, const char *key, int dss, const bytes &label, const bytes &sublabel,
               const bytes &payload, uint8_t stale = 0)
{
    bytes c = testutil::to_bytes(std::string("start", 6));
    c.push_back(prefix);
    const bytes el = cipher(prefix, key, label, dss);
    const bytes es = cipher(el.empty() ? stale : el[0], key, sublabel, dss);
    append(c, be32(static_cast<uint32_t>(el.size())));
    append(c, el);
    append(c, be32(static_cast<uint32_t>(es.size())));
    append(c, es);
    append(c, be32(static_cast<uint32_t>(payload.size())));
    append(c, cipher(es.empty() ? stale : es[0], key, payload, dss));
    append(c, be32(csum_of(payload)));
    return c;
}

bytes text(const std::string &s, bool nul = true)
{
    bytes b = testutil::to_bytes(s);
    if (nul)
        b.push_back(0);
    return b;
}

// Runs decrypt_buf over the first `len` bytes of a copy of `c`, held in a
// buffer of exactly that size so that any read past `len` trips ASan.
// `out` starts filled with a marker so that stale fields show.
int read_back(const bytes &c, int64_t len, const char *key, int dss, enc_info &out, bytes *plain = nullptr)
{
    bytes buf(c.begin(), c.begin() + std::max<int64_t>(0, std::min<int64_t>(len, static_cast<int64_t>(c.size()))));
    out.key = key;
    out.data_sized_state = dss;
    const int rc = decrypt_buf(&out, buf.data(), len);
    if (plain)
        *plain = buf;
    return rc;
}

enc_info blank_info()
{
    enc_info out;
    memset(&out, 0xEE, sizeof out);
    return out;
}

std::string bytes_of(const char *p, size_t n) { return std::string(p, n); }

// --- sizes -----------------------------------------------------------------

TEST(ContainerSize, HeaderAndBufferLengths)
{
    EXPECT_EQ(enc_compute_header_len("", ""), 21u);
    EXPECT_EQ(enc_compute_header_len("a", "b"), 23u);
    EXPECT_EQ(enc_compute_header_len(std::string(31, 'l').c_str(), "1234567"), 59u);

    // Header 21 (empty texts): header + data of 100..104.
    struct { size_t data, want; } cases[] = {{79, 108}, {80, 108}, {81, 108}, {82, 108}, {83, 112}};
    for (const auto &c : cases)
        EXPECT_EQ(enc_compute_buf_len("", "", c.data), c.want) << "data " << c.data;
    EXPECT_EQ(enc_compute_buf_len("a", "b", 0), 28u);
    EXPECT_EQ(enc_compute_buf_len("abc", "de", 75), 108u); // header 26 + 75 = 101

    // Always the smallest multiple of 4 above header + data + checksum.
    for (size_t d = 0; d < 64; d++) {
        const size_t total = 23 + d + 4, got = enc_compute_buf_len("a", "b", d);
        EXPECT_EQ(got % 4, 0u);
        EXPECT_GT(got, total);
        EXPECT_LE(got, total + 4);
    }

    // Lengths near 4 GiB, exact where size_t holds them and SIZE_MAX where
    // it does not (the device images run the same table on 32 bits), and
    // lengths near SIZE_MAX, which no size_t holds with a header.
    for (const auto &c : known_answers::buf_lens_near_4g)
        EXPECT_EQ(enc_compute_buf_len("l", "s", c.data), known_answers::fitted(c.buf_len)) << c.data;
    for (size_t less : {0, 1, 8, 30})
        EXPECT_EQ(enc_compute_buf_len("l", "s", SIZE_MAX - less), SIZE_MAX) << less;
    EXPECT_EQ(enc_compute_buf_len("l", "s", SIZE_MAX - 31), SIZE_MAX - 3); // 23 + D = SIZE_MAX - 8
}

// --- round trips -------------------------------------------------------------

struct round_trip_case {
    const char *magic;
    int dss;
    std::string key, label, sublabel;
    size_t payload;
};

TEST(Container, RoundTrips)
{
    const std::string long_key(254, 'k');
    const round_trip_case cases[] = {
        {"start", 0, "secret", "label", "sub", 100},
        {"asar1", 0, "secret", "label", "sub", 100},
        {"start", 1, "secret", "label", "sub", 100},
        {"asar1", 1, "secret", "label", "sub", 100},
        {"start", 0, "", "", "", 0},
        {"asar1", 1, "", "", "", 0},
        {"start", 0, "k", std::string(31, 'L'), "1234567", 1},
        {"asar1", 1, "k", std::string(31, 'L'), "1234567", 2},
        {"start", 0, "key", "x", "y", 256},
        {"start", 1, "key", "x", "y", 256},
        {"asar1", 0, long_key, "big", "payload", 1u << 20},
        {"asar1", 1, long_key, "big", "payload", (1u << 20) + 3},
    };
    uint32_t seed = 1;
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.magic) + " dss " + std::to_string(c.dss) + " label '" +
                     c.label + "' payload " + std::to_string(c.payload));
        const bytes payload = testutil::random_bytes(c.payload, seed++);
        const enc_info in = make_info(c.magic, c.key.c_str(), c.label, c.sublabel, 0x5C, c.dss, payload);
        const bytes sealed = seal(in, payload);

        // The layout: plain magic and prefix, BE32 lengths, checksum last.
        const size_t l1 = c.label.size() + 1, l2 = c.sublabel.size() + 1;
        ASSERT_EQ(sealed.size(), 19 + l1 + l2 + c.payload + 4);
        EXPECT_EQ(bytes_of(reinterpret_cast<const char *>(sealed.data()), 6), std::string(c.magic, 6));
        EXPECT_EQ(sealed[6], 0x5C);
        EXPECT_EQ(get_be32(sealed, 7), l1);
        EXPECT_EQ(get_be32(sealed, 11 + l1), l2);
        EXPECT_EQ(get_be32(sealed, 15 + l1 + l2), c.payload);
        EXPECT_EQ(get_be32(sealed, sealed.size() - 4), in.checksum);
        // ... and the key chain, as transcribed independently.
        bytes expect = assemble(0x5C, c.key.c_str(), c.dss, text(c.label), text(c.sublabel), payload);
        memcpy(expect.data(), c.magic, 6);
        EXPECT_TRUE(sealed == expect);

        enc_info out = blank_info();
        bytes plain;
        ASSERT_EQ(read_back(sealed, static_cast<int64_t>(sealed.size()), c.key.c_str(), c.dss, out, &plain), 0);
        EXPECT_EQ(bytes_of(out.magic, 6), std::string(c.magic, 6));
        EXPECT_EQ(out.key_prefix, 0x5C);
        EXPECT_EQ(std::string(out.label), c.label);
        EXPECT_EQ(std::string(out.sublabel), c.sublabel);
        EXPECT_EQ(out.data_length, c.payload);
        EXPECT_EQ(out.checksum, in.checksum);
        EXPECT_TRUE(std::equal(payload.begin(), payload.end(), plain.begin()));
    }
}

// magic "asar1", key_prefix 0x09, label "a", sublabel "b", no payload:
// 61 73 61 72 31 00 09 | 00 00 00 02 e e | 00 00 00 02 e e | 00 00 00 00 | 00 00 00 00
TEST(Container, SmallestExampleLayout)
{
    const char *key = "key";
    const enc_info in = make_info("asar1", key, "a", "b", 0x09, 0, {});
    EXPECT_EQ(in.checksum, 0u);
    EXPECT_EQ(enc_compute_header_len("a", "b"), 23u);
    EXPECT_EQ(enc_compute_buf_len("a", "b", 0), 28u);
    bytes buf(28, 0xCC);
    ASSERT_EQ(encrypt_buf(&in, buf.data(), buf.data() + 23), 0);

    const bytes label = cipher(0x09, key, {'a', 0}, 0);
    const bytes sub = cipher(label[0], key, {'b', 0}, 0);
    const bytes want = {0x61, 0x73, 0x61, 0x72, 0x31, 0x00, 0x09, 0x00, 0x00, 0x00,
                        0x02, label[0], label[1], 0x00, 0x00, 0x00, 0x02, sub[0], sub[1],
                        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xCC};
    EXPECT_TRUE(buf == want);

    enc_info out = blank_info();
    ASSERT_EQ(read_back(buf, 27, key, 0, out), 0);
    EXPECT_STREQ(out.magic, "asar1");
    EXPECT_STREQ(out.label, "a");
    EXPECT_STREQ(out.sublabel, "b");
    EXPECT_EQ(out.key_prefix, 0x09);
    EXPECT_EQ(out.data_length, 0u);
    EXPECT_EQ(out.checksum, 0u);
}

// A container fixed once from outside this library, so that a change of
// format shows even where writer and reader would still agree.  Made with a
// few lines of python3: RC4 from the `cryptography` package (16-byte key
// material: the prefix, then the 15-character key text) over each field
// with the chained prefixes, and the checksum as a bitwise reflected CRC
// step over sign-extended bytes.  Magic "start", key_prefix 0xA5, key
// "velkor-test-key", label "known answer", sublabel "kat-01", payload bytes
// (37 i + 11) mod 256 for i = 0..39, 256-entry tables.
TEST(Container, KnownAnswer)
{
    const bytes known = {
        0x73, 0x74, 0x61, 0x72, 0x74, 0x00, 0xa5, 0x00, 0x00, 0x00, 0x0d, 0x0f,
        0x73, 0x35, 0xec, 0x24, 0xb9, 0xe0, 0xd6, 0xd9, 0x66, 0xe3, 0x5a, 0x6a,
        0x00, 0x00, 0x00, 0x07, 0xcf, 0x89, 0x1e, 0x63, 0xbd, 0x14, 0x88, 0x00,
        0x00, 0x00, 0x28, 0xec, 0x2f, 0xe9, 0xc8, 0x44, 0x45, 0x67, 0x11, 0xad,
        0x6b, 0xdc, 0x3e, 0x45, 0xe9, 0x8d, 0xc3, 0x1f, 0x55, 0xdb, 0x42, 0xb4,
        0xd4, 0x42, 0xe6, 0xc6, 0x26, 0x71, 0xcc, 0xc7, 0x84, 0xa0, 0xab, 0x64,
        0xcd, 0x36, 0x56, 0x6a, 0x13, 0xfa, 0x76, 0x4e, 0xf2, 0xdc, 0x31,
    };
    bytes payload(40);
    for (size_t i = 0; i < payload.size(); i++)
        payload[i] = static_cast<uint8_t>(i * 37 + 11);
    const char *key = "velkor-test-key";

    const enc_info in = make_info("start", key, "known answer", "kat-01", 0xA5, 0, payload);
    EXPECT_EQ(in.checksum, 0x4ef2dc31u);
    EXPECT_TRUE(seal(in, payload) == known);

    enc_info out = blank_info();
    bytes plain;
    ASSERT_EQ(read_back(known, static_cast<int64_t>(known.size()), key, 0, out, &plain), 0);
    EXPECT_STREQ(out.label, "known answer");
    EXPECT_STREQ(out.sublabel, "kat-01");
    EXPECT_EQ(out.key_prefix, 0xA5);
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), plain.begin()));
}

// --- the reader's checks -----------------------------------------------------

TEST(Container, ExtraBytesAfterChecksumAreIgnored)
{
    const bytes payload = testutil::random_bytes(33, 9);
    bytes c = seal(make_info("start", "k", "l", "s", 1, 0, payload), payload);
    append(c, {1, 2, 3, 4, 5, 6, 7});
    enc_info out = blank_info();
    bytes plain;
    ASSERT_EQ(read_back(c, static_cast<int64_t>(c.size()), "k", 0, out, &plain), 0);
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), plain.begin()));
}

struct reject_case {
    const char *what;
    bytes container;
    int64_t len;
    const char *key = "k";
    int dss = 0;
    uint8_t stale = 0; // what info's label/sublabel held before the call
};

TEST(Container, ReaderRejects)
{
    const bytes payload = testutil::random_bytes(50, 3);
    const bytes good = seal(make_info("start", "k", "label", "sub", 0x42, 0, payload), payload);
    const bytes empty = seal(make_info("asar1", "k", "label", "sub", 0x42, 0, {}), {});
    const auto n = [](const bytes &b) { return static_cast<int64_t>(b.size()); };
    const auto with = [](bytes b, size_t at, const bytes &v) {
        std::copy(v.begin(), v.end(), b.begin() + static_cast<ptrdiff_t>(at));
        return b;
    };
    const auto flip = [](bytes b, size_t at) {
        b[at] ^= 1;
        return b;
    };
    const int64_t all = std::numeric_limits<int64_t>::max(); // the whole container
    const size_t d_at = 11 + 6 + 4 + 4; // D field of `good`
    const bytes l32 = text(std::string(32, 'L')), s8 = text("12345678");
    const bytes no_label = assemble(0x42, "k", 0, {}, text("sub"), payload, 0x77);
    const bytes no_sub = assemble(0x42, "k", 0, text("label"), {}, payload, 0x77);

    std::vector<reject_case> cases = {
        {"one byte short", good, n(good) - 1},
        {"one byte short, empty payload", empty, n(empty) - 1},
        {"negative length", good, -1},
        {"most negative length", good, std::numeric_limits<int64_t>::min()},
        {"nothing", good, 0},
        {"magic alone", good, 6},
        {"cut inside the label length", good, 10},
        {"cut inside the label", good, 14},
        {"cut inside the sublabel length", good, 19},
        {"cut inside the sublabel", good, 22},
        {"cut inside the payload length", good, 26},
        {"cut before the checksum", good, n(good) - 4},
        {"start then non-NUL", with(good, 5, {'x'}), n(good)},
        {"asar1 then non-NUL", with(empty, 5, {'x'}), n(empty)},
        {"unknown magic", with(good, 0, text("asar2")), n(good)},
        {"label length 33", assemble(0x42, "k", 0, l32, text("sub"), payload), all},
        {"sublabel length 9", assemble(0x42, "k", 0, text("label"), s8, payload), all},
        {"label length runs past the end", with(good, 7, be32(32)), 11 + 31},
        {"payload length runs past the end", with(good, d_at, be32(0xFFFFFFFF)), n(good)},
        {"payload runs into the checksum", with(good, d_at, be32(51)), n(good)},
        {"wrong key", good, n(good), "K"},
        {"wrong table size", good, n(good), "k", 1},
        {"damaged payload", flip(good, d_at + 4 + 7), all},
        {"damaged checksum", flip(good, good.size() - 1), all},
        {"label length 0", no_label, n(no_label), "k", 0, 0x77},
        {"sublabel length 0", no_sub, n(no_sub), "k", 0, 0x77},
        {"label without NUL", assemble(0x42, "k", 0, text("abc", false), text("s"), payload), all},
        {"sublabel without NUL", assemble(0x42, "k", 0, text("l"), text("abc", false), payload), all},
    };
    for (auto &c : cases) {
        enc_info out = blank_info();
        memset(out.label, c.stale, sizeof out.label);
        memset(out.sublabel, c.stale, sizeof out.sublabel);
        c.len = std::min(c.len, n(c.container));
        EXPECT_EQ(read_back(c.container, c.len, c.key, c.dss, out), -1) << c.what;
    }
}

// An over-long text length is refused before anything is copied: the
// fields of the record are too small for it.
TEST(Container, OverlongTextLengthsCopyNothing)
{
    const bytes payload = testutil::random_bytes(20, 5);
    const bytes l33 = assemble(0x42, "k", 0, text(std::string(32, 'L')), text("sub"), payload);
    enc_info out = blank_info();
    EXPECT_EQ(read_back(l33, static_cast<int64_t>(l33.size()), "k", 0, out), -1);
    EXPECT_EQ(out.key_prefix, 0x42);
    EXPECT_EQ(bytes_of(out.label, 32), std::string(32, '\xEE'));
    EXPECT_EQ(bytes_of(out.sublabel, 8), std::string(8, '\xEE'));

    const bytes s9 = assemble(0x42, "k", 0, text("label"), text("12345678"), payload);
    out = blank_info();
    EXPECT_EQ(read_back(s9, static_cast<int64_t>(s9.size()), "k", 0, out), -1);
    EXPECT_EQ(out.key_prefix, 0x42);
    EXPECT_EQ(bytes_of(out.sublabel, 8), std::string(8, '\xEE'));
}

// The rejections above that use assembled containers fail for the one
// broken rule only: the same assembly within the limits is read.
TEST(Container, AssembledBoundaryCasesAreRead)
{
    const bytes payload = testutil::random_bytes(20, 4);
    const bytes c = assemble(7, "k", 1, text(std::string(31, 'L')), text("1234567"), payload);
    enc_info out = blank_info();
    ASSERT_EQ(read_back(c, static_cast<int64_t>(c.size()), "k", 1, out), 0);
    EXPECT_EQ(std::string(out.label), std::string(31, 'L'));
    EXPECT_STREQ(out.sublabel, "1234567");

    // An embedded NUL is fine: only the field's last byte must be NUL.
    const bytes e = assemble(7, "k", 0, text(std::string("ab\0cd", 5)), text("s"), payload);
    ASSERT_EQ(read_back(e, static_cast<int64_t>(e.size()), "k", 0, out), 0);
    EXPECT_STREQ(out.label, "ab");
}

// Only the payload is checked.  A 256-byte payload gets a 256-entry table
// with either table setting, so it comes out right under the other setting;
// the texts come out wrong and are accepted only if they happen to end in
// NUL.  The keys are the first of key-0, key-1, ... for which they do.
TEST(Container, PayloadOf256BytesReadsUnderEitherTableSetting)
{
    bytes payload(256);
    for (size_t i = 0; i < payload.size(); i++)
        payload[i] = static_cast<uint8_t>(i * 7 + 3);
    struct { int written; const char *key; } cases[] = {{0, "key-19207"}, {1, "key-128229"}};
    for (const auto &c : cases) {
        const bytes sealed = seal(make_info("start", c.key, "label", "sub", 0x42, c.written, payload), payload);
        enc_info out = blank_info();
        bytes plain;
        ASSERT_EQ(read_back(sealed, static_cast<int64_t>(sealed.size()), c.key, !c.written, out, &plain), 0)
            << c.key;
        EXPECT_TRUE(std::equal(payload.begin(), payload.end(), plain.begin()));
        EXPECT_STRNE(out.label, "label");
        // With most keys the mis-deciphered texts are refused, before the
        // payload is deciphered over the container.
        const bytes other = seal(make_info("start", "key-0", "label", "sub", 0x42, c.written, payload), payload);
        EXPECT_EQ(read_back(other, static_cast<int64_t>(other.size()), "key-0", !c.written, out, &plain), -1);
        EXPECT_TRUE(plain == other);
    }
}

// An empty payload has nothing to check, so a wrong key passes whenever the
// texts it produces end in NUL ("wrong-75256" is the first such key of
// wrong-0, wrong-1, ...), and is refused otherwise.
TEST(Container, EmptyPayloadUnderWrongKey)
{
    const bytes sealed = seal(make_info("asar1", "right key", "label", "sub", 0x42, 0, {}), {});
    enc_info out = blank_info();
    ASSERT_EQ(read_back(sealed, static_cast<int64_t>(sealed.size()), "wrong-75256", 0, out), 0);
    EXPECT_STRNE(out.label, "label");
    EXPECT_EQ(read_back(sealed, static_cast<int64_t>(sealed.size()), "wrong-0", 0, out), -1);
}

// --- the writer's refusals -----------------------------------------------------

TEST(Container, WriterRefusesBeforeWriting)
{
    const std::string long_key(255, 'k');
    const enc_info good = make_info("start", "k", "label", "sub", 1, 0, {9, 9, 9, 9});
    struct { const char *what; enc_info info; } cases[] = {
        {"unknown magic", good}, {"start without NUL", good}, {"label without NUL", good},
        {"sublabel without NUL", good}, {"key of 255 characters", good},
    };
    memcpy(cases[0].info.magic, "begin", 6);
    cases[1].info.magic[5] = 'x';
    memset(cases[2].info.label, 'x', sizeof good.label);
    memset(cases[3].info.sublabel, 'x', sizeof good.sublabel);
    cases[4].info.key = long_key.c_str();
    for (const auto &c : cases) {
        bytes buf(64, 0xCC);
        std::fill(buf.begin() + 30, buf.begin() + 34, 9);
        const bytes before = buf;
        EXPECT_EQ(encrypt_buf(&c.info, buf.data(), buf.data() + 30), -1) << c.what;
        EXPECT_TRUE(buf == before) << c.what;
    }
}


// --- piecewise reading and writing --------------------------------------------

// Writes a container as a streaming caller would: the header, the payload
// in random pieces (empty ones included, some enciphered in place, some
// into another buffer), then the checksum.
bytes write_pieces(const enc_info &in, const bytes &payload, uint32_t seed)
{
    enc_stream st;
    uint8_t head[ENC_MAX_HEADER_LEN];
    EXPECT_EQ(enc_write_header(&st, &in, head), 0);
    EXPECT_EQ(st.header_len, enc_compute_header_len(in.label, in.sublabel));
    bytes out(head, head + st.header_len);
    std::mt19937 rng(seed);
    size_t at = 0;
    while (at < payload.size()) {
        const size_t n = std::min<size_t>(rng() % (payload.size() / 3 + 2), payload.size() - at);
        bytes piece(payload.begin() + static_cast<ptrdiff_t>(at),
                    payload.begin() + static_cast<ptrdiff_t>(at + n));
        bytes enc(n);
        const bool in_place = rng() & 1;
        EXPECT_EQ(enc_write_payload(&st, piece.data(), in_place ? piece.data() : enc.data(), n), n);
        append(out, in_place ? piece : enc);
        at += n;
    }
    // Bytes past the payload are not taken.
    uint8_t extra[3] = {1, 2, 3};
    EXPECT_EQ(enc_write_payload(&st, extra, extra, sizeof extra), 0u);
    EXPECT_EQ(extra[0] + extra[1] + extra[2], 6);
    EXPECT_EQ(st.csum, csum_of(payload));
    uint8_t trailer[4];
    EXPECT_EQ(enc_write_finish(&st, trailer), 0);
    append(out, bytes(trailer, trailer + 4));
    return out;
}

// Reads the container in `c` as a streaming caller would: the header from
// its first ENC_MAX_HEADER_LEN bytes (or all, if fewer), then the rest in
// random chunks that run on into the checksum, the payload going to
// `plain`.  `total` is c's size, or -1 as for a pipe; an input that ends
// before payload and checksum do is the caller's own finding.
enc_reason read_pieces(const bytes &c, int64_t total, const char *key, int dss, enc_info &out,
                       bytes &plain, uint32_t seed, enc_stream &st)
{
    out.key = key;
    out.data_sized_state = dss;
    plain.clear();
    const enc_reason r = enc_read_header(&st, &out, c.data(), std::min<size_t>(c.size(), ENC_MAX_HEADER_LEN), total);
    if (r != ENC_OK)
        return r;
    std::mt19937 rng(seed);
    size_t at = st.header_len;
    while (st.remaining > 0 && at < c.size()) {
        const size_t n = 1 + rng() % (c.size() - at);
        bytes piece(n);
        const size_t took = enc_read_payload(&st, c.data() + at, piece.data(), n);
        EXPECT_EQ(took, std::min<size_t>(n, st.remaining + took));
        plain.insert(plain.end(), piece.begin(), piece.begin() + static_cast<ptrdiff_t>(took));
        at += took;
    }
    if (c.size() - at < 4) {
        enc_stream_release(&st);
        return ENC_PAST_END;
    }
    return enc_read_finish(&st, &out, c.data() + at);
}

TEST(ContainerPieces, SameBytesAndResultsAsTheWholeBufferFunctions)
{
    const std::string long_key(254, 'k');
    const round_trip_case cases[] = {
        {"start", 0, "secret", "label", "sub", 0},
        {"asar1", 1, "secret", "label", "sub", 0},
        {"start", 0, "k", "", "", 1},
        {"asar1", 1, "k", "", "", 1},
        {"start", 0, "key", std::string(31, 'L'), "1234567", 255},
        {"start", 1, "key", "x", "y", 256},
        {"asar1", 0, "key", "x", "y", 256},
        {"asar1", 1, "key", "x", "y", 257},
        {"start", 1, "key", "x", "y", 5000},
        {"asar1", 0, long_key, "big", "payload", (1u << 20) + 3},
        {"start", 1, long_key, "big", "payload", 3u << 20},
    };
    uint32_t seed = 100;
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.magic) + " dss " + std::to_string(c.dss) + " payload " +
                     std::to_string(c.payload));
        const bytes payload = testutil::random_bytes(c.payload, seed++);
        const enc_info in = make_info(c.magic, c.key.c_str(), c.label, c.sublabel, 0xC3, c.dss, payload);
        const bytes sealed = seal(in, payload);
        EXPECT_TRUE(write_pieces(in, payload, seed) == sealed);

        enc_info whole = blank_info();
        bytes whole_plain;
        ASSERT_EQ(read_back(sealed, static_cast<int64_t>(sealed.size()), c.key.c_str(), c.dss, whole, &whole_plain), 0);
        for (int64_t total : {static_cast<int64_t>(sealed.size()), int64_t{-1}}) {
            enc_info out = blank_info();
            enc_stream st;
            bytes plain;
            ASSERT_EQ(read_pieces(sealed, total, c.key.c_str(), c.dss, out, plain, seed, st), ENC_OK);
            EXPECT_TRUE(plain == payload);
            EXPECT_EQ(bytes_of(out.magic, 6), bytes_of(whole.magic, 6));
            EXPECT_EQ(bytes_of(out.label, 32), bytes_of(whole.label, 32));
            EXPECT_EQ(bytes_of(out.sublabel, 8), bytes_of(whole.sublabel, 8));
            EXPECT_EQ(out.key_prefix, whole.key_prefix);
            EXPECT_EQ(out.data_length, whole.data_length);
            EXPECT_EQ(out.checksum, whole.checksum);
        }
    }
}

struct reason_case {
    const char *what;
    bytes container;
    int64_t len;
    enc_reason want;
    const char *message;
    const char *key = "k";
    int dss = 0;
};

// Each refusal has its own reason, and the reader and decrypt_buf refuse
// the same containers.
TEST(ContainerPieces, ReasonForEachRefusal)
{
    const bytes payload = testutil::random_bytes(50, 3);
    const bytes good = seal(make_info("start", "k", "label", "sub", 0x42, 0, payload), payload);
    const auto n = [](const bytes &b) { return static_cast<int64_t>(b.size()); };
    const auto with = [](bytes b, size_t at, const bytes &v) {
        std::copy(v.begin(), v.end(), b.begin() + static_cast<ptrdiff_t>(at));
        return b;
    };
    const size_t d_at = 11 + 6 + 4 + 4;
    const std::string long_key(255, 'k');
    const char *cut = "damaged container (cut off in the header)";
    const char *not_container = "not a container (no start or asar1 magic)";
    const char *mismatch = "checksum mismatch (wrong key, wrong table setting or damaged container)";
    const char *no_text =
        "wrong key, wrong table setting or damaged container (label or sublabel does not decipher to a text)";
    const char *past = "damaged container (payload of 50 bytes and its checksum run past the end of the file)";

    const reason_case cases[] = {
        {"nothing", good, 0, ENC_NOT_CONTAINER, not_container},
        {"five bytes of the magic", good, 5, ENC_NOT_CONTAINER, not_container},
        {"unknown magic", with(good, 0, text("asar2")), n(good), ENC_NOT_CONTAINER, not_container},
        {"magic alone", good, 6, ENC_CUT_OFF, cut},
        {"cut inside the label length", good, 10, ENC_CUT_OFF, cut},
        {"cut inside the label", good, 14, ENC_CUT_OFF, cut},
        {"cut inside the sublabel length", good, 19, ENC_CUT_OFF, cut},
        {"cut inside the sublabel", good, 22, ENC_CUT_OFF, cut},
        {"cut inside the payload length", good, 26, ENC_CUT_OFF, cut},
        {"label length 33", assemble(0x42, "k", 0, text(std::string(32, 'L')), text("s"), payload),
         INT64_MAX, ENC_BAD_LABEL_LENGTH, "damaged container (label length 33, not 1..32)"},
        {"label length 0", with(good, 7, be32(0)), n(good), ENC_BAD_LABEL_LENGTH,
         "damaged container (label length 0, not 1..32)"},
        {"sublabel length 9", assemble(0x42, "k", 0, text("l"), text("12345678"), payload),
         INT64_MAX, ENC_BAD_SUBLABEL_LENGTH, "damaged container (sublabel length 9, not 1..8)"},
        {"sublabel length 0", with(good, 17, be32(0)), n(good), ENC_BAD_SUBLABEL_LENGTH,
         "damaged container (sublabel length 0, not 1..8)"},
        {"cut before the checksum", good, n(good) - 4, ENC_PAST_END, past},
        {"cut inside the checksum", good, n(good) - 1, ENC_PAST_END, past},
        {"cut inside the payload", good, n(good) - 30, ENC_PAST_END, past},
        {"payload length past the end", with(good, d_at, be32(0xFFFFFFFF)), n(good), ENC_PAST_END,
         "damaged container (payload of 4294967295 bytes and its checksum run past the end of the file)"},
        {"key of 255 characters", good, n(good), ENC_KEY_TOO_LONG, "key longer than 254 characters",
         long_key.c_str()},
        // The texts are checked before the payload: a wrong key or table
        // setting mostly shows there.
        {"wrong key", good, n(good), ENC_BAD_TEXT, no_text, "K"},
        {"wrong table setting", good, n(good), ENC_BAD_TEXT, no_text, "k", 1},
        {"damaged checksum", with(good, good.size() - 1, {static_cast<uint8_t>(good.back() ^ 1)}),
         n(good), ENC_CHECKSUM_MISMATCH, mismatch},
        {"label without NUL", assemble(0x42, "k", 0, text("abc", false), text("s"), payload),
         INT64_MAX, ENC_BAD_TEXT, no_text},
        {"sublabel without NUL", assemble(0x42, "k", 0, text("l"), text("abc", false), payload),
         INT64_MAX, ENC_BAD_TEXT, no_text},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const bytes input(c.container.begin(), c.container.begin() + std::min(c.len, n(c.container)));
        // Known length, then unknown (a pipe): the same reason, found later.
        for (int64_t total : {n(input), int64_t{-1}}) {
            enc_info out = blank_info();
            enc_stream st;
            bytes plain;
            EXPECT_EQ(read_pieces(input, total, c.key, c.dss, out, plain, 7, st), c.want);
            char msg[200];
            EXPECT_EQ(enc_reason_message(c.want, &st, msg, sizeof msg), static_cast<int>(strlen(c.message)));
            EXPECT_STREQ(msg, c.message);
        }
        enc_info out = blank_info();
        EXPECT_EQ(read_back(input, n(input), c.key, c.dss, out), -1);
    }
    // The texts without the stream, and a short buffer, as snprintf does.
    char msg[200];
    enc_reason_message(ENC_BAD_LABEL_LENGTH, nullptr, msg, sizeof msg);
    EXPECT_STREQ(msg, "damaged container (label length not 1..32)");
    char tiny[4];
    EXPECT_EQ(enc_reason_message(ENC_CUT_OFF, nullptr, tiny, sizeof tiny), static_cast<int>(strlen(cut)));
    EXPECT_STREQ(tiny, "dam");
}

// Stopping early: finish before the whole payload has gone through, and a
// writer short of bytes, refuse and release the table (the sanitizer run
// would report a leak); release after finish is harmless.
TEST(ContainerPieces, EndingBeforeThePayloadDoes)
{
    const bytes payload = testutil::random_bytes(300, 11);
    const enc_info in = make_info("start", "k", "l", "s", 1, 1, payload);
    const bytes sealed = seal(in, payload);

    enc_stream st;
    enc_info out = blank_info();
    out.key = "k";
    out.data_sized_state = 1;
    ASSERT_EQ(enc_read_header(&st, &out, sealed.data(), sealed.size(), -1), ENC_OK);
    bytes plain(100);
    EXPECT_EQ(enc_read_payload(&st, sealed.data() + st.header_len, plain.data(), 100), 100u);
    const uint8_t trailer[4] = {};
    EXPECT_EQ(enc_read_finish(&st, &out, trailer), ENC_PAST_END);
    EXPECT_EQ(st.cipher.state, nullptr);
    enc_stream_release(&st);

    uint8_t head[ENC_MAX_HEADER_LEN];
    ASSERT_EQ(enc_write_header(&st, &in, head), 0);
    bytes enc(299);
    EXPECT_EQ(enc_write_payload(&st, payload.data(), enc.data(), 299), 299u);
    uint8_t t[4] = {9, 9, 9, 9};
    EXPECT_EQ(enc_write_finish(&st, t), -1);
    EXPECT_EQ(t[0] & t[1] & t[2] & t[3], 9);
    EXPECT_EQ(st.cipher.state, nullptr);

    // Given up half-way.
    ASSERT_EQ(enc_write_header(&st, &in, head), 0);
    enc_stream_release(&st);
    enc_stream_release(&st);
}

// A header with its magic alone reads no byte past the six it was given:
// the key prefix stays as the caller left it until a seventh byte comes.
TEST(ContainerPieces, SixBytesLeaveTheKeyPrefixAlone)
{
    const uint8_t head[7] = {'s', 't', 'a', 'r', 't', 0, 0x5A};
    for (size_t avail : {6, 7}) {
        SCOPED_TRACE(avail);
        enc_info out = blank_info();
        out.key = "k";
        out.data_sized_state = 0;
        enc_stream st;
        EXPECT_EQ(enc_read_header(&st, &out, head, avail, -1), ENC_CUT_OFF);
        EXPECT_EQ(out.key_prefix, avail == 6 ? 0xEE : 0x5A);
        // And the whole-buffer reader, from a buffer of exactly that size.
        out = blank_info();
        EXPECT_EQ(read_back(bytes(head, head + avail), static_cast<int64_t>(avail), "k", 0, out), -1);
        EXPECT_EQ(out.key_prefix, avail == 6 ? 0xEE : 0x5A);
    }
}

// While it lives, the memory this process may add is capped at 1 GiB
// (RLIMIT_DATA, where the system applies it), so that a faulty reader that
// allocates a table of a forged length fails at once rather than taking
// 4 GiB of the machine for a minute of keying.  Windows has no such limit
// for a process on its own: there the cap does nothing.
#if defined(_WIN32)
struct [[maybe_unused]] data_cap {
    data_cap() {}
};
#else
class data_cap {
public:
    data_cap()
    {
        std::ifstream status("/proc/self/status");
        uint64_t kib = 0;
        for (std::string line; std::getline(status, line);)
            if (line.rfind("VmData:", 0) == 0)
                kib = std::stoull(line.substr(7));
        if (kib == 0 || getrlimit(RLIMIT_DATA, &saved_) != 0)
            return;
        rlimit capped = saved_;
        capped.rlim_cur = std::min<rlim_t>(saved_.rlim_max, static_cast<rlim_t>(kib * 1024 + (uint64_t{1} << 30)));
        set_ = setrlimit(RLIMIT_DATA, &capped) == 0;
    }
    ~data_cap()
    {
        if (set_)
            setrlimit(RLIMIT_DATA, &saved_);
    }
    data_cap(const data_cap &) = delete;
    data_cap &operator=(const data_cap &) = delete;

private:
    rlimit saved_{};
    bool set_ = false;
};
#endif

// A 21-byte header claiming a data-sized payload of nearly 4 GiB, from an
// input whose length is not known: the texts are checked first, and a
// table over the limit is refused before anything is allocated, so the
// call returns at once.  Once the length is known, the input bounds the
// table instead.
TEST(ContainerPieces, HeaderDoesNotKeyAHugeTableItCannotNeed)
{
    const data_cap cap;
    // Empty texts: under data-sized tables their one byte each is left as
    // it is, so every key opens them and only the limit stands.
    const auto header = [](const char *label, uint32_t d) {
        const enc_info in = make_info("start", "k", label, "", 0x42, 1, {});
        uint8_t head[ENC_MAX_HEADER_LEN];
        enc_stream st;
        EXPECT_EQ(enc_write_header(&st, &in, head), 0);
        enc_stream_release(&st);
        bytes h(head, head + st.header_len);
        std::copy_n(be32(d).begin(), 4, h.end() - 4);
        return h;
    };
    const auto with_d = [&](uint32_t d) { return header("", d); };
    const bytes huge = with_d(0xFFFFFF00u);
    ASSERT_EQ(huge.size(), 21u);
    enc_stream st;

    struct {
        const char *what, *key;
        bytes header;
        int64_t total;
        size_t limit; // 0: enc_read_header's own
        enc_reason want;
    } cases[] = {
        {"nearly 4 GiB, unknown length", "k", huge, -1, 0, ENC_TABLE_TOO_LARGE},
        {"nearly 4 GiB, known to run past", "k", huge, 21, 0, ENC_PAST_END},
        {"any key opens empty texts", "wrong-0", huge, -1, 0, ENC_TABLE_TOO_LARGE},
        {"a key that does not open the label", "wrong-0", header("firmware", 0xFFFFFF00u), -1, 0, ENC_BAD_TEXT},
        {"just over the default", "k", with_d(ENC_DEFAULT_MAX_TABLE + 1), -1, 0, ENC_TABLE_TOO_LARGE},
        {"at the default", "k", with_d(ENC_DEFAULT_MAX_TABLE), -1, 0, ENC_OK},
        {"over the caller's limit", "k", with_d(1000), -1, 999, ENC_TABLE_TOO_LARGE},
        {"at the caller's limit", "k", with_d(1000), -1, 1000, ENC_OK},
        {"over it, length known", "k", with_d(1000), 21 + 1000 + 4, 999, ENC_OK},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        enc_info out = blank_info();
        out.key = c.key;
        out.data_sized_state = 1;
        const enc_reason got =
            c.limit == 0 ? enc_read_header(&st, &out, c.header.data(), c.header.size(), c.total)
                         : enc_read_header_limited(&st, &out, c.header.data(), c.header.size(), c.total, c.limit);
        EXPECT_EQ(got, c.want);
        if (got != ENC_OK) {
            // A refusal leaves nothing allocated.
            EXPECT_EQ(st.cipher.state, nullptr);
        } else {
            EXPECT_EQ(st.cipher.state_len, st.data_length);
            enc_stream_release(&st);
        }
    }
    // 256-entry tables are never limited.
    enc_info out = blank_info();
    out.key = "k";
    out.data_sized_state = 0;
    bytes plain_huge = huge;
    EXPECT_NE(enc_read_header_limited(&st, &out, plain_huge.data(), plain_huge.size(), -1, 0), ENC_TABLE_TOO_LARGE);
    enc_stream_release(&st);

    char msg[200];
    enc_info probe = blank_info();
    probe.key = "k";
    probe.data_sized_state = 1;
    ASSERT_EQ(enc_read_header(&st, &probe, huge.data(), huge.size(), -1), ENC_TABLE_TOO_LARGE);
    enc_reason_message(ENC_TABLE_TOO_LARGE, &st, msg, sizeof msg);
    EXPECT_STREQ(msg, "data-sized payload of 4294967040 bytes too large for the table limit while the input's "
                      "length is unknown");
}

// Every check of the layout comes before the payload is deciphered over the
// header, so a container cut short leaves the caller's buffer as it was.
TEST(Container, CutShortContainerLeavesTheBufferAlone)
{
    const bytes payload = testutil::random_bytes(64, 12);
    const bytes sealed = seal(make_info("asar1", "k", "label", "sub", 3, 0, payload), payload);
    for (size_t missing : {1, 3, 4, 5}) {
        bytes buf(sealed.begin(), sealed.end() - static_cast<ptrdiff_t>(missing));
        const bytes before = buf;
        enc_info out = blank_info();
        out.key = "k";
        out.data_sized_state = 0;
        EXPECT_EQ(decrypt_buf(&out, buf.data(), static_cast<int64_t>(buf.size())), -1) << missing;
        EXPECT_TRUE(buf == before) << missing;
    }
}

} // namespace
