// Known outputs compared byte for byte with fixed expected bytes: checksums,
// keystreams, containers and a tagged file.  Both formats are big-endian on
// the wire whatever the host, so on a big-endian host (the s390x build runs
// this under qemu) the same bytes must come out.
//
// The expected values come from tests/golden_gen.py, an independent model
// written from the definitions and itself checked against cksum(1) and
// published RC4 keystream; this host's build agrees with them.
#include "testutil.h"
#include "velkor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using testutil::bytes;

namespace {

// The same data on every host, from a formula (golden_gen.py has its twin).
bytes pattern(size_t n, unsigned seed)
{
    bytes b(n);
    for (size_t k = 0; k < n; k++)
        b[k] = static_cast<uint8_t>(k * 131 + seed * 17 + (k >> 8));
    return b;
}

bytes from_hex(const std::string &h)
{
    bytes b(h.size() / 2);
    for (size_t k = 0; k < b.size(); k++)
        b[k] = static_cast<uint8_t>(std::stoul(h.substr(2 * k, 2), nullptr, 16));
    return b;
}

TEST(Golden, Checksums)
{
    // {length, velkor_crc(pattern(length, 1)), velkor_csum(0x12345678, pattern(length, 2))}
    const struct { size_t len; uint32_t crc, csum; } cases[] = {
        {0, 0xFFFFFFFF, 0x12345678},
        {1, 0x3976B887, 0x8BAC8CBC},
        {3, 0x08E5B2B7, 0x67B95537},
        {15, 0x84E89B20, 0xC33666E3},
        {16, 0x0F129978, 0x32E4A57A},
        {17, 0x50FF75B2, 0x35874C5F},
        {63, 0xB7098442, 0x60169CCA},
        {64, 0x8C21AFE2, 0x80057157},
        {65, 0xBCDB3656, 0xBB74BD8D},
        {255, 0x38E3B664, 0x8B7F9CE7},
        {256, 0x6ED1BD25, 0x5EAA796D},
        {257, 0xEA9B8F1F, 0x913AC6EE},
        {1000, 0xFAD9DC4E, 0xA069712E},
        {4096, 0x6C2EC1EB, 0x12813C17},
        {65543, 0xE949B6F2, 0xF3C1218F},
        {1048576, 0x0F0103B6, 0xF04E7484},
    };
    for (const auto &c : cases) {
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
    const struct { uint8_t prefix; const char *key; size_t len; int dss; const char *hex; } cases[] = {
        {0x00, "Key", 48, 0, "94471aa4ba776283fc9cc99830260b23d0b72fa13b9a61162b52cab82df4d9ae"
             "475f3909f1de075f6037e8f5c6271825"},
        {0x07, "golden", 5, 1, "0401010001"},
        {0x07, "golden", 300, 1, "1716084e5b39a0209146f63d0b1fe820898b1f9bda060df9025109e14f46ba12"
             "62056c1f094ff0b52e8f0d2a0db4ce2b24fddc5c622b0828eccbd939264e9bf2"
             "dc13f6f1c725d683c575cea8146ef789d06e04ab2f0bbaeb2c18518816d0e22a"
             "856c7d15de75de8f511d184d12d4889e713adeee8a497acbbe13938be80109b9"
             "03ec0d060c26272031f371884d7057ef1316aee8195e0ab775e9422c5065497c"
             "b919560a5e19be258ca9dd331fd53bab1efe47109e3922b8241bd4a745d61b25"
             "0a85abe8e51b9d42c957f0cf38bb1f5ef5422755b931ce1698035a1bb20de321"
             "0e881822134259408e1df3b021e2fb30e1398bb7177510f5452b039b5942578a"
             "cd170917605457a98b25c08d1befda748526328d515e0cea9b5ed5d4ddfd2abd"
             "489c2f1b79c477dd4e532317"},
    };
    for (const auto &c : cases) {
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
    const struct {
        const char *magic;
        uint8_t prefix;
        const char *key, *label, *sublabel;
        size_t len;
        unsigned seed;
        int dss;
        const char *hex;
    } cases[] = {
        {"asar1", 0x09, "", "a", "b", 0, 0, 0, "61736172310009000000023bdd00000002fdf40000000000000000"},
        {"start", 0xC3, "big-endian", "label text", "sub", 70, 3, 1, "737461727400c30000000b656968636d287d617e720500000004727562010000"
             "00461ea13c8330ec59cd0ae512fe7bd76fc778c56eff41e15dd857d78f1caf3e"
             "a234ab26850e94278b6a9c18a6758e1da902dc07ce66d773f179f85ec578f860"
             "a87aee41d56beaa3bfa13f07"},
        {"asar1", 0x80, "k", "0123456789abcdefghijklmnopqrstu", "ABCDEFG", 300, 4, 0, "61736172310080000000205dae35afc5cdfb2fddae203b02fadfa1225e3f460a"
             "e36d9196444c817d08638700000008f60b1c176a08337f0000012c5599975363"
             "e26584d124f993f9dbbdf6453ccb7d3a17dd8e8b6f316f9eb572af05fb70d190"
             "58cebcd0867141654c59dc7445a1e094beae4e17dd94f99f62468e309ee4293e"
             "6cb860be6a4268d47513aaa7a128811540455123683d6e9c873c43e232508f7a"
             "e534909611522ed64ef828ed49a1d1514d49931c2df0cda46235bc2aa0d6edb2"
             "960715e73d808e201b29108819d8a9623cc1fcaa9d4beee5a8367c400206eaf7"
             "0e1297ac6c8f1889c73ec59c22c76dbb220e131b99bc8c1a3a67d716cc856f55"
             "b53dd08ff50440ff9b35193bc1e5f55e03f7d69c34e214d6fb0a9efd19aba5aa"
             "f21f08a99c66c015405ff64b0aac74efe11892923be8b543d7ad35d765e53bc9"
             "b5395a062a962b8a381a59391624618deda6292b16c2fa1cb9ed464681f61d75"
             "c0175989123f7d3192eff6"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        const bytes payload = pattern(c.len, c.seed);
        const bytes want = from_hex(c.hex);

        enc_info info{};
        info.key = c.key;
        memcpy(info.magic, c.magic, 6);
        strcpy(info.label, c.label);
        strcpy(info.sublabel, c.sublabel);
        info.key_prefix = c.prefix;
        info.data_sized_state = c.dss;
        info.data_length = static_cast<uint32_t>(c.len);
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
    const bytes data = pattern(1000, 5);
    testutil::write_file(dir / "in", data);
    auto r = testutil::run({BGNTAG_PATH, dir / "in", dir / "out"});
    ASSERT_EQ(r.status, 0) << r.err;
    bytes want = from_hex("62676e0000000000000000b1000003fc91a8cd13");
    want.insert(want.end(), data.begin(), data.end());
    EXPECT_EQ(testutil::read_file(dir / "out"), want);
}

} // namespace
