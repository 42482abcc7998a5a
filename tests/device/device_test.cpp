// SPDX-License-Identifier: MIT
// The device build's known answers, run on the device itself (under qemu,
// on mps2-an385 and mps2-an386, one image per checksum kernel): the same
// tables as the host's tests (known_answers.h), then the tagged-file
// checks, the container's round trips and refusals, and the claim that
// nothing but a data-sized table above 256 entries touches the heap.
//
// No test framework fits in a microcontroller; CHECK counts and reports
// each failure, and main's status (the number of failures, capped) is
// qemu's exit status through semihosting.
#include "known_answers.h"
#include "velkor.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace ka = known_answers;

namespace {

unsigned checks, failures;

bool check(bool ok, const char *what, int line, const char *detail = "")
{
    checks++;
    if (!ok) {
        failures++;
        printf("FAIL line %d: %s %s\n", line, what, detail);
    }
    return ok;
}
#define CHECK(cond, ...) check((cond), #cond, __LINE__ __VA_OPT__(, ) __VA_ARGS__)

// Room for the largest buffer a case needs, in RAM.
uint8_t buf[70000];
uint8_t spare[70000];

size_t from_hex(const char *h, uint8_t *out)
{
    const size_t n = strlen(h) / 2;
    for (size_t k = 0; k < n; k++)
        out[k] = ka::hex_byte(h + 2 * k);
    return n;
}

} // namespace

// Counting the library's calls to the heap: the program is linked with
// --wrap=malloc, so every malloc in it (newlib's own included) comes here.
extern "C" {
void *__real_malloc(size_t n);
unsigned heap_calls;
void *__wrap_malloc(size_t n)
{
    heap_calls++;
    return __real_malloc(n);
}
}

namespace {

void checksums()
{
    for (const auto &c : ka::crc_texts) {
        velkor_crc_state st;
        velkor_crc_init(&st);
        for (size_t k = 0; k < c.repeat; k++)
            velkor_crc_update(&st, reinterpret_cast<const uint8_t *>(c.text), strlen(c.text));
        CHECK(velkor_crc_final(&st) == c.crc, c.text);
    }
    for (const auto &c : ka::csum_texts)
        CHECK(velkor_csum(c.initial, reinterpret_cast<const uint8_t *>(c.text), c.len) == c.csum);

    // Whole where the buffer holds them (from an odd address too), and in
    // pieces of 4099 bytes for every length.
    for (const auto &c : ka::checksums) {
        if (c.len + 3 <= sizeof buf) {
            ka::pattern(buf, 0, c.len, 1);
            CHECK(velkor_crc(buf, c.len) == c.crc);
            ka::pattern(buf + 3, 0, c.len, 1);
            CHECK(velkor_crc(buf + 3, c.len) == c.crc, "at offset 3");
            ka::pattern(buf, 0, c.len, 2);
            CHECK(velkor_csum(0x12345678, buf, c.len) == c.csum);
        }
        velkor_crc_state st;
        velkor_crc_init(&st);
        uint32_t csum = 0x12345678;
        for (size_t at = 0; at < c.len; at += 4099) {
            const size_t n = c.len - at < 4099 ? c.len - at : 4099;
            ka::pattern(buf, at, n, 1);
            velkor_crc_update(&st, buf, n);
            ka::pattern(buf, at, n, 2);
            csum = velkor_csum(csum, buf, n);
        }
        CHECK(velkor_crc_final(&st) == c.crc, "in pieces");
        CHECK(csum == c.csum, "in pieces");
    }
}

// The stepwise check a bootloader makes, on the image at p of len bytes
// delivered in pieces of `piece` bytes.
velkor_tag_reason check_tagged(const uint8_t *p, size_t len, size_t piece, velkor_tag_info *info)
{
    velkor_tag_reason why = velkor_tag_parse(info, p, len);
    if (why != VELKOR_TAG_OK)
        return why;
    if ((why = velkor_tag_check_length(info, len)) != VELKOR_TAG_OK)
        return why;
    velkor_crc_state st;
    velkor_crc_init(&st);
    for (size_t at = VELKOR_TAG_HEADER_LEN; at < len; at += piece)
        velkor_crc_update(&st, p + at, len - at < piece ? len - at : piece);
    return velkor_tag_check_crc(info, p, &st);
}

void tagged_files()
{
    // "abc": built from its payload, then checked, whole and a byte at a time.
    uint8_t want[64];
    const size_t n = from_hex(ka::tagged_abc, want);
    velkor_crc_state st;
    velkor_crc_init(&st);
    velkor_crc_update(&st, reinterpret_cast<const uint8_t *>("abc"), 3);
    uint8_t header[VELKOR_TAG_HEADER_LEN];
    CHECK(velkor_tag_build(header, &st) == 0);
    CHECK(memcmp(header, want, VELKOR_TAG_HEADER_LEN) == 0);
    velkor_tag_info info;
    CHECK(check_tagged(want, n, 1, &info) == VELKOR_TAG_OK);
    CHECK(info.computed_crc == ka::tagged_abc_crc && info.stored_crc == ka::tagged_abc_crc);
    CHECK(info.length == n);

    uint8_t empty[VELKOR_TAG_HEADER_LEN];
    velkor_crc_init(&st);
    CHECK(velkor_tag_build(header, &st) == 0);
    from_hex(ka::tagged_empty, empty);
    CHECK(memcmp(header, empty, sizeof empty) == 0);
    CHECK(check_tagged(empty, sizeof empty, 1, &info) == VELKOR_TAG_OK);

    // pattern(1000, 5): the golden header, and every way of damaging it.
    const size_t len = VELKOR_TAG_HEADER_LEN + ka::tagged_pattern_len;
    from_hex(ka::tagged_pattern_header, buf);
    ka::pattern(buf + VELKOR_TAG_HEADER_LEN, 0, ka::tagged_pattern_len, ka::tagged_pattern_seed);
    velkor_crc_init(&st);
    velkor_crc_update(&st, buf + VELKOR_TAG_HEADER_LEN, ka::tagged_pattern_len);
    CHECK(velkor_tag_build(header, &st) == 0);
    CHECK(memcmp(header, buf, VELKOR_TAG_HEADER_LEN) == 0);
    for (size_t piece : {1, 7, 64, 256, 4096})
        CHECK(check_tagged(buf, len, piece, &info) == VELKOR_TAG_OK);

    const struct {
        const char *what;
        size_t at;
        uint8_t flip;
        size_t len;
        velkor_tag_reason why;
    } damage[] = {
        {"payload bit", 600, 0x10, len, VELKOR_TAG_CRC_MISMATCH},
        {"last byte", len - 1, 0x80, len, VELKOR_TAG_CRC_MISMATCH},
        {"stored CRC", 19, 0x01, len, VELKOR_TAG_CRC_MISMATCH},
        {"reserved byte", 5, 0x01, len, VELKOR_TAG_CRC_MISMATCH},
        {"magic", 0, 0x20, len, VELKOR_TAG_NO_MAGIC},
        {"format byte", 11, 0x01, len, VELKOR_TAG_WRONG_FORMAT},
        {"length field", 15, 0x01, len, VELKOR_TAG_WRONG_LENGTH},
        {"one byte short", 0, 0, len - 1, VELKOR_TAG_WRONG_LENGTH},
        {"header cut", 0, 0, 19, VELKOR_TAG_SHORT},
    };
    for (const auto &d : damage) {
        memcpy(spare, buf, len);
        spare[d.at] ^= d.flip;
        CHECK(check_tagged(spare, d.len, 64, &info) == d.why, d.what);
    }
}

void cipher()
{
    // RFC 6229 in pieces of 100 bytes: the keystream runs on across calls.
    vcrypt_state ctx;
    CHECK(vcrypt_init(&ctx, ka::rfc6229_key, sizeof ka::rfc6229_key, 256) == 0);
    memset(buf, 0, 4112);
    for (size_t at = 0; at < 4112; at += 100)
        vcrypt_process(&ctx, buf + at, buf + at, 4112 - at < 100 ? 4112 - at : 100);
    vcrypt_finish(&ctx);
    for (const auto &v : ka::rfc6229_40bit) {
        uint8_t want[16];
        from_hex(v.hex, want);
        CHECK(memcmp(buf + v.offset, want, 16) == 0, v.hex);
    }

    for (const auto &c : ka::keystreams) {
        memset(buf, 0, c.len);
        CHECK(vcrypt_buf(c.prefix, c.key, buf, buf, c.len, c.dss) == 0);
        from_hex(c.hex, spare);
        CHECK(memcmp(buf, spare, c.len) == 0, c.key);
    }

    // Data-sized, worked by hand for N = 3 and key material {0x01}.
    memset(buf, 0, 3);
    CHECK(vcrypt_buf(0x01, "", buf, buf, 3, 1) == 0);
    CHECK(buf[0] == 0 && buf[1] == 0 && buf[2] == 1);
}

// The piecewise reader over the container at p (len bytes), its payload
// in pieces of `piece` bytes, deciphered to out.
enc_reason read_pieces(const uint8_t *p, size_t len, size_t piece, const char *key, int dss,
                       enc_info *info, uint8_t *out)
{
    enc_stream st;
    info->key = key;
    info->data_sized_state = dss;
    const enc_reason why = enc_read_header(&st, info, p, len, static_cast<int64_t>(len));
    if (why != ENC_OK)
        return why;
    size_t at = st.header_len;
    while (st.remaining > 0)
        at += enc_read_payload(&st, p + at, out + (at - st.header_len),
                               piece < st.remaining ? piece : st.remaining);
    return enc_read_finish(&st, info, p + at);
}

void containers()
{
    for (const auto &c : ka::containers) {
        const size_t size = from_hex(c.hex, spare);
        // Written byte for byte, by the whole-buffer writer...
        enc_info info = ka::container_info(c);
        const size_t header = enc_compute_header_len(c.label, c.sublabel);
        ka::pattern(buf + header, 0, c.len, c.seed);
        info.checksum = velkor_csum(info.data_length, buf + header, c.len);
        CHECK(encrypt_buf(&info, buf, buf + header) == 0);
        CHECK(memcmp(buf, spare, size) == 0, c.label);
        // ...and by the piecewise one, a byte at a time.
        enc_stream st;
        CHECK(enc_write_header(&st, &info, buf) == 0);
        uint8_t *payload = buf + st.header_len;
        ka::pattern(payload, 0, c.len, c.seed);
        for (size_t k = 0; k < c.len; k++)
            enc_write_payload(&st, payload + k, payload + k, 1);
        CHECK(enc_write_finish(&st, payload + c.len) == 0);
        CHECK(memcmp(buf, spare, size) == 0, c.label);

        // Read back, whole and in pieces.
        for (size_t piece : {1, 13, 4096}) {
            enc_info got;
            memset(&got, 0, sizeof got);
            CHECK(read_pieces(spare, size, piece, c.key, c.dss, &got, buf) == ENC_OK, c.label);
            CHECK(strcmp(got.label, c.label) == 0 && strcmp(got.sublabel, c.sublabel) == 0);
            CHECK(strcmp(got.magic, c.magic) == 0 && got.key_prefix == c.prefix);
            ka::pattern(buf + c.len, 0, c.len, c.seed);
            CHECK(memcmp(buf, buf + c.len, c.len) == 0, "payload");
        }
        enc_info got;
        memset(&got, 0, sizeof got);
        got.key = c.key;
        got.data_sized_state = c.dss;
        memcpy(buf, spare, size);
        CHECK(decrypt_buf(&got, buf, static_cast<int64_t>(size)) == 0, c.label);
        CHECK(strcmp(got.label, c.label) == 0 && got.data_length == c.len);
    }

    for (const auto &c : ka::buf_lens)
        CHECK(enc_compute_buf_len("l", "s", c.header_plus_data - 23) == c.buf_len);
    // Near 4 GiB a 32-bit size_t saturates rather than wrapping around.
    for (const auto &c : ka::buf_lens_near_4g)
        CHECK(enc_compute_buf_len("l", "s", c.data) == ka::fitted(c.buf_len));
    if (sizeof(size_t) == 4)
        CHECK(enc_compute_buf_len("l", "s", 0xFFFFFFE1u) == SIZE_MAX, "a 32-bit size_t saturates");

    // Round trips at the limits of the texts, with both table settings and
    // an empty payload.
    for (int dss = 0; dss < 2; dss++)
        for (size_t len : {0, 1, 255, 256, 257, 5000}) {
            enc_info info;
            memset(&info, 0, sizeof info);
            info.key = "a device key";
            memcpy(info.magic, dss ? "start" : "asar1", 6);
            strcpy(info.label, "0123456789012345678901234567890");
            strcpy(info.sublabel, "1234567");
            info.key_prefix = static_cast<uint8_t>(len);
            info.data_sized_state = dss;
            info.data_length = static_cast<uint32_t>(len);
            const size_t header = enc_compute_header_len(info.label, info.sublabel);
            ka::pattern(buf + header, 0, len, 9);
            info.checksum = velkor_csum(info.data_length, buf + header, len);
            CHECK(len != 0 || info.checksum == 0);
            CHECK(encrypt_buf(&info, buf, buf + header) == 0);
            enc_info got;
            memset(&got, 0, sizeof got);
            CHECK(read_pieces(buf, header + len + 4, 100, info.key, dss, &got, spare) == ENC_OK);
            CHECK(strcmp(got.label, info.label) == 0 && strcmp(got.sublabel, info.sublabel) == 0);
            ka::pattern(spare + len, 0, len, 9);
            CHECK(memcmp(spare, spare + len, len) == 0);
        }

    // Refusals, each with its reason, on the 300-byte golden container.
    const auto &g = ka::containers[2];
    const size_t size = from_hex(g.hex, spare);
    const size_t l1_at = 7, d_at = 11 + 32 + 4 + 8;
    const struct {
        const char *what;
        size_t at;
        uint8_t value;
        size_t len;
        const char *key;
        int dss;
        enc_reason why;
    } refusals[] = {
        {"sound", 0, 0, size, g.key, 0, ENC_OK},
        {"one byte short", 0, 0, size - 1, g.key, 0, ENC_PAST_END},
        {"cut in the header", 0, 0, 30, g.key, 0, ENC_CUT_OFF},
        {"no magic", 0, 'A', size, g.key, 0, ENC_NOT_CONTAINER},
        {"magic without NUL", 5, 'x', size, g.key, 0, ENC_NOT_CONTAINER},
        {"label length 33", l1_at + 3, 33, size, g.key, 0, ENC_BAD_LABEL_LENGTH},
        {"label length 0", l1_at + 3, 0, size, g.key, 0, ENC_BAD_LABEL_LENGTH},
        {"payload past the end", d_at + 2, 0x02, size, g.key, 0, ENC_PAST_END},
        // The texts are checked first: a wrong key or setting shows there.
        {"wrong key", 0, 0, size, "K", 0, ENC_BAD_TEXT},
        {"wrong table setting", 0, 0, size, g.key, 1, ENC_BAD_TEXT},
        {"damaged payload", d_at + 4 + 7, 0x5A, size, g.key, 0, ENC_CHECKSUM_MISMATCH},
    };
    for (const auto &r : refusals) {
        static uint8_t damaged[sizeof spare];
        memcpy(damaged, spare, size);
        if (r.at != 0 || r.value != 0)
            damaged[r.at] = r.value;
        enc_info got;
        memset(&got, 0, sizeof got);
        CHECK(read_pieces(damaged, r.len, 64, r.key, r.dss, &got, buf) == r.why, r.what);
        got.key = r.key;
        got.data_sized_state = r.dss;
        CHECK(decrypt_buf(&got, damaged, static_cast<int64_t>(r.len)) == (r.why == ENC_OK ? 0 : -1),
              r.what);
    }
}

// No heap for tables of up to 256 entries, in any of the container's paths;
// one allocation, the caller's until vcrypt_finish, for a data-sized table
// above that.
void heap_use()
{
    const auto &g = ka::containers[2]; // 256-entry tables, 300-byte payload
    const size_t size = from_hex(g.hex, spare);
    enc_info got;
    memset(&got, 0, sizeof got);
    heap_calls = 0;
    CHECK(read_pieces(spare, size, 64, g.key, 0, &got, buf) == ENC_OK);
    memcpy(buf, spare, size);
    got.key = g.key;
    CHECK(decrypt_buf(&got, buf, static_cast<int64_t>(size)) == 0);
    enc_info info = ka::container_info(g);
    info.checksum = got.checksum;
    ka::pattern(buf + 59, 0, g.len, g.seed);
    CHECK(encrypt_buf(&info, buf, buf + 59) == 0);
    CHECK(vcrypt_buf(1, "k", buf, buf, 256, 1) == 0);
    CHECK(heap_calls == 0, "tables of up to 256 entries came from the heap");

    const auto &d = ka::containers[1]; // data-sized, 70-byte payload: no heap either
    const size_t dsize = from_hex(d.hex, spare);
    CHECK(read_pieces(spare, dsize, 64, d.key, 1, &got, buf) == ENC_OK);
    CHECK(heap_calls == 0, "a data-sized table of 70 entries came from the heap");

    vcrypt_state ctx;
    CHECK(vcrypt_init(&ctx, ka::rfc6229_key, 5, 257) == 0);
    vcrypt_finish(&ctx);
    CHECK(heap_calls == 1, "a table of 257 entries is one allocation");
}

} // namespace

#if defined(DEVICE_TEST_EXTERNAL_CRC)
extern "C" unsigned external_crc_bytes;
#endif

int main()
{
    checksums();
    tagged_files();
    cipher();
    containers();
    heap_use();
#if defined(DEVICE_TEST_EXTERNAL_CRC)
    // The application's kernel ran the CRCs: at least the 1 MiB case's
    // bytes went through it.
    CHECK(external_crc_bytes > ka::checksums[15].len);
#endif
    printf("%u passed, %u failed\n", checks - failures, failures);
    return failures == 0 ? 0 : 1;
}
