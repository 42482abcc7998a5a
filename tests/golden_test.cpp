// SPDX-License-Identifier: MIT
// Known outputs compared byte for byte with fixed expected bytes: checksums,
// keystreams, containers and a tagged file.  Both formats are big-endian on
// the wire whatever the host, so on a big-endian host (the s390x build runs
// this under qemu) the same bytes must come out.
//
// The expected values are in known_answers.h, which the device test images
// run too; they come from tests/golden_gen.py, an independent model
// written from the definitions and itself checked against cksum(1) and
// published RC4 keystream.
#include "known_answers.h"
#include "testutil.h"
#include "velkor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using testutil::bytes;

namespace {

namespace ka = known_answers;

bytes pattern(size_t n, unsigned seed)
{
    bytes b(n);
    ka::pattern(b.data(), 0, n, seed);
    return b;
}

bytes from_hex(const std::string &h)
{
    bytes b(h.size() / 2);
    for (size_t k = 0; k < b.size(); k++)
        b[k] = ka::hex_byte(h.c_str() + 2 * k);
    return b;
}

TEST(Golden, Checksums)
{
    for (const auto &c : ka::checksums) {
        const bytes a = pattern(c.len, 1), b = pattern(c.len, 2);
        EXPECT_EQ(velkor_crc(a.data(), a.size()), c.crc) << c.len;
        EXPECT_EQ(velkor_csum(0x12345678, b.data(), b.size()), c.csum) << c.len;
        // Again from an odd address, where a kernel must not rely on alignment.
        bytes shifted(c.len + 3);
        std::copy(a.begin(), a.end(), shifted.begin() + 3);
        EXPECT_EQ(velkor_crc(shifted.data() + 3, c.len), c.crc) << c.len << " at offset 3";
    }
}

// The keystream: zeros enciphered, with 256 entries, a small data-sized
// table and one above 256 entries.  On s390x this caught the generator
// XORing eight keystream bytes as one 64-bit word built in little-endian
// order: every byte of each group of eight landed mirrored.
TEST(Golden, Keystreams)
{
    for (const auto &c : ka::keystreams) {
        bytes out(c.len);
        const bytes zeros(c.len);
        ASSERT_EQ(vcrypt_buf(c.prefix, c.key, zeros.data(), out.data(), c.len, c.dss), 0);
        EXPECT_EQ(out, from_hex(c.hex)) << c.key << " " << c.len;
    }
}

// Whole containers: written byte for byte, and read back from the stored
// bytes.
TEST(Golden, Containers)
{
    for (const auto &c : ka::containers) {
        SCOPED_TRACE(c.label);
        const bytes payload = pattern(c.len, c.seed);
        const bytes want = from_hex(c.hex);

        enc_info info = ka::container_info(c);
        info.checksum = velkor_csum(info.data_length, payload.data(), payload.size());
        const size_t header = enc_compute_header_len(c.label, c.sublabel);
        bytes buf(enc_compute_buf_len(c.label, c.sublabel, c.len));
        std::copy(payload.begin(), payload.end(), buf.begin() + static_cast<ptrdiff_t>(header));
        ASSERT_EQ(encrypt_buf(&info, buf.data(), buf.data() + header), 0);
        buf.resize(want.size());
        EXPECT_EQ(buf, want);

        enc_info got{};
        got.key = c.key;
        got.data_sized_state = c.dss;
        bytes stored = want;
        ASSERT_EQ(decrypt_buf(&got, stored.data(), static_cast<int64_t>(stored.size())), 0);
        EXPECT_STREQ(got.magic, c.magic);
        EXPECT_EQ(got.key_prefix, c.prefix);
        EXPECT_STREQ(got.label, c.label);
        EXPECT_STREQ(got.sublabel, c.sublabel);
        EXPECT_EQ(got.data_length, c.len);
        EXPECT_EQ(bytes(stored.begin(), stored.begin() + static_cast<ptrdiff_t>(c.len)), payload);
    }
}

// bgntag's output for a 1000-byte input: the header, then the input.
TEST(Golden, TaggedFile)
{
    testutil::scratch_dir dir;
    const bytes data = pattern(ka::tagged_pattern_len, ka::tagged_pattern_seed);
    testutil::write_file(dir / "in", data);
    auto r = testutil::run({BGNTAG_PATH, dir / "in", dir / "out"});
    ASSERT_EQ(r.status, 0) << r.err;
    bytes want = from_hex(ka::tagged_pattern_header);
    want.insert(want.end(), data.begin(), data.end());
    EXPECT_EQ(testutil::read_file(dir / "out"), want);
}

} // namespace
