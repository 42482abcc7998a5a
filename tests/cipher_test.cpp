// SPDX-License-Identifier: MIT
#include "cipher_model.h"
#include "known_answers.h"
#include "testutil.h"
#include "velkor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

using testutil::bytes;

namespace {

// The cipher exactly as defined, independent of the library's fast paths.
struct plain_cipher : velkor_model::plain_cipher {
    using velkor_model::plain_cipher::plain_cipher;
    plain_cipher(const bytes &key, size_t n) : plain_cipher(key.data(), key.size(), n) {}
};

bytes material(uint8_t prefix, const std::string &text)
{
    bytes m(text.size() + 1, prefix);
    std::copy(text.begin(), text.end(), m.begin() + 1);
    return m;
}

bytes buf(uint8_t prefix, const std::string &key, const bytes &src, bool sized)
{
    bytes dst(src.size(), 0xEE);
    EXPECT_EQ(vcrypt_buf(prefix, key.c_str(), src.data(), dst.data(), src.size(), sized), 0);
    return dst;
}

bytes keystream(uint8_t prefix, const std::string &key, size_t len, bool sized)
{
    return buf(prefix, key, bytes(len, 0), sized);
}

bytes slice(const bytes &b, size_t from, size_t n)
{
    return bytes(b.begin() + static_cast<ptrdiff_t>(from),
                 b.begin() + static_cast<ptrdiff_t>(from + n));
}

// RFC 6229, 40-bit key 01 02 03 04 05, keystream at offsets 0 and 4096.
TEST(Cipher, Rfc6229Vector)
{
    const auto &key = known_answers::rfc6229_key;
    vcrypt_state ctx;
    ASSERT_EQ(vcrypt_init(&ctx, key, sizeof key, 256), 0);
    bytes zero(4112, 0), ks(4112);
    EXPECT_EQ(vcrypt_process(&ctx, zero.data(), ks.data(), ks.size()), 4112u);
    vcrypt_finish(&ctx);
    for (const auto &v : known_answers::rfc6229_40bit) {
        bytes want(16);
        for (size_t k = 0; k < 16; k++)
            want[k] = known_answers::hex_byte(v.hex + 2 * k);
        EXPECT_EQ(slice(ks, v.offset, 16), want) << "offset " << v.offset;
    }
}

// vcrypt_buf with 256 entries is RC4 under prefix + key text.  Expected
// keystream bytes 0..15 and 1024..1039 came from libcrypto's RC4 on the
// build machine, driven from python3 with ctypes:
//   RC4_set_key(st, len(k), k); RC4(st, 1040, bytes(1040), out)
// with k = bytes([prefix]) + text (cross-checked against python3
// cryptography's ARC4 for the two short keys, repeated to a legal length).
TEST(Cipher, BufIsRc4OfKeyMaterial)
{
    struct vector {
        uint8_t prefix;
        std::string text;
        bytes at0, at1024;
    };
    std::string alphabet;
    while (alphabet.size() < 254)
        alphabet += "abcdefghijklmnopqrstuvwxyz";
    alphabet.resize(254);
    const vector table[] = {
        {0x00, "",
         {0xde, 0x18, 0x89, 0x41, 0xa3, 0x37, 0x5d, 0x3a, 0x8a, 0x06, 0x1e, 0x67, 0x57, 0x6e, 0x92, 0x6d},
         {0x9a, 0x88, 0x98, 0xeb, 0xed, 0x25, 0x89, 0x53, 0x36, 0xae, 0x11, 0x9a, 0xe5, 0x03, 0xca, 0xd6}},
        {0x09, "key",
         {0x83, 0x9b, 0x82, 0x51, 0x92, 0x52, 0xd4, 0x91, 0x99, 0x6b, 0xcc, 0xfc, 0xf6, 0x8e, 0xcf, 0xfc},
         {0xaa, 0x6d, 0xc7, 0xca, 0x6f, 0x22, 0x98, 0x4d, 0xd0, 0xdb, 0x74, 0x2c, 0x4b, 0x0a, 0xe2, 0x32}},
        {0xA5, "correct horse battery staple",
         {0x02, 0x44, 0xb1, 0x08, 0x7c, 0xa0, 0x12, 0x1b, 0x22, 0x46, 0x5c, 0xba, 0x76, 0xad, 0xc5, 0x36},
         {0xe1, 0x29, 0xf8, 0x89, 0x16, 0x98, 0x01, 0xb5, 0x81, 0xea, 0x9b, 0x10, 0x6a, 0xcf, 0xe6, 0xbe}},
        {0x7F, alphabet,
         {0x61, 0x3e, 0x0b, 0x69, 0x5d, 0x8a, 0x64, 0x0f, 0xd1, 0x5b, 0xcd, 0x37, 0x44, 0xd0, 0x6f, 0x0a},
         {0xcb, 0x44, 0x71, 0xfb, 0x90, 0xd5, 0x99, 0x86, 0xbc, 0xf9, 0xe2, 0xab, 0x8b, 0xe3, 0x3b, 0x4c}},
    };
    for (const auto &v : table) {
        SCOPED_TRACE("key length " + std::to_string(v.text.size()));
        bytes ks = keystream(v.prefix, v.text, 1040, false);
        EXPECT_EQ(slice(ks, 0, 16), v.at0);
        EXPECT_EQ(slice(ks, 1024, 16), v.at1024);
        // Short runs take the byte-table path, long ones the widened one.
        for (size_t len : {1, 7, 63, 64, 100})
            EXPECT_EQ(keystream(v.prefix, v.text, len, false), slice(ks, 0, len)) << len;
    }
}

// Data-sized tables, worked by hand for N = 3, key material {0x01}:
//   schedule: j=1: 1 0 2;  j=2: 1 2 0;  j=0: 0 2 1
//   i=1 a=2 j=2 -> 0 1 2, t=0 -> 0;  i=2 a=2 j=1 -> 0 2 1, t=0 -> 0;
//   i=0 a=0 j=1 -> 2 0 1, t=2 -> 1.
// N = 300 and 600 (key material "Zvelkor") were computed once with a
// direct python3 transcription of the algorithm.
TEST(Cipher, DataSizedKnownValues)
{
    EXPECT_EQ(keystream(0x01, "", 3, true), (bytes{0, 0, 1}));
    EXPECT_EQ(keystream(0x42, "anything", 1, true), (bytes{0}));

    bytes k300 = keystream(0x5A, "velkor", 300, true);
    EXPECT_EQ(slice(k300, 0, 16), (bytes{0x85, 0x22, 0x1f, 0xe3, 0xdc, 0x06, 0x9a, 0xe2, 0xf9,
                                         0x2c, 0x28, 0xb3, 0x0e, 0xb5, 0x3e, 0x4e}));
    EXPECT_EQ(slice(k300, 284, 16), (bytes{0xa7, 0x39, 0x02, 0x09, 0x48, 0x24, 0xd2, 0x2b, 0x11,
                                           0x2b, 0xdf, 0x67, 0x06, 0x06, 0x7e, 0x7e}));
    bytes k600 = keystream(0x5A, "velkor", 600, true);
    EXPECT_EQ(slice(k600, 0, 16), (bytes{0xe6, 0xab, 0x35, 0x19, 0x50, 0x45, 0x10, 0xc5, 0x8d,
                                         0xfe, 0x85, 0xc1, 0x2f, 0x8b, 0x8c, 0x33}));
    EXPECT_EQ(slice(k600, 584, 16), (bytes{0x01, 0xc1, 0x4d, 0xae, 0x8b, 0x5d, 0x85, 0xdb, 0x12,
                                           0x3b, 0x4d, 0x0a, 0xd1, 0xf3, 0x34, 0xdb}));
}

TEST(Cipher, DataSizedProperties)
{
    // Below 256 entries every keystream byte is a table entry, so below N.
    for (size_t n = 1; n < 256; n++) {
        bytes ks = keystream(static_cast<uint8_t>(n), std::to_string(n), n, true);
        for (uint8_t b : ks)
            ASSERT_LT(b, n) << "N " << n;
    }
    // A 2-byte field touches only the lowest bit of each byte.
    for (int prefix = 0; prefix < 256; prefix++) {
        bytes src = testutil::random_bytes(2, static_cast<uint32_t>(prefix));
        bytes dst = buf(static_cast<uint8_t>(prefix), "two", src, true);
        for (size_t p = 0; p < 2; p++)
            EXPECT_EQ((src[p] ^ dst[p]) & 0xFE, 0) << prefix;
    }
    // Above 256 entries i counts bytes mod 256.
    const uint8_t key[] = {7, 1, 200};
    for (size_t n : {257u, 300u, 510u, 511u, 4096u}) {
        vcrypt_state ctx;
        ASSERT_EQ(vcrypt_init(&ctx, key, 3, n), 0);
        bytes data(700);
        size_t done = 0;
        for (size_t step : {1u, 254u, 1u, 100u, 344u}) {
            vcrypt_process(&ctx, data.data(), data.data(), step);
            done += step;
            EXPECT_EQ(ctx.i, done % 256) << "N " << n;
            EXPECT_LT(ctx.j, 256u);
        }
        vcrypt_finish(&ctx);
    }
}

// Every path of the library against plain_cipher: table sizes on both sides
// of each boundary (255/256/257, 509/510/511 in the schedule and the
// generator), tables beyond the caches and with huge-page advice (from
// 4 MiB), random keys of several lengths, and data processed in random
// pieces below and above the widened copy's threshold, so each piece starts
// from the state the last one left (including i and j near a wrap).
TEST(Cipher, MatchesPlainAlgorithm)
{
    std::vector<size_t> sizes;
    for (size_t n = 1; n <= 40; n++)
        sizes.push_back(n);
    for (size_t n : {63u, 64u, 65u, 100u, 127u, 128u, 200u, 254u, 255u, 256u, 257u, 258u, 300u,
                     383u, 384u, 400u, 509u, 510u, 511u, 512u, 513u, 600u})
        sizes.push_back(n);
    for (size_t n : {4096u, 65535u, 65536u, 65543u, (1u << 20) + 3, (5u << 20) + 11})
        sizes.push_back(n);

    std::mt19937 rng(12345);
    for (size_t n : sizes) {
        for (size_t key_len : {1u, 2u, 5u, 16u, 255u}) {
            bytes key(key_len);
            for (auto &b : key)
                b = static_cast<uint8_t>(rng());
            SCOPED_TRACE("N " + std::to_string(n) + ", key length " + std::to_string(key_len));

            vcrypt_state ctx;
            ASSERT_EQ(vcrypt_init(&ctx, key.data(), static_cast<int>(key_len), n), 0);
            plain_cipher ref(key, n);
            ASSERT_EQ(0, memcmp(ctx.state, ref.s.data(), n)) << "key schedule";

            // Large tables: a few keys suffice, the schedule is what matters.
            const size_t total = n > 4096 && key_len > 2 ? 0 : 3000 + n % 97;
            bytes src = testutil::random_bytes(total, static_cast<uint32_t>(n * 31 + key_len));
            bytes got(total), want(total);
            size_t p = 0;
            while (p < total) {
                size_t piece = std::min<size_t>(rng() % 3 == 0 ? rng() % 8 : rng() % 300, total - p);
                EXPECT_EQ(vcrypt_process(&ctx, src.data() + p, got.data() + p, piece), piece);
                ref.process(src.data() + p, want.data() + p, piece);
                ASSERT_EQ(ctx.i, ref.i);
                ASSERT_EQ(ctx.j, ref.j);
                p += piece;
            }
            EXPECT_EQ(got, want);
            EXPECT_EQ(0, memcmp(ctx.state, ref.s.data(), n)) << "table after processing";
            vcrypt_finish(&ctx);
        }
    }
}

// Only the low 8 bits of i and j carry over, and for small tables they may
// hold values at or above N; both must act exactly as the plain steps do.
TEST(Cipher, ArbitraryIndicesInContext)
{
    const uint8_t key[] = {3, 1, 4, 1, 5};
    for (size_t n : {5u, 100u, 256u, 300u, 1000u}) {
        for (uint64_t start : {uint64_t{0}, uint64_t{4}, uint64_t{99}, uint64_t{255},
                               uint64_t{0x1234567890ABCDEF}}) {
            vcrypt_state ctx;
            ASSERT_EQ(vcrypt_init(&ctx, key, 5, n), 0);
            plain_cipher ref(key, 5, n);
            ctx.i = start;
            ctx.j = start * 3 + 1;
            ref.i = static_cast<uint8_t>(ctx.i);
            ref.j = static_cast<uint8_t>(ctx.j);
            for (size_t len : {0u, 1u, 200u}) {
                bytes src = testutil::random_bytes(len, 9), got(len), want(len);
                vcrypt_process(&ctx, src.data(), got.data(), len);
                ref.process(src.data(), want.data(), len);
                EXPECT_EQ(got, want) << "N " << n << " start " << start << " len " << len;
                EXPECT_EQ(ctx.i, ref.i);
                EXPECT_EQ(ctx.j, ref.j);
            }
            vcrypt_finish(&ctx);
        }
    }
}

TEST(Cipher, SplitProcessingEqualsOneCall)
{
    const bytes key = material(0x11, "split");
    for (size_t n : {20u, 256u, 400u, 30000u}) {
        bytes src = testutil::random_bytes(30, 5), one(30), two(30);
        vcrypt_state a, b;
        ASSERT_EQ(vcrypt_init(&a, key.data(), static_cast<int>(key.size()), n), 0);
        ASSERT_EQ(vcrypt_init(&b, key.data(), static_cast<int>(key.size()), n), 0);
        vcrypt_process(&a, src.data(), one.data(), 30);
        vcrypt_process(&b, src.data(), two.data(), 10);
        vcrypt_process(&b, src.data() + 10, two.data() + 10, 20);
        EXPECT_EQ(one, two) << "N " << n;
        vcrypt_finish(&a);
        vcrypt_finish(&b);
    }
}

// In place, and with dst before src in one buffer (the output may not
// overtake the input, also not in the 8-byte steps).
TEST(Cipher, InPlaceAndOverlapping)
{
    for (int sized : {0, 1}) {
        for (size_t len : {0u, 1u, 9u, 64u, 1000u, 70000u}) {
            bytes src = testutil::random_bytes(len, static_cast<uint32_t>(len));
            bytes want = buf(0x33, "overlap", src, sized);

            bytes in_place = src;
            ASSERT_EQ(vcrypt_buf(0x33, "overlap", in_place.data(), in_place.data(), len, sized), 0);
            EXPECT_EQ(in_place, want) << "in place, len " << len;

            for (size_t shift : {1u, 3u, 8u, 13u}) {
                bytes block(len + shift, 0);
                std::copy(src.begin(), src.end(), block.begin() + static_cast<ptrdiff_t>(shift));
                ASSERT_EQ(vcrypt_buf(0x33, "overlap", block.data() + shift, block.data(), len, sized),
                          0);
                EXPECT_EQ(slice(block, 0, len), want) << "shift " << shift << ", len " << len;
            }
        }
    }
}

TEST(Cipher, TwiceRestores)
{
    bytes plain = testutil::random_bytes(5000, 77);
    for (int sized : {0, 1}) {
        for (size_t len : {1u, 2u, 255u, 256u, 257u, 5000u}) {
            bytes part = slice(plain, 0, len);
            bytes once = buf(0xC3, "again", part, sized);
            if (len >= 255) {
                EXPECT_NE(once, part) << len;
            }
            EXPECT_EQ(buf(0xC3, "again", once, sized), part) << len;
        }
    }
}

// Mended faults: an over-long key text, a key length below 1, a table of no
// entries, and finishing twice.
TEST(Cipher, RejectsAndEmptyCases)
{
    const bytes src = testutil::random_bytes(16, 1);
    bytes dst(16, 0xEE);
    EXPECT_EQ(vcrypt_buf(0, std::string(255, 'x').c_str(), src.data(), dst.data(), 16, 0), -1);
    EXPECT_EQ(vcrypt_buf(0, std::string(1000, 'x').c_str(), src.data(), dst.data(), 16, 1), -1);
    EXPECT_EQ(dst, bytes(16, 0xEE)) << "transformed nothing";
    const std::string longest(254, 'x');
    EXPECT_EQ(vcrypt_buf(0, longest.c_str(), src.data(), dst.data(), 16, 0), 0);
    plain_cipher ref(material(0, longest), 256);
    bytes want(16);
    ref.process(src.data(), want.data(), 16);
    EXPECT_EQ(dst, want);

    const uint8_t key[] = {1};
    for (int bad : {0, -1, -1000}) {
        vcrypt_state ctx;
        memset(&ctx, 0x5C, sizeof ctx);
        vcrypt_state before = ctx;
        EXPECT_EQ(vcrypt_init(&ctx, key, bad, 256), -1);
        EXPECT_EQ(0, memcmp(&ctx, &before, sizeof ctx)) << "context untouched";
    }

    vcrypt_state ctx;
    ASSERT_EQ(vcrypt_init(&ctx, key, 1, 0), 0);
    EXPECT_EQ(ctx.state, nullptr);
    EXPECT_EQ(ctx.state_len, 0u);
    dst.assign(16, 0xEE);
    EXPECT_EQ(vcrypt_process(&ctx, src.data(), dst.data(), 16), 0u);
    EXPECT_EQ(dst, bytes(16, 0xEE));
    vcrypt_finish(&ctx);
    EXPECT_EQ(vcrypt_buf(1, "k", nullptr, nullptr, 0, 1), 0);
    EXPECT_EQ(vcrypt_buf(1, "k", nullptr, nullptr, 0, 0), 0);

    ASSERT_EQ(vcrypt_init(&ctx, key, 1, 300), 0);
    vcrypt_finish(&ctx);
    EXPECT_EQ(ctx.state, nullptr);
    EXPECT_EQ(ctx.state_len, 0u);
    vcrypt_finish(&ctx); // harmless
    EXPECT_EQ(vcrypt_process(&ctx, src.data(), dst.data(), 16), 0u);
}

} // namespace
