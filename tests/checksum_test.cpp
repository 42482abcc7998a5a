// SPDX-License-Identifier: MIT
#include "known_answers.h"
#include "testutil.h"
#include "velkor.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

using testutil::bytes;

namespace {

uint32_t crc_of(const std::string &s)
{
    return velkor_crc(reinterpret_cast<const uint8_t *>(s.data()), s.size());
}

uint32_t csum_of(uint32_t init, const std::string &s)
{
    return velkor_csum(init, reinterpret_cast<const uint8_t *>(s.data()), s.size());
}

TEST(Crc, KnownValues)
{
    for (const auto &c : known_answers::crc_texts) {
        std::string text;
        for (size_t k = 0; k < c.repeat; k++)
            text += c.text;
        EXPECT_EQ(crc_of(text), c.crc) << c.text << " x " << c.repeat;
    }
    // An empty buffer is never read.
    EXPECT_EQ(velkor_crc(nullptr, 0), 0xFFFFFFFFu);
}

#if !defined(_WIN32) // no cksum(1): tests/CMakeLists.txt lists what Windows leaves out
// The system's cksum is the reference: its first field for the same bytes.
TEST(Crc, MatchesSystemCksum)
{
    testutil::scratch_dir dir;
    const size_t sizes[] = {0,     1,     2,     3,     7,     8,      15,      16,
                            63,    64,    255,   256,   257,   511,    767,     768,
                            769,   1000,  4095,  4096,  4097,  65535,  65536,   65537,
                            70001, 99999, 1u << 20, (1u << 20) + 13, (1u << 24) + 1};
    for (size_t n : sizes) {
        bytes data = testutil::random_bytes(n, static_cast<uint32_t>(n) + 1);
        std::string path = dir / "f";
        testutil::write_file(path, data);
        auto r = testutil::run({"/usr/bin/cksum", path});
        ASSERT_EQ(r.status, 0) << r.err;
        uint32_t want = static_cast<uint32_t>(std::strtoul(r.out.c_str(), nullptr, 10));
        EXPECT_EQ(velkor_crc(data.data(), data.size()), want) << "length " << n;
    }
}
#endif

// Any way of cutting the data into pieces, empty ones included, gives the
// CRC of the whole; final() reads the state without ending it.
TEST(Crc, IncrementalMatchesOneShot)
{
    auto pieces = [](const bytes &d, const std::vector<size_t> &cuts) {
        velkor_crc_state st;
        velkor_crc_init(&st);
        size_t at = 0;
        for (size_t c : cuts) {
            velkor_crc_update(&st, d.data() + at, c - at);
            at = c;
        }
        velkor_crc_update(&st, d.data() + at, d.size() - at);
        const uint32_t v = velkor_crc_final(&st);
        EXPECT_EQ(velkor_crc_final(&st), v) << "final changed the state";
        return v;
    };

    // Every single split point of a short buffer, with an empty piece at
    // the cut as well.
    const bytes small = testutil::random_bytes(300, 7);
    const uint32_t want_small = velkor_crc(small.data(), small.size());
    for (size_t k = 0; k <= small.size(); k++) {
        EXPECT_EQ(pieces(small, {k}), want_small) << "split at " << k;
        EXPECT_EQ(pieces(small, {k, k}), want_small) << "empty piece at " << k;
    }

    // Random splits of a few MiB, where the fast kernels run on each piece.
    const bytes big = testutil::random_bytes((3u << 20) + 77, 8);
    const uint32_t want_big = velkor_crc(big.data(), big.size());
    uint32_t rng = 12345;
    for (int round = 0; round < 8; round++) {
        std::vector<size_t> cuts;
        size_t at = 0;
        while (true) {
            rng = rng * 1103515245u + 12345u;
            at += (rng >> 8) % (round < 4 ? 70000u : 700u);
            if (at > big.size())
                break;
            cuts.push_back(at);
        }
        EXPECT_EQ(pieces(big, cuts), want_big) << "round " << round;
    }

    // Nothing fed is the empty CRC, and feeding may go on after final().
    velkor_crc_state st;
    velkor_crc_init(&st);
    EXPECT_EQ(velkor_crc_final(&st), 0xFFFFFFFFu);
    velkor_crc_update(&st, reinterpret_cast<const uint8_t *>("ab"), 2);
    (void)velkor_crc_final(&st);
    velkor_crc_update(&st, reinterpret_cast<const uint8_t *>("c"), 1);
    EXPECT_EQ(velkor_crc_final(&st), 0x48AA78A2u);
}

// cksum appends the length's bytes, least significant first: 768 = 0x0300
// feeds 0x00 and then 0x03.  Feeding them by hand as data and then skipping
// the length must agree, which pins down order and count.
TEST(Crc, LengthBytesAreFedLeastSignificantFirst)
{
    // velkor_crc over data D equals ~CRC(D || len bytes) with no further
    // length; reproduce it with a second, independent plain CRC.
    auto plain = [](const bytes &d) {
        uint32_t h = 0;
        for (uint8_t b : d) {
            h ^= static_cast<uint32_t>(b) << 24;
            for (int k = 0; k < 8; k++)
                h = (h & 0x80000000u) ? (h << 1) ^ 0x04C11DB7u : h << 1;
        }
        return h;
    };
    struct { size_t len; bytes tail; } cases[] = {
        {1, {0x01}},
        {255, {0xFF}},
        {256, {0x00, 0x01}},
        {768, {0x00, 0x03}},
        {65536, {0x00, 0x00, 0x01}},
    };
    for (const auto &c : cases) {
        bytes data = testutil::random_bytes(c.len, 7);
        bytes fed = data;
        fed.insert(fed.end(), c.tail.begin(), c.tail.end());
        EXPECT_EQ(velkor_crc(data.data(), data.size()), ~plain(fed)) << "length " << c.len;
    }
}

TEST(Csum, KnownValues)
{
    for (const auto &c : known_answers::csum_texts)
        EXPECT_EQ(velkor_csum(c.initial, reinterpret_cast<const uint8_t *>(c.text), c.len), c.csum)
            << c.text;
    EXPECT_EQ(velkor_csum(0x12345678u, nullptr, 0), 0x12345678u);
    // ASCII-only data: the complement from an all-ones start is the common
    // CRC-32 (check value of "123456789").
    EXPECT_EQ(~csum_of(0xFFFFFFFFu, "123456789"), 0xCBF43926u);
}

// A byte of 0x80 or more is sign-extended: the same as a zero-extended byte
// fed into a register that had 0xFFFFFF00 XORed in first.
TEST(Csum, HighBytesAreSignExtended)
{
    auto zero_extended = [](uint32_t a, uint8_t b) {
        a ^= b;
        for (int k = 0; k < 8; k++)
            a = (a & 1u) ? (a >> 1) ^ 0xEDB88320u : a >> 1;
        return a;
    };
    for (unsigned v = 0; v < 256; v++) {
        uint8_t b = static_cast<uint8_t>(v);
        for (uint32_t init : {0u, 3u, 0xFFFFFFFFu, 0xDEADBEEFu}) {
            uint32_t want = zero_extended(v >= 0x80 ? init ^ 0xFFFFFF00u : init, b);
            EXPECT_EQ(velkor_csum(init, &b, 1), want) << "byte " << v << " start " << init;
        }
    }
}

} // namespace
