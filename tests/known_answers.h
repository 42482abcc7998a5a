// SPDX-License-Identifier: MIT
// known_answers.h - the library's known answers, one copy for every test
// that checks them: the host's GoogleTest programs (golden_test.cpp and
// others) and the device test images run under qemu (tests/device/), so
// that the device build can never drift from the host's answers.
//
// Plain constant tables and a few helpers, no allocation and nothing of
// the standard library beyond the C headers, so that they build for a
// microcontroller too.
// The golden values come from tests/golden_gen.py, an independent model
// written from the definitions and itself checked against cksum(1) and
// published RC4 keystream; the others say where they come from.
#ifndef VELKOR_KNOWN_ANSWERS_H
#define VELKOR_KNOWN_ANSWERS_H

#include "velkor.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace known_answers {

// The same data on every host, from a formula (golden_gen.py has its twin).
inline uint8_t pattern_byte(size_t k, unsigned seed)
{
    return static_cast<uint8_t>(k * 131 + seed * 17 + (k >> 8));
}

inline void pattern(uint8_t *out, size_t from, size_t n, unsigned seed)
{
    for (size_t k = 0; k < n; k++)
        out[k] = pattern_byte(from + k, seed);
}

// Two hex digits, as the tables below spell bytes.
inline uint8_t hex_byte(const char *h)
{
    auto nibble = [](char c) {
        return static_cast<uint8_t>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
    };
    return static_cast<uint8_t>(nibble(h[0]) << 4 | nibble(h[1]));
}

// --- checksums -------------------------------------------------------------

// Numbers from the definition of the checksums: the CRC equals cksum(1)'s
// first field, and velkor_csum sign-extends every byte.
struct text_crc {
    const char *text;
    size_t repeat; // the text this many times
    uint32_t crc;
};
inline constexpr text_crc crc_texts[] = {
    {"abc", 1, 0x48AA78A2u},
    {"", 1, 0xFFFFFFFFu},
    {"a", 300, 1664553091u},
};

struct text_csum {
    uint32_t initial;
    const char *text;
    size_t len;
    uint32_t csum;
};
inline constexpr text_csum csum_texts[] = {
    {3, "abc", 3, 0xC8232689u},
    {0, "abc", 3, 0xCA6598D0u},
    {0, "\x80", 1, 0xED477CDFu}, // a zero-extended byte would give 0xEDB88320
    {0x12345678u, "", 0, 0x12345678u},
};

// {length, velkor_crc(pattern(length, 1)), velkor_csum(0x12345678, pattern(length, 2))}
struct checksum_case {
    size_t len;
    uint32_t crc, csum;
};
inline constexpr checksum_case checksums[] = {
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

// --- tagged files ----------------------------------------------------------

// Tagging the three bytes "abc": the header, then the payload; the CRC
// 0x07E3221F is velkor_crc of all 23 bytes with bytes 16..19 zero.
inline constexpr const char tagged_abc[] = "62676e0000000000000000b100000017"
                                           "07e3221f616263";
inline constexpr uint32_t tagged_abc_crc = 0x07E3221Fu;
// Tagging nothing: the header alone.
inline constexpr const char tagged_empty[] = "62676e0000000000000000b10000001498b96aa8";

// The header of pattern(1000, 5) tagged.
inline constexpr size_t tagged_pattern_len = 1000;
inline constexpr unsigned tagged_pattern_seed = 5;
inline constexpr const char tagged_pattern_header[] = "62676e0000000000000000b1000003fc91a8cd13";

// --- cipher ----------------------------------------------------------------

// RFC 6229, 40-bit key 01 02 03 04 05: keystream at offsets 0 and 4096.
inline constexpr uint8_t rfc6229_key[] = {1, 2, 3, 4, 5};
struct keystream_at {
    size_t offset;
    const char *hex; // 16 bytes
};
inline constexpr keystream_at rfc6229_40bit[] = {
    {0, "b2396305f03dc027ccc3524a0a1118a8"},
    {4096, "ff25b58995996707e51fbdf08b34d875"},
};

// vcrypt_buf over zeros: {prefix, key, length, dss, keystream}, with 256
// entries, a small data-sized table and one above 256 entries.
struct keystream_case {
    uint8_t prefix;
    const char *key;
    size_t len;
    int dss;
    const char *hex;
};
inline constexpr keystream_case keystreams[] = {
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

// --- containers ------------------------------------------------------------

// Whole containers, {magic, prefix, key, label, sublabel, payload length,
// pattern seed, dss, bytes}; the first is the smallest one, 27 bytes.
struct container_case {
    const char *magic;
    uint8_t prefix;
    const char *key, *label, *sublabel;
    size_t len;
    unsigned seed;
    int dss;
    const char *hex;
};
inline constexpr container_case containers[] = {
    {"asar1", 0x09, "", "a", "b", 0, 0, 0, "61736172310009000000023bdd00000002fdf40000000000000000"},
    {"start", 0xC3, "big-endian", "label text", "sub", 70, 3, 1,
     "737461727400c30000000b656968636d287d617e720500000004727562010000"
     "00461ea13c8330ec59cd0ae512fe7bd76fc778c56eff41e15dd857d78f1caf3e"
     "a234ab26850e94278b6a9c18a6758e1da902dc07ce66d773f179f85ec578f860"
     "a87aee41d56beaa3bfa13f07"},
    {"asar1", 0x80, "k", "0123456789abcdefghijklmnopqrstu", "ABCDEFG", 300, 4, 0,
     "61736172310080000000205dae35afc5cdfb2fddae203b02fadfa1225e3f460a"
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

// The writer's record for a case, all but the checksum.
inline enc_info container_info(const container_case &c)
{
    enc_info info;
    memset(&info, 0, sizeof info);
    info.key = c.key;
    memcpy(info.magic, c.magic, sizeof info.magic);
    strcpy(info.label, c.label);
    strcpy(info.sublabel, c.sublabel);
    info.key_prefix = c.prefix;
    info.data_sized_state = c.dss;
    info.data_length = static_cast<uint32_t>(c.len);
    return info;
}

// enc_compute_buf_len for header + payload of 100..104 bytes (label "l" and
// sublabel "s" make a 23-byte header).
struct buf_len_case {
    size_t header_plus_data, buf_len;
};
inline constexpr buf_len_case buf_lens[] = {
    {100, 108}, {101, 108}, {102, 108}, {103, 108}, {104, 112},
};

// enc_compute_buf_len for payloads near 4 GiB under the same 23-byte
// header: the exact size, which a 32-bit size_t cannot hold from
// 0xFFFFFFE1 on; there the answer is SIZE_MAX (fitted()), never the small
// size the sum would wrap around to.
struct buf_len_wide_case {
    uint32_t data;
    uint64_t buf_len;
};
inline constexpr buf_len_wide_case buf_lens_near_4g[] = {
    {0xFFFFFF00u, 0xFFFFFF1Cu},  // the forged header's claim: fits
    {0xFFFFFFE0u, 0xFFFFFFFCu},  // 23 + D = 0xFFFFFFF7: the last that fits
    {0xFFFFFFE1u, 0x100000000u}, // 0xFFFFFFF8 + 8 passes 32 bits
    {0xFFFFFFFFu, 0x10000001Cu}, // the largest D a container holds
};
inline size_t fitted(uint64_t exact)
{
    return exact > SIZE_MAX ? SIZE_MAX : static_cast<size_t>(exact);
}

} // namespace known_answers

#endif
