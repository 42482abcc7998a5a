// SPDX-License-Identifier: MIT
// Writes the seed corpus in fuzz/corpus/: a few inputs per target, each a
// case worth starting from.  Run from the source tree after changing the
// targets' input layout:  build/fuzz/fuzz/make_seeds fuzz/corpus
#include "velkor.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace {

using bytes = std::vector<uint8_t>;

std::string root;

void put(const std::string &target, const std::string &name, const bytes &b)
{
    std::string dir = root + "/" + target;
    mkdir(dir.c_str(), 0755);
    std::string path = dir + "/" + name;
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr || fwrite(b.data(), 1, b.size(), f) != b.size() || fclose(f) != 0) {
        perror(path.c_str());
        exit(1);
    }
}

bytes pattern(size_t n, unsigned seed)
{
    bytes b(n);
    for (size_t k = 0; k < n; k++)
        b[k] = static_cast<uint8_t>(k * 131 + seed * 17 + (k >> 8));
    return b;
}

// fuzz_stream's input: flags, key text (length byte, characters), piece
// count and sizes, the file.
void stream_seed(const std::string &name, uint8_t flags, const std::string &key,
                 const bytes &sizes, const bytes &file)
{
    bytes in{flags, static_cast<uint8_t>(key.size())};
    in.insert(in.end(), key.begin(), key.end());
    in.push_back(static_cast<uint8_t>(sizes.size() - 1));
    in.insert(in.end(), sizes.begin(), sizes.end());
    in.insert(in.end(), file.begin(), file.end());
    put("stream", name, in);
}

// A container as encrypt_buf writes it, with `trailing` bytes after it.
bytes container(const char *magic, uint8_t prefix, const std::string &key, const char *label,
                const char *sublabel, const bytes &payload, int dss, size_t trailing = 0)
{
    enc_info info{};
    info.key = key.c_str();
    memcpy(info.magic, magic, 6);
    strcpy(info.label, label);
    strcpy(info.sublabel, sublabel);
    info.key_prefix = prefix;
    info.data_sized_state = dss;
    info.data_length = static_cast<uint32_t>(payload.size());
    info.checksum = velkor_csum(info.data_length, payload.data(), payload.size());
    const size_t header = enc_compute_header_len(label, sublabel);
    bytes c(enc_compute_buf_len(label, sublabel, payload.size()));
    std::copy(payload.begin(), payload.end(), c.begin() + static_cast<ptrdiff_t>(header));
    if (encrypt_buf(&info, c.data(), c.data() + header) != 0) {
        fprintf(stderr, "encrypt_buf failed\n");
        exit(1);
    }
    c.resize(header + payload.size() + 4 + trailing, 0x5A);
    return c;
}

// A tagged file as bgntag writes it.
bytes tagged(const bytes &payload)
{
    velkor_crc_state st;
    velkor_crc_init(&st);
    velkor_crc_update(&st, payload.data(), payload.size());
    bytes t(VELKOR_TAG_HEADER_LEN);
    if (velkor_tag_build(t.data(), &st) != 0)
        exit(1);
    t.insert(t.end(), payload.begin(), payload.end());
    return t;
}

bytes join(std::initializer_list<bytes> parts)
{
    bytes r;
    for (const bytes &p : parts)
        r.insert(r.end(), p.begin(), p.end());
    return r;
}

// fuzz_scan's input: flags, key text (length byte, characters), piece seed
// (2 bytes), image.
void scan_seed(const std::string &name, uint8_t flags, const std::string &key, const bytes &image)
{
    bytes in{flags, static_cast<uint8_t>(key.size())};
    in.insert(in.end(), key.begin(), key.end());
    in.push_back(0x12);
    in.push_back(0x34);
    in.insert(in.end(), image.begin(), image.end());
    put("scan", name, in);
}

// fuzz_decrypt's input: flags, key text (length byte, characters), container.
void container_seed(const std::string &name, const char *magic, uint8_t prefix,
                    const std::string &key, const char *label, const char *sublabel,
                    const bytes &payload, int dss, size_t trailing = 0)
{
    const bytes c = container(magic, prefix, key, label, sublabel, payload, dss, trailing);
    bytes in{static_cast<uint8_t>(dss), static_cast<uint8_t>(key.size())};
    in.insert(in.end(), key.begin(), key.end());
    in.insert(in.end(), c.begin(), c.end());
    put("decrypt", name, in);
}

// fuzz_cipher's input: flags, key_prefix, key text, N, splits, starting i
// and j, data.
void cipher_seed(const std::string &name, uint8_t flags, uint8_t prefix, const std::string &key,
                 uint16_t n, const std::vector<uint16_t> &splits, const bytes &data,
                 uint8_t i0 = 0, uint8_t j0 = 0)
{
    bytes in{flags, prefix, static_cast<uint8_t>(key.size())};
    in.insert(in.end(), key.begin(), key.end());
    in.push_back(static_cast<uint8_t>(n >> 8));
    in.push_back(static_cast<uint8_t>(n));
    in.push_back(static_cast<uint8_t>(splits.size()));
    for (uint16_t s : splits) {
        in.push_back(static_cast<uint8_t>(s >> 8));
        in.push_back(static_cast<uint8_t>(s));
    }
    in.push_back(i0);
    in.push_back(j0);
    in.insert(in.end(), data.begin(), data.end());
    put("cipher", name, in);
}

// fuzz_checksum's input: offset, starting register, data.
void checksum_seed(const std::string &name, uint8_t offset, uint32_t start, const bytes &data)
{
    bytes in{offset, static_cast<uint8_t>(start >> 24), static_cast<uint8_t>(start >> 16),
             static_cast<uint8_t>(start >> 8), static_cast<uint8_t>(start)};
    in.insert(in.end(), data.begin(), data.end());
    put("checksum", name, in);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s <corpus-dir>\n", argv[0]);
        return 1;
    }
    root = argv[1];
    mkdir(root.c_str(), 0755);

    // The smallest container: the 27-byte layout with empty payload.
    container_seed("minimal-asar1", "asar1", 0x09, "", "a", "b", {}, 0);
    // Longest texts, data-sized tables, a payload with high bytes.
    container_seed("maximal-texts-dss", "start", 0xF0, "secret key",
                   "0123456789abcdefghijklmnopqrstu", "ABCDEFG", pattern(100, 1), 1);
    // 256 bytes: both table settings give the payload the same table.
    container_seed("payload-256", "asar1", 0x00, "k", "label", "sub", pattern(256, 2), 0);
    // Bytes after the checksum are ignored.
    container_seed("trailing-bytes", "start", 0x7F, "trail", "t", "s", pattern(40, 3), 1, 9);

    // Containers in pieces: one byte at a time through the header, the
    // payload and checksum split across pieces, bytes after the checksum.
    stream_seed("container-bytewise", 0x04, "key", {1},
                container("asar1", 0x21, "key", "label", "sub", pattern(300, 10), 0, 5));
    stream_seed("container-dss-mixed", 0x00, "k2", {7, 0, 60, 3, 200},
                container("start", 0x80, "k2", "0123456789abcdefghijklmnopqrstu", "ABCDEFG",
                          pattern(1000, 11), 1));
    // Shorter than the longest header, so the header sees the whole input.
    stream_seed("container-short", 0x04, "", {2, 5},
                container("start", 0x00, "", "a", "b", {}, 0));
    // Tagged files: split inside the header, and an empty payload.
    stream_seed("tagged-split-header", 0x00, "", {13, 1, 250}, tagged(pattern(700, 12)));
    stream_seed("tagged-empty", 0x00, "", {0, 19, 1}, tagged({}));
    // Any bytes, with both sound headers written in by the target.
    stream_seed("repaired", 0x07, "key", {64, 1}, pattern(500, 13));

    // RC4 proper: 256 entries, split at several points.
    cipher_seed("rc4-splits", 0x00, 0x01, "Key", 256, {1, 17, 200}, pattern(300, 4));
    // A data-sized table below 256 entries, overlapping in-place copy.
    cipher_seed("small-table", 0x07 | 0x40, 0x42, "ab", 3, {1}, pattern(2, 5));
    // A table above 256 entries, with the longest key text allowed.
    cipher_seed("large-table-long-key", 0x01, 0x99, std::string(254, 'k'), 700, {255, 256, 511},
                pattern(600, 6));
    // A small table entered with indices beyond it, high bits set.
    cipher_seed("indices-beyond-table", 0x80, 0x10, "idx", 5, {3}, pattern(100, 8), 250, 77);
    // A key text one character too long is refused.
    cipher_seed("key-too-long", 0x00, 0x00, std::string(255, 'x'), 0, {}, pattern(16, 7));

    // Nothing at all: the kernels must not read.
    checksum_seed("empty", 0, 0, {});
    // One byte with its top bit set: the sign extension of csum.
    checksum_seed("one-high-byte", 1, 0xFFFFFFFF, {0x80});
    // Lengths around the folding kernels' block sizes, at odd offsets.
    checksum_seed("short-tail", 13, 0x12345678, pattern(255, 8));
    checksum_seed("blocks-and-tail", 7, 0, pattern(1000, 9));
    // All bytes high, a few blocks of 256 bytes and a tail, at the last offset.
    checksum_seed("all-high-bytes", 63, 0xDEADBEEF, bytes(4100, 0xFF));

    // A tagged file holding a container and a tagged file, under the key.
    const bytes c = container("start", 0x21, "k", "label", "sub", pattern(90, 10), 0);
    const bytes inner = tagged(pattern(30, 11));
    scan_seed("nested-keyed", 0x00, "k",
              join({pattern(7, 12), tagged(join({pattern(5, 13), c, inner})), pattern(3, 14)}));
    // Data-sized tables, a damaged tagged file and one cut by the end.
    const bytes d = container("asar1", 0x05, "k", "", "", pattern(40, 15), 1);
    bytes damaged = tagged(pattern(50, 16));
    damaged[30] ^= 1;
    const bytes cut = tagged(pattern(60, 17));
    scan_seed("dss-damaged-cut", 0x01, "k",
              join({d, damaged, bytes(cut.begin(), cut.begin() + 40)}));
    // Without a key, a small memory limit, several nested tagged files.
    bytes nest = tagged(pattern(10, 18));
    for (int k = 0; k < 8; k++)
        nest = tagged(join({pattern(3, 19), nest, c}));
    scan_seed("nest-small-limit", 0x02, "", nest);
    return 0;
}
