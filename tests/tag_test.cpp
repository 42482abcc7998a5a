// SPDX-License-Identifier: MIT
#include "crc_combine.h"
#include "known_answers.h"
#include "testutil.h"
#include "velkor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>

using testutil::bytes;

namespace {

uint32_t be32_at(const bytes &b, size_t at)
{
    return static_cast<uint32_t>(b[at]) << 24 | static_cast<uint32_t>(b[at + 1]) << 16 |
           static_cast<uint32_t>(b[at + 2]) << 8 | b[at + 3];
}

// The payload's CRC state, fed in random pieces (empty ones included).
velkor_crc_state payload_state(const bytes &payload, uint32_t seed)
{
    std::mt19937 rng(seed);
    velkor_crc_state st;
    velkor_crc_init(&st);
    size_t at = 0;
    while (at < payload.size()) {
        const size_t n = std::min<size_t>(payload.size() - at, rng() % 70000);
        velkor_crc_update(&st, payload.data() + at, n);
        at += n;
    }
    return st;
}

// header || payload, the header built by the library.
bytes tagged(const bytes &payload, uint32_t seed = 1)
{
    bytes file(VELKOR_TAG_HEADER_LEN);
    const velkor_crc_state st = payload_state(payload, seed);
    EXPECT_EQ(velkor_tag_build(file.data(), &st), 0);
    file.insert(file.end(), payload.begin(), payload.end());
    return file;
}

bytes from_hex(const char *h)
{
    bytes b(strlen(h) / 2);
    for (size_t k = 0; k < b.size(); k++)
        b[k] = known_answers::hex_byte(h + 2 * k);
    return b;
}

TEST(Tag, KnownHeaders)
{
    EXPECT_TRUE(tagged({}) == from_hex(known_answers::tagged_empty));
    EXPECT_TRUE(tagged(testutil::to_bytes("abc")) == from_hex(known_answers::tagged_abc));
}

// The CRC derived from the payload's state equals velkor_crc over the whole
// file with the CRC field zero; the sizes cross the length's byte steps and
// exercise many bits of the power x^(8n).
TEST(Tag, HeaderCrcCoversTheWholeFile)
{
    const size_t sizes[] = {0, 1, 2, 3, 235, 236, 255, 256, 257, 4096, 65535, 65536, 65537,
                            (size_t{3} << 20) + 12345, size_t{7} << 20};
    uint32_t seed = 10;
    for (size_t n : sizes) {
        SCOPED_TRACE("payload " + std::to_string(n));
        const bytes payload = testutil::random_bytes(n, seed);
        bytes file = tagged(payload, seed++);
        EXPECT_EQ(be32_at(file, 12), n + 20);
        const uint32_t stored = be32_at(file, 16);
        std::fill(file.begin() + 16, file.begin() + 20, 0);
        EXPECT_EQ(stored, velkor_crc(file.data(), file.size()));
    }
}

TEST(Tag, PayloadTooLargeForTheLengthField)
{
    // Only the state's length matters for the limit: no need for the bytes.
    velkor_crc_state st;
    velkor_crc_init(&st);
    uint8_t header[VELKOR_TAG_HEADER_LEN];
    for (uint64_t len : {uint64_t{VELKOR_TAG_MAX_PAYLOAD} + 1, uint64_t{1} << 32, ~uint64_t{0}}) {
        memset(header, 0xCC, sizeof header);
        st.length = len;
        EXPECT_EQ(velkor_tag_build(header, &st), -1) << len;
        EXPECT_TRUE(std::all_of(header, header + sizeof header, [](uint8_t b) { return b == 0xCC; }));
    }
    EXPECT_EQ(VELKOR_TAG_MAX_PAYLOAD, 4294967275u);
    st.length = VELKOR_TAG_MAX_PAYLOAD;
    ASSERT_EQ(velkor_tag_build(header, &st), 0);
    EXPECT_EQ(header[12] & header[13] & header[14] & header[15], 0xFF);
}

TEST(Tag, ChecksInStages)
{
    const bytes payload = testutil::random_bytes(1000, 7);
    const bytes good = tagged(payload);
    const velkor_crc_state pst = payload_state(payload, 3);

    velkor_tag_info info;
    ASSERT_EQ(velkor_tag_parse(&info, good.data(), good.size()), VELKOR_TAG_OK);
    EXPECT_EQ(info.format, 0xB1);
    EXPECT_EQ(info.length, 1020u);
    EXPECT_EQ(info.stored_crc, be32_at(good, 16));
    EXPECT_EQ(velkor_tag_check_length(&info, 1020), VELKOR_TAG_OK);
    ASSERT_EQ(velkor_tag_check_crc(&info, good.data(), &pst), VELKOR_TAG_OK);
    EXPECT_EQ(info.computed_crc, info.stored_crc);

    // Exactly the header is enough for the first stage.
    EXPECT_EQ(velkor_tag_parse(&info, good.data(), 20), VELKOR_TAG_OK);
    memset(&info, 0xEE, sizeof info);
    EXPECT_EQ(velkor_tag_parse(&info, good.data(), 19), VELKOR_TAG_SHORT);
    EXPECT_EQ(info.length, 0xEEEEEEEEu);

    bytes no_magic = good;
    no_magic[2] = 'm';
    EXPECT_EQ(velkor_tag_parse(&info, no_magic.data(), no_magic.size()), VELKOR_TAG_NO_MAGIC);

    bytes format = good;
    format[11] = 0xB2;
    EXPECT_EQ(velkor_tag_parse(&info, format.data(), format.size()), VELKOR_TAG_WRONG_FORMAT);
    EXPECT_EQ(info.format, 0xB2);

    ASSERT_EQ(velkor_tag_parse(&info, good.data(), good.size()), VELKOR_TAG_OK);
    for (uint64_t len : {uint64_t{1019}, uint64_t{1021}, uint64_t{1020} + (uint64_t{1} << 32)})
        EXPECT_EQ(velkor_tag_check_length(&info, len), VELKOR_TAG_WRONG_LENGTH) << len;

    // A damaged payload, and a damaged header byte that no earlier stage
    // looks at: the computed CRC is that of the file as it is.
    bytes damaged = payload;
    damaged[500] ^= 0x10;
    const velkor_crc_state dst = payload_state(damaged, 4);
    bytes head = good;
    head[5] = 1;
    struct { const char *what; const uint8_t *header; const velkor_crc_state *st; } cases[] = {
        {"payload", good.data(), &dst},
        {"reserved byte", head.data(), &pst},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(velkor_tag_parse(&info, c.header, 20), VELKOR_TAG_OK) << c.what;
        EXPECT_EQ(velkor_tag_check_crc(&info, c.header, c.st), VELKOR_TAG_CRC_MISMATCH) << c.what;
        EXPECT_EQ(info.stored_crc, be32_at(good, 16)) << c.what;
        bytes file(c.header, c.header + 20);
        file.insert(file.end(), c.st == &dst ? damaged.begin() : payload.begin(),
                    c.st == &dst ? damaged.end() : payload.end());
        std::fill(file.begin() + 16, file.begin() + 20, 0);
        EXPECT_EQ(info.computed_crc, velkor_crc(file.data(), file.size())) << c.what;
    }
}

// The CRC combination the header's CRC (and the scanner) rest on: the
// table-driven product against the bitwise one, combination against one
// register run over both parts, and the powers past 2^32 bytes (payloads
// of files over 4 GiB) against products of smaller ones.
TEST(CrcCombine, ProductsPowersAndCombination)
{
    auto bitwise = [](uint32_t a, uint32_t b) {
        uint32_t r = 0;
        for (int i = 31; i >= 0; i--) {
            r = (r << 1) ^ ((r >> 31) != 0 ? 0x04C11DB7u : 0);
            if ((b >> i) & 1)
                r ^= a;
        }
        return r;
    };
    std::mt19937 rng(11);
    const uint32_t fixed_b = rng();
    const velkor::crc_times times_b{fixed_b};
    for (int k = 0; k < 2000; k++) {
        const uint32_t a = rng(), b = rng();
        ASSERT_EQ(velkor::crc_mul(a, b), bitwise(a, b)) << a << " " << b;
        ASSERT_EQ(velkor::crc_times_x32(a), bitwise(a, velkor::crc_x_pow_8n(4))) << a;
        ASSERT_EQ(times_b(a), bitwise(a, fixed_b)) << a;
    }

    for (size_t split : {size_t{0}, size_t{1}, size_t{255}, size_t{256}, size_t{70000}}) {
        const bytes data = testutil::random_bytes(split + 1000, static_cast<uint32_t>(split));
        velkor_crc_state whole, a, b;
        velkor_crc_init(&whole);
        velkor_crc_init(&a);
        velkor_crc_init(&b);
        velkor_crc_update(&whole, data.data(), data.size());
        velkor_crc_update(&a, data.data(), split);
        velkor_crc_update(&b, data.data() + split, data.size() - split);
        EXPECT_EQ(velkor::crc_combine(a.crc, b.crc, b.length), whole.crc) << split;
    }

    // x^(8n) = x^(8m) x^(8(n - m)), across and beyond 2^32.
    const uint64_t big[] = {uint64_t{1} << 32, (uint64_t{1} << 32) + 5, 0x123456789ABull,
                            UINT64_MAX};
    for (uint64_t n : big)
        for (uint64_t m : {n / 2, n / 3, n - 1}) {
            EXPECT_EQ(velkor::crc_x_pow_8n(n),
                      velkor::crc_mul(velkor::crc_x_pow_8n(m), velkor::crc_x_pow_8n(n - m)))
                << n << " = " << m << " + " << n - m;
        }
    EXPECT_EQ(velkor::crc_x_pow_8n(0), 1u);
    EXPECT_EQ(velkor::crc_x_pow_8n(1), 0x100u);
}

} // namespace
