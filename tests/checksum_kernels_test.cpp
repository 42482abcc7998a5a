// SPDX-License-Identifier: MIT
// Every checksum kernel in the build against the plain algorithms, on the
// CPU features this machine has.  Kernels the CPU cannot run are skipped
// with a message, so a machine without AVX-512 still checks the rest.
#include "checksum_kernels.h"
#include "testutil.h"
#include "velkor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

using testutil::bytes;
using namespace velkor_kernels;

namespace {

std::vector<const kernel_info *> kernels_except(const char *skip)
{
    std::vector<const kernel_info *> v;
    for (size_t i = 0; i < all_kernel_count; i++)
        if (std::strcmp(all_kernels[i].name, skip) != 0)
            v.push_back(&all_kernels[i]);
    return v;
}

class Kernel : public ::testing::TestWithParam<const kernel_info *> {
protected:
    void SetUp() override
    {
        if (!runs_here(*GetParam()))
            GTEST_SKIP() << "this CPU cannot run the " << GetParam()->name << " kernel";
    }
};

// All lengths 0..1024 at 64 start offsets, with changing start registers:
// covers every path through the block loops, the hand-over between the
// wide and narrow folds and the byte remainder, and unaligned loads.
TEST_P(Kernel, MatchesPlainForAllShortLengthsAndAlignments)
{
    const kernel_info &k = *GetParam();
    bytes data = testutil::random_bytes(1024 + 64, 11);
    std::mt19937 rng(5);
    for (size_t len = 0; len <= 1024; len++) {
        for (size_t off = 0; off < 64; off++) {
            const uint8_t *p = data.data() + off;
            uint32_t start = rng();
            ASSERT_EQ(k.crc(start, p, len), crc_plain(start, p, len))
                << k.name << " crc, length " << len << " offset " << off;
            ASSERT_EQ(k.csum(start, p, len), csum_plain(start, p, len))
                << k.name << " csum, length " << len << " offset " << off;
        }
    }
}

// Large buffers of several shapes, among them all-high bytes, where every
// sign correction is active, and bytes just below 0x80, where none is;
// lengths that run many times through the widest loop, end at every point
// of it, and start unaligned.  The oracle is the plain kernel, worked out
// once per case.
TEST_P(Kernel, MatchesPlainOnLargeBuffers)
{
    const kernel_info &k = *GetParam();
    const size_t n = (3u << 20) + 1000;
    struct shape { const char *name; bytes data; };
    static const shape shapes[] = {
        {"random", testutil::random_bytes(n + 64, 3)},
        {"all 0xFF", bytes(n + 64, 0xFF)},
        {"all 0x80", bytes(n + 64, 0x80)},
        {"all 0x7F", bytes(n + 64, 0x7F)},
    };
    struct cut { size_t off, len; };
    const cut cuts[] = {{0, n}, {63, n - 255}, {1, 4096}, {17, 4096 + 200},
                        {63, 65536 + 7}, {0, 65536 + 255}};
    for (const auto &s : shapes) {
        for (const cut &c : cuts) {
            const uint8_t *p = s.data.data() + c.off;
            EXPECT_EQ(k.crc(0x1234567u, p, c.len), crc_plain(0x1234567u, p, c.len))
                << k.name << " crc, " << s.name << " length " << c.len << " offset " << c.off;
            EXPECT_EQ(k.csum(0xFEDCBA98u, p, c.len), csum_plain(0xFEDCBA98u, p, c.len))
                << k.name << " csum, " << s.name << " length " << c.len << " offset " << c.off;
        }
    }
}

// A checksum split anywhere and continued from the intermediate register
// must equal the whole: the csum kernels carry sign corrections across
// their block boundaries and must not leak one past their own end.
TEST_P(Kernel, ContinuesAcrossSplits)
{
    const kernel_info &k = *GetParam();
    bytes data = testutil::random_bytes(5000, 9);
    const uint32_t whole_crc = crc_plain(7, data.data(), data.size());
    const uint32_t whole_csum = csum_plain(7, data.data(), data.size());
    for (size_t cut : {1, 2, 3, 15, 16, 63, 64, 255, 256, 257, 1000, 4095, 4999}) {
        uint32_t h = k.crc(7, data.data(), cut);
        EXPECT_EQ(k.crc(h, data.data() + cut, data.size() - cut), whole_crc) << k.name << " cut " << cut;
        uint32_t a = k.csum(7, data.data(), cut);
        EXPECT_EQ(k.csum(a, data.data() + cut, data.size() - cut), whole_csum) << k.name << " cut " << cut;
    }
}

std::string kernel_name(const ::testing::TestParamInfo<const kernel_info *> &info)
{
    return info.param->name;
}

INSTANTIATE_TEST_SUITE_P(All, Kernel, ::testing::ValuesIn(kernels_except("plain")), kernel_name);

// The plain kernels are the published algorithms themselves.
TEST(PlainKernel, AgreesWithTheDefinition)
{
    const uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(csum_plain(3, abc, 3), 0xC8232689u);
    const uint8_t high = 0x80;
    EXPECT_EQ(csum_plain(0, &high, 1), 0xED477CDFu);
    // crc over "abc" then its length byte 3, complemented, is cksum's value.
    const uint8_t abc_len[] = {'a', 'b', 'c', 3};
    EXPECT_EQ(~crc_plain(0, abc_len, 4), 0x48AA78A2u);
}

// One plain reflected CRC step (no sign extension) of byte b.
uint32_t reflected_step(uint32_t a, uint8_t b)
{
    a ^= b;
    for (int k = 0; k < 8; k++)
        a = (a & 1u) ? (a >> 1) ^ 0xEDB88320u : a >> 1;
    return a;
}

// The identity the fast csum kernels rest on, checked exhaustively over
// the register's low byte, the input byte and the sign (the register's
// upper bits only shift, so a few random ones suffice): a sign-extended
// byte is a plain step followed by XOR 0x00FFFFFF.
TEST(SignFold, HighByteIsPlainStepPlusConstant)
{
    std::mt19937 rng(1);
    for (unsigned low = 0; low < 256; low++) {
        for (unsigned v = 0; v < 256; v++) {
            uint32_t a = (rng() & 0xFFFFFF00u) | low;
            uint8_t b = static_cast<uint8_t>(v);
            uint32_t want = csum_plain(a, &b, 1);
            uint32_t got = reflected_step(a, b) ^ (v >= 0x80 ? 0x00FFFFFFu : 0);
            ASSERT_EQ(got, want) << "register " << a << " byte " << v;
        }
    }
}

// ... and its consequence over a whole buffer: XOR 0xFF into the three
// bytes after each high byte, run the plain reflected CRC, and add the
// terms of the last three bytes (csum_tail) at the end.
TEST(SignFold, BufferIsPlainCrcOfCorrectedBytesPlusTail)
{
    for (size_t n : {3, 4, 5, 16, 100, 1023}) {
        bytes d = testutil::random_bytes(n, static_cast<uint32_t>(n));
        bytes corrected = d;
        for (size_t j = 0; j < n; j++)
            if (d[j] >= 0x80)
                for (size_t i = j + 1; i <= j + 3 && i < n; i++)
                    corrected[i] ^= 0xFF;
        uint32_t a = 0x5A5A5A5Au;
        for (uint8_t b : corrected)
            a = reflected_step(a, b);
        a ^= csum_tail(d.data() + n);
        EXPECT_EQ(a, csum_plain(0x5A5A5A5Au, d.data(), n)) << "length " << n;
    }
}

// The dispatcher's choice for every set of the features the kernels need:
// never a kernel that needs a feature missing from the set, and the
// fastest of those that need none (the table lists them slowest first).
// Without any feature, and on a CPU missing one a tier needs besides
// others it has, that is a slower tier.
TEST(Dispatch, ChoiceNeedsOnlyFeaturesTheCpuHas)
{
    const unsigned known = feat_pclmul | feat_vpclmul512 | feat_pmull;
    for (unsigned f = 0; f <= known; f++) {
        if (f & ~known)
            continue;
        const tier t = choose_tier(f);
        EXPECT_EQ(tier_needs(t) & ~f, 0u) << "features " << f;
        tier best = tier::portable;
        for (size_t i = 0; i < all_kernel_count; i++)
            if ((tier_needs(all_kernels[i].family) & ~f) == 0)
                best = all_kernels[i].family;
        EXPECT_EQ(t, best) << "features " << f;
    }
    EXPECT_EQ(choose_tier(0), tier::portable);
    EXPECT_EQ(choose_tier(feat_vpclmul512), tier::portable) << "VPCLMULQDQ without PCLMULQDQ";
    // This CPU's own choice is a kernel it can run.
    EXPECT_EQ(tier_needs(choose_tier(cpu_features())) & ~cpu_features(), 0u);
}

// The public functions reach a kernel: whichever the dispatcher chose gives
// the plain results, on a buffer long enough for the widest fold.
TEST(Dispatch, PublicFunctionsMatchPlain)
{
    bytes d = testutil::random_bytes(100000, 4);
    uint32_t h = crc_plain(0, d.data(), d.size());
    for (size_t n = d.size(); n > 0; n >>= 8) {
        uint8_t b = static_cast<uint8_t>(n);
        h = crc_plain(h, &b, 1);
        if (n <= 255)
            break;
    }
    EXPECT_EQ(velkor_crc(d.data(), d.size()), ~h);
    EXPECT_EQ(velkor_csum(99, d.data(), d.size()), csum_plain(99, d.data(), d.size()));
}

} // namespace
