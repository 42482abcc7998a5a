// SPDX-License-Identifier: MIT
#include "scan_search.h"
#include "testutil.h"
#include "velkor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

using testutil::bytes;

namespace {

bytes tagged(const bytes &payload)
{
    velkor_crc_state st;
    velkor_crc_init(&st);
    velkor_crc_update(&st, payload.data(), payload.size());
    bytes file(VELKOR_TAG_HEADER_LEN);
    EXPECT_EQ(velkor_tag_build(file.data(), &st), 0);
    file.insert(file.end(), payload.begin(), payload.end());
    return file;
}

struct container_fields {
    const char *key = "secret";
    const char *magic = "start";
    const char *label = "firmware";
    const char *sublabel = "v1";
    uint8_t prefix = 0x42;
    int data_sized = 0;
};

// Exactly the container's bytes: header, payload, checksum.
bytes container(const bytes &payload, const container_fields &c = {})
{
    enc_info info{};
    info.key = c.key;
    memcpy(info.magic, c.magic, 6);
    strcpy(info.label, c.label);
    strcpy(info.sublabel, c.sublabel);
    info.key_prefix = c.prefix;
    info.data_sized_state = c.data_sized;
    info.data_length = static_cast<uint32_t>(payload.size());
    info.checksum = velkor_csum(info.data_length, payload.data(), payload.size());
    const size_t header = enc_compute_header_len(c.label, c.sublabel);
    bytes out(enc_compute_buf_len(c.label, c.sublabel, payload.size()));
    std::copy(payload.begin(), payload.end(), out.begin() + header);
    EXPECT_EQ(encrypt_buf(&info, out.data(), out.data() + header), 0);
    out.resize(header + payload.size() + 4);
    return out;
}

bytes cat(std::initializer_list<bytes> parts)
{
    bytes r;
    for (const bytes &p : parts)
        r.insert(r.end(), p.begin(), p.end());
    return r;
}

// Random bytes (fewer than `size`) with 1 to `most` tagged files and
// containers planted at random, some with a bit flipped, the image's end
// cut off by up to 29 bytes: finds damaged, cut and overlapping.
bytes planted_at_random(std::mt19937 &rng, uint32_t size, uint32_t most)
{
    bytes image = testutil::random_bytes(rng() % size, rng());
    for (int k = 1 + static_cast<int>(rng() % most); k > 0; k--) {
        bytes f = rng() % 2 ? tagged(testutil::random_bytes(rng() % 200, rng()))
                            : container(testutil::random_bytes(rng() % 200, rng()));
        if (rng() % 4 == 0)
            f[rng() % f.size()] ^= 0x10;
        const size_t at = rng() % (image.size() + 1);
        image.insert(image.begin() + static_cast<long>(at), f.begin(), f.end());
    }
    image.resize(image.size() - rng() % 30);
    return image;
}

// Random bytes with no 'b', 's' or 'a', so that nothing but what a test
// plants can start a find.
bytes filler(size_t n, uint32_t seed)
{
    bytes b = testutil::random_bytes(n, seed);
    for (uint8_t &c : b)
        if (c == 'b' || c == 's' || c == 'a')
            c = 'x';
    return b;
}

struct scan_result {
    std::vector<velkor_find> finds;
    std::vector<velkor_find_info> infos; // with keys: what velkor_scan_next_info() gave
    uint64_t dropped = 0;
    int passes = 0;
};

constexpr size_t whole = SIZE_MAX;

// How the image is offered: its length given beforehand, read again in
// passes, and each pass ended as soon as the scanner needs no more.
struct scan_way {
    bool known_length = false;
    bool passes = false;
    bool stop_early = false;
    // Non-null: a scanner from velkor_scan_new_keys() with these keys.
    const std::vector<std::string> *keys = nullptr;
    uint32_t budget = 0; // non-zero: velkor_scan_set_budget()
};

velkor_scanner *new_keys(const std::vector<std::string> &keys, const velkor_scan_options &opts)
{
    std::vector<const char *> texts;
    for (const std::string &k : keys)
        texts.push_back(k.c_str());
    return velkor_scan_new_keys(texts.data(), texts.size(), &opts);
}

// Scans image in pieces of `piece` bytes (the last one shorter), taking the
// finds after every piece; piece 0 cuts at random.  With passes, each pass
// is fed from where the scanner asks; the finds are those of every pass.
scan_result scan(const bytes &image, size_t piece, const velkor_scan_options &opts = {},
                 uint32_t seed = 1, scan_way way = {})
{
    scan_result r;
    velkor_scanner *sc = way.keys != nullptr ? new_keys(*way.keys, opts) : velkor_scan_new(&opts);
    EXPECT_NE(sc, nullptr);
    if (sc == nullptr)
        return r;
    if (way.known_length) {
        EXPECT_EQ(velkor_scan_set_length(sc, image.size()), 0);
    }
    if (way.passes) {
        EXPECT_EQ(velkor_scan_set_passes(sc, 1), 0);
    }
    if (way.budget != 0) {
        EXPECT_EQ(velkor_scan_set_budget(sc, way.budget), 0);
    }
    std::mt19937 rng(seed);
    uint64_t from = 0;
    int more;
    auto take = [&] {
        velkor_find f;
        // Every byte defined, padding too: a test looks through the
        // whole record for key texts.
        velkor_find_info info;
        memset(&info, 0, sizeof info);
        info.size = sizeof info;
        if (way.keys == nullptr) {
            while (velkor_scan_next(sc, &f) == 1)
                r.finds.push_back(f);
            return;
        }
        while (velkor_scan_next_info(sc, &info) == 1) {
            r.finds.push_back(info.find);
            memcpy(&r.infos.emplace_back(), &info, sizeof info);
        }
    };
    do {
        r.passes++;
        size_t at = static_cast<size_t>(from);
        while (at < image.size() && !(way.stop_early && velkor_scan_pass_done(sc) == 1)) {
            size_t n = piece == 0 ? rng() % 300 : std::min(piece, image.size() - at);
            n = std::min(n, image.size() - at);
            EXPECT_EQ(velkor_scan_feed(sc, image.data() + at, n), 0);
            at += n;
            take();
        }
        EXPECT_EQ(velkor_scan_finish(sc), 0);
        take();
        EXPECT_EQ(velkor_scan_feed(sc, image.data(), 1), -1);
        more = velkor_scan_next_pass(sc, &from);
        EXPECT_GE(more, 0);
        EXPECT_TRUE(more == 0 || way.passes);
    } while (more == 1 && r.passes < 100000);
    r.dropped = velkor_scan_dropped(sc);
    velkor_scan_free(sc);
    return r;
}

// Field by field (the record has padding).
bool same(const velkor_find &a, const velkor_find &b)
{
    return a.offset == b.offset && a.kind == b.kind && a.reason == b.reason &&
           a.length == b.length && a.payload_offset == b.payload_offset &&
           a.payload_length == b.payload_length && a.inside_valid == b.inside_valid &&
           (!a.inside_valid || a.inside == b.inside) && a.stored_crc == b.stored_crc &&
           a.computed_crc == b.computed_crc && memcmp(a.magic, b.magic, 6) == 0 &&
           a.key_prefix == b.key_prefix && a.label_len == b.label_len &&
           a.sublabel_len == b.sublabel_len && a.deciphered == b.deciphered &&
           (!a.deciphered || (strcmp(a.label, b.label) == 0 &&
                              strcmp(a.sublabel, b.sublabel) == 0)) &&
           a.checksum == b.checksum;
}

void expect_same(const scan_result &a, const scan_result &b, const std::string &what)
{
    ASSERT_EQ(a.finds.size(), b.finds.size()) << what;
    for (size_t k = 0; k < a.finds.size(); k++)
        EXPECT_TRUE(same(a.finds[k], b.finds[k])) << what << ", find " << k;
    EXPECT_EQ(a.dropped, b.dropped) << what;
}

// The short form a test states what it expects in.
struct expect {
    uint64_t offset;
    velkor_find_kind kind;
    velkor_scan_reason reason;
    uint64_t length;
    int64_t inside; // -1: none
};

void expect_finds(const scan_result &r, const std::vector<expect> &want, const std::string &what)
{
    ASSERT_EQ(r.finds.size(), want.size()) << what;
    for (size_t k = 0; k < want.size(); k++) {
        const velkor_find &f = r.finds[k];
        const expect &w = want[k];
        EXPECT_EQ(f.offset, w.offset) << what << ", find " << k;
        EXPECT_EQ(f.kind, w.kind) << what << ", find " << k;
        EXPECT_EQ(f.reason, w.reason) << what << ", find " << k;
        EXPECT_EQ(f.length, w.length) << what << ", find " << k;
        EXPECT_EQ(f.inside_valid != 0, w.inside >= 0) << what << ", find " << k;
        if (w.inside >= 0 && f.inside_valid) {
            EXPECT_EQ(f.inside, static_cast<uint64_t>(w.inside)) << what << ", find " << k;
        }
    }
}

const size_t feed_sizes[] = {1, 2, 3, 7, 19, 64, 4096, whole};

std::string named(size_t piece)
{
    return piece == whole ? "whole" : "pieces of " + std::to_string(piece);
}

constexpr auto T = VELKOR_FIND_TAGGED;
constexpr auto C = VELKOR_FIND_CONTAINER;

// A tagged file at offset 0 and one ending at the image's last byte, a
// container between them and one ending at the image's last byte, found
// alike for every piece size: each of them straddles some boundary.
TEST(Scan, FindsAtTheEdgesForEveryPieceSize)
{
    const bytes t0 = tagged(filler(100, 1));
    const bytes c1 = container(filler(300, 2));
    const bytes t2 = tagged(filler(33, 3));
    const bytes image = cat({t0, filler(77, 4), c1, filler(5, 5), t2});
    const uint64_t c1_at = t0.size() + 77, t2_at = image.size() - t2.size();
    velkor_scan_options keyed{};
    keyed.key = "secret";
    for (size_t piece : feed_sizes) {
        expect_finds(scan(image, piece),
                     {{0, T, VELKOR_SCAN_VERIFIED, t0.size(), -1},
                      {c1_at, C, VELKOR_SCAN_NO_KEY, c1.size(), -1},
                      {t2_at, T, VELKOR_SCAN_VERIFIED, t2.size(), -1}},
                     named(piece));
        const scan_result r = scan(image, piece, keyed);
        ASSERT_EQ(r.finds.size(), 3u);
        EXPECT_EQ(r.finds[1].reason, VELKOR_SCAN_VERIFIED) << named(piece);
        EXPECT_STREQ(r.finds[1].label, "firmware");
        EXPECT_STREQ(r.finds[1].sublabel, "v1");
    }

    // The container alone, last in the image, and the smallest image that
    // holds a tagged file.
    const bytes only = cat({filler(9, 6), c1});
    expect_finds(scan(only, 1), {{9, C, VELKOR_SCAN_NO_KEY, c1.size(), -1}}, "container last");
    expect_finds(scan(tagged({}), 1), {{0, T, VELKOR_SCAN_VERIFIED, 20, -1}}, "bare header");
}

TEST(Scan, ReportsWhatEachFindHolds)
{
    const bytes payload = filler(1000, 7);
    const bytes t = tagged(payload);
    container_fields fields;
    fields.magic = "asar1";
    fields.label = "0123456789012345678901234567890"; // 31 characters
    fields.sublabel = "abcdefg";
    fields.prefix = 0x09;
    const bytes c = container(payload, fields);
    const bytes image = cat({filler(3, 8), t, c});
    velkor_scan_options keyed{};
    keyed.key = "secret";
    const scan_result r = scan(image, 64, keyed);
    ASSERT_EQ(r.finds.size(), 2u);

    const velkor_find &ft = r.finds[0];
    EXPECT_EQ(ft.payload_offset, 23u);
    EXPECT_EQ(ft.payload_length, 1000u);
    EXPECT_EQ(ft.stored_crc, static_cast<uint32_t>(t[16]) << 24 | t[17] << 16 | t[18] << 8 | t[19]);
    bytes zeroed = t;
    std::fill(zeroed.begin() + 16, zeroed.begin() + 20, 0);
    EXPECT_EQ(ft.computed_crc, velkor_crc(zeroed.data(), zeroed.size()));

    const velkor_find &fc = r.finds[1];
    EXPECT_EQ(fc.offset, 3 + t.size());
    EXPECT_STREQ(fc.magic, "asar1");
    EXPECT_EQ(fc.key_prefix, 0x09);
    EXPECT_EQ(fc.label_len, 32u);
    EXPECT_EQ(fc.sublabel_len, 8u);
    EXPECT_EQ(fc.payload_offset, fc.offset + 19 + 32 + 8);
    EXPECT_EQ(fc.payload_length, 1000u);
    EXPECT_EQ(fc.length, 19 + 32 + 8 + 1000 + 4u);
    EXPECT_TRUE(fc.deciphered);
    EXPECT_STREQ(fc.label, fields.label);
    EXPECT_STREQ(fc.sublabel, "abcdefg");
    EXPECT_EQ(fc.checksum, velkor_csum(1000, payload.data(), payload.size()));

    // Without the key: what the header says, nothing deciphered.
    const scan_result n = scan(image, 64);
    ASSERT_EQ(n.finds.size(), 2u);
    EXPECT_EQ(n.finds[1].reason, VELKOR_SCAN_NO_KEY);
    EXPECT_STREQ(n.finds[1].magic, "asar1");
    EXPECT_EQ(n.finds[1].key_prefix, 0x09);
    EXPECT_EQ(n.finds[1].label_len, 32u);
    EXPECT_FALSE(n.finds[1].deciphered);
}

// Finds inside finds: `inside` names the innermost verified find whose
// bytes hold all of the find's own, also when verified finds overlap.
TEST(Scan, NestedAndOverlapping)
{
    // outer = tagged [ x | inner = tagged [ y | deepest = tagged [z] ] | container ]
    const bytes deepest = tagged(filler(40, 10));
    const bytes inner = tagged(cat({filler(11, 11), deepest, filler(6, 12)}));
    const bytes c = container(filler(50, 13));
    const bytes outer = tagged(cat({filler(5, 14), inner, filler(7, 15), c}));
    const bytes image = cat({filler(13, 16), outer, filler(2, 17)});
    const uint64_t o = 13, i = o + 20 + 5, d = i + 20 + 11, co = i + inner.size() + 7;
    for (size_t piece : feed_sizes)
        expect_finds(scan(image, piece),
                     {{o, T, VELKOR_SCAN_VERIFIED, outer.size(), -1},
                      {i, T, VELKOR_SCAN_VERIFIED, inner.size(), static_cast<int64_t>(o)},
                      {d, T, VELKOR_SCAN_VERIFIED, deepest.size(), static_cast<int64_t>(i)},
                      {co, C, VELKOR_SCAN_NO_KEY, c.size(), static_cast<int64_t>(o)}},
                     named(piece));

    // Two verified tagged files overlapping: a = [0, 120), b = [60, 180).
    // b's first 60 bytes end a's payload.
    // A find within both lies inside b, the nearer; one after a's end too.
    const bytes in_both = tagged(filler(10, 18));  // at 70
    const bytes in_b = tagged(filler(10, 19));     // at 130
    const bytes b_file =
        tagged(cat({filler(10, 20), in_both, filler(10, 21), in_b, filler(20, 22)}));
    ASSERT_EQ(b_file.size(), 120u);
    const bytes a_file = tagged(cat({filler(40, 23), bytes(b_file.begin(), b_file.begin() + 60)}));
    ASSERT_EQ(a_file.size(), 120u);
    const bytes lap = cat({a_file, bytes(b_file.begin() + 60, b_file.end())});
    for (size_t piece : feed_sizes)
        expect_finds(scan(lap, piece),
                     {{0, T, VELKOR_SCAN_VERIFIED, 120, -1},
                      {60, T, VELKOR_SCAN_VERIFIED, 120, -1},
                      {90, T, VELKOR_SCAN_VERIFIED, 30, 60},
                      {130, T, VELKOR_SCAN_VERIFIED, 30, 60}},
                     named(piece));

    // The same inside a third verified file: finds around the current one
    // that overlap each other must not hide the nearest.
    const bytes wrapped = tagged(lap);
    for (size_t piece : {size_t{1}, size_t{64}, whole})
        expect_finds(scan(wrapped, piece),
                     {{0, T, VELKOR_SCAN_VERIFIED, 200, -1},
                      {20, T, VELKOR_SCAN_VERIFIED, 120, 0},
                      {80, T, VELKOR_SCAN_VERIFIED, 120, 0},
                      {110, T, VELKOR_SCAN_VERIFIED, 30, 80},
                      {150, T, VELKOR_SCAN_VERIFIED, 30, 80}},
                     "wrapped, " + named(piece));

    // An enclosing candidate that fails is no one's `inside`.
    bytes bad = outer;
    bad[20] ^= 1; // outer's first payload byte
    const scan_result r = scan(bad, 7);
    ASSERT_EQ(r.finds.size(), 4u);
    EXPECT_EQ(r.finds[0].reason, VELKOR_SCAN_CRC_MISMATCH);
    EXPECT_FALSE(r.finds[1].inside_valid);
    EXPECT_EQ(r.finds[2].inside, 25u);
    EXPECT_FALSE(r.finds[3].inside_valid);
}

// Damage, cut-off files and headers that only look like one.
TEST(Scan, DamagedTruncatedAndFalseHeaders)
{
    const bytes good = tagged(filler(200, 30));
    struct tcase {
        const char *name;
        size_t at;       // byte changed in `good`
        uint8_t value;
        bool found;      // still a candidate
    } cases[] = {
        {"payload byte", 150, 0x00, true},
        {"CRC field", 19, 0x00, true},
        {"length too short", 15, 19, false}, // length 19 cannot hold the header
        {"zero byte", 7, 0x01, false},
        {"format byte", 11, 0xB2, false},
        {"magic", 1, 'G', false},
    };
    for (const tcase &tc : cases) {
        bytes image = cat({filler(17, 31), good, filler(17, 32)});
        if (tc.name == std::string("length too short"))
            std::fill(image.begin() + 17 + 12, image.begin() + 17 + 15, 0);
        image[17 + tc.at] = tc.value == image[17 + tc.at] ? tc.value ^ 0x5A : tc.value;
        const scan_result r = scan(image, 19);
        if (!tc.found) {
            EXPECT_TRUE(r.finds.empty()) << tc.name;
            continue;
        }
        ASSERT_EQ(r.finds.size(), 1u) << tc.name;
        EXPECT_EQ(r.finds[0].reason, VELKOR_SCAN_CRC_MISMATCH) << tc.name;
        EXPECT_NE(r.finds[0].computed_crc, r.finds[0].stored_crc) << tc.name;
    }

    // Cut off: the image ends before the find's last byte (for the
    // container, just before).  They are reported with the lengths their
    // headers claim, and the verified find behind the open one still comes
    // out.
    const bytes small = tagged(filler(10, 33));
    const bytes c = container(filler(10, 34));
    bytes image = cat({filler(4, 36), bytes(good.begin(), good.begin() + 100)});
    image.insert(image.begin() + 50, small.begin(), small.end()); // inside the open one
    for (size_t piece : feed_sizes) {
        const scan_result r = scan(image, piece);
        expect_finds(r,
                     {{4, T, VELKOR_SCAN_TRUNCATED, good.size(), -1},
                      {50, T, VELKOR_SCAN_VERIFIED, small.size(), -1}},
                     named(piece));
        // Only a tagged file read to its end has a computed CRC.
        if (!r.finds.empty()) {
            EXPECT_EQ(r.finds[0].computed_crc, 0u) << named(piece);
        }
    }
    const bytes cut_c(c.begin(), c.end() - 1);
    expect_finds(scan(cut_c, 3), {{0, C, VELKOR_SCAN_TRUNCATED, c.size(), -1}}, "container");

    // Container headers that are not: lengths out of range, wrong magic.
    const bytes fine = container(filler(10, 37));
    struct ccase {
        const char *name;
        size_t at;
        uint8_t value;
    } ccases[] = {
        {"label length 0", 10, 0},       // L1 = 9 -> 0
        {"label length 33", 10, 33},
        {"sublabel length 0", 11 + 9 + 3, 0},
        {"sublabel length 9", 11 + 9 + 3, 9},
        {"magic without NUL", 5, '!'},
        {"other magic", 0, 'S'},
    };
    for (const ccase &cc : ccases) {
        bytes img = fine;
        img[cc.at] = cc.value;
        EXPECT_TRUE(scan(img, 5).finds.empty()) << cc.name;
    }
}

TEST(Scan, ContainersWithAndWithoutTheKey)
{
    const bytes payload = filler(700, 40);
    container_fields sized;
    sized.data_sized = 1;
    sized.label = "";
    sized.sublabel = "";
    const bytes plain = container(payload);
    const bytes dss = container(payload, sized);
    const bytes image = cat({plain, filler(9, 41), dss});
    const uint64_t d = plain.size() + 9;

    struct kcase {
        const char *key;
        int data_sized;
        velkor_scan_reason plain, dss;
    } cases[] = {
        {nullptr, 0, VELKOR_SCAN_NO_KEY, VELKOR_SCAN_NO_KEY},
        {"secret", 0, VELKOR_SCAN_VERIFIED, VELKOR_SCAN_WRONG_KEY},
        {"secret", 1, VELKOR_SCAN_WRONG_KEY, VELKOR_SCAN_VERIFIED},
        {"Secret", 0, VELKOR_SCAN_WRONG_KEY, VELKOR_SCAN_WRONG_KEY},
        {"Secret", 1, VELKOR_SCAN_WRONG_KEY, VELKOR_SCAN_WRONG_KEY},
    };
    for (const kcase &kc : cases) {
        velkor_scan_options o{};
        o.key = kc.key;
        o.data_sized_state = kc.data_sized;
        const std::string what = std::string(kc.key ? kc.key : "no key") + "/" +
                                 std::to_string(kc.data_sized);
        for (size_t piece : {size_t{1}, size_t{64}, whole}) {
            const scan_result r = scan(image, piece, o);
            expect_finds(r,
                         {{0, C, kc.plain, plain.size(), -1},
                          {d, C, kc.dss, dss.size(), -1}},
                         what + ", " + named(piece));
            if (r.finds.size() == 2) {
                EXPECT_EQ(r.finds[0].deciphered != 0, kc.plain == VELKOR_SCAN_VERIFIED);
                EXPECT_EQ(r.finds[1].deciphered != 0, kc.dss == VELKOR_SCAN_VERIFIED);
            }
        }
    }

    // A damaged payload fails with the right key.
    bytes damaged = plain;
    damaged[plain.size() - 10] ^= 0x40;
    velkor_scan_options o{};
    o.key = "secret";
    expect_finds(scan(damaged, 64, o), {{0, C, VELKOR_SCAN_WRONG_KEY, plain.size(), -1}},
                 "damaged");
}

// A container whose enciphered payload is `inner` (so that it encloses it
// in the image): the plaintext is inner XOR the payload's keystream, which
// enciphering zeros with the same header gives.
bytes container_around(const bytes &inner, const container_fields &c = {})
{
    const bytes stream = container(bytes(inner.size(), 0), c);
    const size_t header = stream.size() - inner.size() - 4;
    bytes plain(inner.size());
    for (size_t k = 0; k < inner.size(); k++)
        plain[k] = inner[k] ^ stream[header + k];
    const bytes out = container(plain, c);
    EXPECT_TRUE(std::equal(inner.begin(), inner.end(), out.begin() + static_cast<long>(header)));
    return out;
}

// Containers with 256-entry tables share keystreams, so any number of
// them nested verify in one pass with nothing dropped.  Data-sized
// payloads are deciphered one by one, only for candidates whose texts
// decipher, and at most VELKOR_SCAN_MAX_DECIPHERS at once: beyond that
// they are dropped.
TEST(Scan, DeciphersBoundedInNumber)
{
    const int depth = VELKOR_SCAN_MAX_DECIPHERS + 4;
    container_fields sized;
    sized.data_sized = 1;
    bytes nest = filler(10, 60), sized_nest = filler(10, 60);
    for (int k = 0; k < depth; k++) {
        nest = container_around(cat({filler(2, 61), nest}));
        sized_nest = container_around(cat({filler(2, 61), sized_nest}), sized);
    }
    velkor_scan_options o{};
    o.key = "secret";
    const scan_result shared = scan(nest, 64, o);
    EXPECT_EQ(shared.dropped, 0u);
    ASSERT_EQ(shared.finds.size(), size_t{depth});
    for (const velkor_find &f : shared.finds)
        EXPECT_EQ(f.reason, VELKOR_SCAN_VERIFIED);

    o.data_sized_state = 1;
    const scan_result right = scan(sized_nest, 64, o);
    EXPECT_EQ(right.dropped, 4u);
    ASSERT_EQ(right.finds.size(), size_t{VELKOR_SCAN_MAX_DECIPHERS});
    for (size_t k = 0; k < right.finds.size(); k++) {
        EXPECT_EQ(right.finds[k].reason, VELKOR_SCAN_VERIFIED) << k;
        EXPECT_EQ(right.finds[k].inside_valid != 0, k > 0) << k;
    }
    // With a wrong key no text deciphers, so nothing takes a payload cipher
    // and nothing is dropped.
    o.key = "other";
    const scan_result wrong = scan(sized_nest, 64, o);
    EXPECT_EQ(wrong.dropped, 0u);
    ASSERT_EQ(wrong.finds.size(), size_t{depth});
    for (const velkor_find &f : wrong.finds)
        EXPECT_EQ(f.reason, VELKOR_SCAN_WRONG_KEY);
}

TEST(Scan, OptionsAndReasonTexts)
{
    velkor_scan_options o{};
    o.key = "";
    EXPECT_EQ(velkor_scan_new(&o), nullptr);
    const std::string longest(254, 'k'), too_long(255, 'k');
    o.key = too_long.c_str();
    EXPECT_EQ(velkor_scan_new(&o), nullptr);
    o.key = longest.c_str();
    velkor_scanner *sc = velkor_scan_new(&o);
    EXPECT_NE(sc, nullptr);
    velkor_scan_free(sc);
    sc = velkor_scan_new(nullptr);
    ASSERT_NE(sc, nullptr);
    velkor_find f;
    EXPECT_EQ(velkor_scan_next(sc, &f), 0);
    EXPECT_EQ(velkor_scan_finish(sc), 0);
    EXPECT_EQ(velkor_scan_finish(sc), -1);
    velkor_scan_free(sc);
    velkor_scan_free(nullptr);

    EXPECT_STREQ(velkor_scan_reason_text(VELKOR_SCAN_VERIFIED), "verified");
    EXPECT_STREQ(velkor_scan_reason_text(VELKOR_SCAN_NO_KEY), "no key");
    EXPECT_STREQ(velkor_scan_reason_text(VELKOR_SCAN_CRC_MISMATCH), "CRC mismatch");
    EXPECT_STREQ(velkor_scan_reason_text(VELKOR_SCAN_TRUNCATED), "truncated");
    EXPECT_STREQ(velkor_scan_reason_text(VELKOR_SCAN_WRONG_KEY), "wrong key or damaged");
}

// Under a small memory limit, candidates beyond it are dropped and counted,
// the same ones for every piece size; files one after another never pile
// up, so none of them is dropped.
TEST(Scan, DropsBeyondTheMemoryLimit)
{
    // 40 tagged files each nested in the one before.
    bytes nest = tagged(filler(30, 50));
    for (int k = 0; k < 39; k++)
        nest = tagged(cat({filler(3, 51 + k), nest}));
    velkor_scan_options o{};
    o.memory_limit = 1024;
    const scan_result ref = scan(nest, whole, o);
    EXPECT_GT(ref.dropped, 0u);
    EXPECT_EQ(ref.finds.size() + ref.dropped, 40u);
    for (const velkor_find &f : ref.finds)
        EXPECT_EQ(f.reason, VELKOR_SCAN_VERIFIED);
    for (size_t piece : feed_sizes)
        expect_same(scan(nest, piece, o), ref, named(piece));
    expect_same(scan(nest, 0, o, 9), ref, "random pieces");
    EXPECT_EQ(scan(nest, 64).dropped, 0u) << "default limit";

    // Finds that are ready but not yet taken do not count.
    bytes row;
    for (int k = 0; k < 40; k++)
        row = cat({row, tagged(filler(30, 100 + k))});
    for (size_t piece : feed_sizes) {
        const scan_result r = scan(row, piece, o);
        EXPECT_EQ(r.dropped, 0u) << named(piece);
        EXPECT_EQ(r.finds.size(), 40u) << named(piece);
    }

    // A limit too small for one candidate drops them all.
    o.memory_limit = 1;
    const scan_result none = scan(nest, 19, o);
    EXPECT_TRUE(none.finds.empty());
    EXPECT_EQ(none.dropped, 40u);
}

// Back-to-back headers, each claiming the rest of the image: the scan ends,
// every candidate is reported or counted, and the pieces do not matter.
TEST(Scan, BackToBackHeadersClaimingTheRest)
{
    const size_t count = 20000;
    bytes image(count * 20);
    for (size_t k = 0; k < count; k++) {
        uint8_t *h = image.data() + 20 * k;
        memcpy(h, "bgn", 3);
        h[11] = 0xB1;
        const auto len = static_cast<uint32_t>(image.size() - 20 * k);
        h[12] = static_cast<uint8_t>(len >> 24);
        h[13] = static_cast<uint8_t>(len >> 16);
        h[14] = static_cast<uint8_t>(len >> 8);
        h[15] = static_cast<uint8_t>(len);
    }
    velkor_scan_options o{};
    o.memory_limit = 256 << 10;
    const scan_result ref = scan(image, whole, o);
    EXPECT_GT(ref.dropped, 0u);
    EXPECT_EQ(ref.finds.size() + ref.dropped, count);
    for (const velkor_find &f : ref.finds)
        EXPECT_EQ(f.reason, VELKOR_SCAN_CRC_MISMATCH);
    expect_same(scan(image, 4096, o), ref, "pieces of 4096");
    expect_same(scan(image, 0, o, 3), ref, "random pieces");
}

// Forged headers back to back, each claiming nearly 4 GiB, between two
// sound tagged files.  Given the image's length, each is truncated the
// moment it is found and holds nothing, so a small limit drops none and
// the second file is found; without the length they wait for the end and
// fill the limit.  The finds are the same either way when nothing drops.
bytes flood(size_t forged, const bytes &first, const bytes &second)
{
    bytes fake(20 * forged);
    for (size_t k = 0; k < forged; k++) {
        uint8_t *h = fake.data() + 20 * k;
        memcpy(h, "bgn", 3);
        h[11] = 0xB1;
        h[12] = h[13] = h[14] = 0xFF;
        h[15] = 0xF0;
    }
    return cat({first, fake, second});
}

TEST(Scan, KnownLengthTruncatesAtOnce)
{
    const bytes first = tagged(filler(100, 70)), second = tagged(filler(200, 71));
    const size_t forged = 5000;
    const bytes image = flood(forged, first, second);
    velkor_scan_options small{};
    small.memory_limit = 16 << 10;
    const scan_way known{true, false, false};
    const scan_result ref = scan(image, whole, {});
    ASSERT_EQ(ref.dropped, 0u);
    ASSERT_EQ(ref.finds.size(), forged + 2);
    EXPECT_EQ(ref.finds.back().reason, VELKOR_SCAN_VERIFIED);
    for (size_t k = 1; k <= forged; k++) {
        EXPECT_EQ(ref.finds[k].reason, VELKOR_SCAN_TRUNCATED);
        EXPECT_EQ(ref.finds[k].length, 0xFFFFFFF0u);
        EXPECT_EQ(ref.finds[k].computed_crc, 0u);
    }
    for (size_t piece : {size_t{1}, size_t{7}, size_t{4096}, whole})
        expect_same(scan(image, piece, small, 1, known), ref, named(piece));
    expect_same(scan(image, 0, small, 5, known), ref, "random pieces");

    const scan_result unknown = scan(image, 4096, small);
    EXPECT_GT(unknown.dropped, 0u);
    EXPECT_NE(unknown.finds.back().offset, image.size() - second.size());

    // Behind an open candidate the truncated ones wait, and count.
    const bytes around = tagged(image);
    const scan_result held = scan(around, whole, small, 1, known);
    EXPECT_GT(held.dropped, 0u);

    // The length bounds what may be fed.
    velkor_scanner *sc = velkor_scan_new(nullptr);
    ASSERT_NE(sc, nullptr);
    EXPECT_EQ(velkor_scan_set_length(sc, 10), 0);
    errno = 0;
    EXPECT_EQ(velkor_scan_feed(sc, image.data(), 11), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(velkor_scan_feed(sc, image.data(), 10), 0);
    EXPECT_EQ(velkor_scan_feed(sc, image.data(), 1), -1);
    EXPECT_EQ(velkor_scan_set_length(sc, 20), -1) << "after the first piece";
    EXPECT_EQ(velkor_scan_set_passes(sc, 1), -1) << "after the first piece";
    EXPECT_EQ(velkor_scan_finish(sc), 0);
    velkor_scan_free(sc);
}

// With passes, a small limit loses nothing: every pass goes on from the
// first candidate the last one had to drop, and the finds of all passes
// are those one pass with unbounded memory gives, `inside` included,
// whatever the pieces and whether a pass stops as soon as it may.
TEST(Scan, PassesFindWhatUnboundedMemoryFinds)
{
    bytes nest = tagged(filler(30, 80));
    for (int k = 0; k < 39; k++)
        nest = tagged(cat({filler(3, 81 + k), nest}));
    bytes back_to_back(2000 * 20);
    for (size_t k = 0; k < 2000; k++) {
        uint8_t *h = back_to_back.data() + 20 * k;
        memcpy(h, "bgn", 3);
        h[11] = 0xB1;
        const auto len = static_cast<uint32_t>(back_to_back.size() - 20 * k - (k % 3) * 20);
        for (int b = 0; b < 4; b++)
            h[12 + b] = static_cast<uint8_t>(len >> (24 - 8 * b));
    }
    // Data-sized containers nested deeper than the deciphers allowed at once.
    container_fields sized;
    sized.data_sized = 1;
    bytes boxes = filler(10, 130);
    for (int k = 0; k < VELKOR_SCAN_MAX_DECIPHERS + 5; k++)
        boxes = container_around(cat({filler(2, 131), boxes}), sized);
    // Finds beside, around and after a flood.
    const bytes mixed = cat({filler(50, 132), tagged(cat({nest, container(filler(40, 133))})),
                             flood(300, tagged(filler(9, 134)), tagged(filler(8, 135))),
                             filler(20, 136)});

    velkor_scan_options keyed{};
    keyed.key = "secret";
    struct pcase {
        const char *name;
        const bytes &image;
        bool key;
        size_t limit;
        int sized;
    } cases[] = {
        {"nest", nest, false, 600, 0},
        {"back to back", back_to_back, false, 4096, 0},
        {"deciphers", boxes, true, 0, 1},
        {"mixed", mixed, true, 2000, 0},
    };
    for (const pcase &pc : cases) {
        velkor_scan_options unbounded = pc.key ? keyed : velkor_scan_options{};
        unbounded.memory_limit = size_t{1} << 30;
        unbounded.data_sized_state = pc.sized;
        const scan_result ref = scan(pc.image, whole, unbounded, 1, {true, true, false});
        EXPECT_EQ(ref.dropped, 0u) << pc.name;
        velkor_scan_options o = unbounded;
        o.memory_limit = pc.limit;
        for (bool known : {false, true})
            for (bool early : {false, true})
                for (size_t piece : {size_t{1}, size_t{64}, whole, size_t{0}}) {
                    const std::string what = std::string(pc.name) + (known ? ", length" : "") +
                                             (early ? ", early" : "") + ", " +
                                             (piece == 0 ? "random pieces" : named(piece));
                    const scan_result r = scan(pc.image, piece, o, 3, {known, true, early});
                    expect_same(r, ref, what);
                    EXPECT_GT(r.passes, 1) << what;
                }
    }
    // Without passes the same limit drops, and one pass is all there is.
    velkor_scan_options o{};
    o.memory_limit = 600;
    const scan_result single = scan(nest, 64, o);
    EXPECT_GT(single.dropped, 0u);
    EXPECT_EQ(single.passes, 1);

    // In the random images too.
    std::mt19937 rng(91);
    for (int round = 0; round < 30; round++) {
        const bytes image = planted_at_random(rng, 400, 8);
        velkor_scan_options u = keyed, tight = keyed;
        u.memory_limit = size_t{1} << 30;
        tight.memory_limit = 1100 + rng() % 1000; // above one keyed container
        const scan_result ref = scan(image, whole, u, 1, {true, true, false});
        for (uint32_t seed = 0; seed < 3; seed++)
            expect_same(scan(image, 0, tight, seed, {seed == 1, true, seed == 2}), ref,
                        "round " + std::to_string(round));
    }
}

// What no pass could keep (a limit below one record; a data-sized table
// beyond the limit) is dropped and counted, and the passes still end.
TEST(Scan, PassesCountWhatNoPassCanKeep)
{
    bytes nest = tagged(filler(30, 140));
    for (int k = 0; k < 9; k++)
        nest = tagged(cat({filler(3, 141 + k), nest}));
    velkor_scan_options tiny{};
    tiny.memory_limit = 1;
    const scan_result none = scan(nest, 64, tiny, 1, {true, true, false});
    EXPECT_TRUE(none.finds.empty());
    EXPECT_EQ(none.dropped, 10u);
    EXPECT_EQ(none.passes, 1);

    container_fields sized;
    sized.data_sized = 1;
    const bytes big = container(filler(100000, 150), sized);
    const bytes image = cat({tagged(filler(10, 151)), big, tagged(filler(10, 152))});
    velkor_scan_options o{};
    o.key = "secret";
    o.data_sized_state = 1;
    o.memory_limit = 50000;
    const scan_result r = scan(image, 4096, o, 1, {true, true, false});
    EXPECT_EQ(r.dropped, 1u);
    expect_finds(r,
                 {{0, T, VELKOR_SCAN_VERIFIED, 30, -1},
                  {30 + big.size(), T, VELKOR_SCAN_VERIFIED, 30, -1}},
                 "data-sized beyond the limit");
}

// A data-sized payload's table counts against the limit: it holds D bytes.
TEST(Scan, DataSizedTableCountsAgainstTheLimit)
{
    container_fields sized;
    sized.data_sized = 1;
    const bytes c = container(filler(100000, 160), sized);
    velkor_scan_options o{};
    o.key = "secret";
    o.data_sized_state = 1;
    o.memory_limit = 90000;
    const scan_result r = scan(c, 4096, o);
    EXPECT_EQ(r.dropped, 1u);
    EXPECT_TRUE(r.finds.empty());
    o.memory_limit = 110000;
    expect_finds(scan(c, 4096, o), {{0, C, VELKOR_SCAN_VERIFIED, c.size(), -1}}, "room for it");
}

// The smallest memory limit at which a lone find is kept, and one byte
// less drops it: what each kind of find is charged, pinned as the figures
// of a 64-bit build (a candidate's record 32 bytes, a new end 104, a
// container's details 80; under a key with 256-entry tables a keystream
// 528, its heap's first 4 entries 64 and a slot 8; a data-sized payload's
// decipher state 192 and its table), and the limit inclusive: a candidate
// that fills it exactly is kept.
TEST(Scan, SmallestLimitThatKeepsEachFind)
{
    if (sizeof(void *) != 8)
        GTEST_SKIP() << "the charges are pinned for 64-bit builds";
    const bytes t = tagged(filler(30, 170)), c = container(filler(40, 171));
    bytes cut = c;
    cut.pop_back();
    container_fields sized;
    sized.data_sized = 1;
    const bytes ds = container(filler(70, 172), sized);
    struct {
        const char *what;
        bytes image;
        const char *key;
        int data_sized;
        velkor_find_kind kind;
        velkor_scan_reason reason;
        size_t limit;
    } cases[] = {
        {"tagged file: record and end", t, nullptr, 0, T, VELKOR_SCAN_VERIFIED, 136},
        {"container without key: its details too", c, nullptr, 0, C, VELKOR_SCAN_NO_KEY, 216},
        {"truncated container: record and details, no end", cut, nullptr, 0, C, VELKOR_SCAN_TRUNCATED, 112},
        {"container under a key: its keystream", c, "secret", 0, C, VELKOR_SCAN_VERIFIED, 816},
        {"data-sized: a table of the payload's 70 entries", ds, "secret", 1, C, VELKOR_SCAN_VERIFIED, 478},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.what);
        velkor_scan_options o{};
        o.key = k.key;
        o.data_sized_state = k.data_sized;
        for (size_t limit : {k.limit, k.limit - 1}) {
            o.memory_limit = limit;
            const scan_result r = scan(k.image, whole, o, 1, {true, true, false});
            if (limit == k.limit) {
                expect_finds(r, {{0, k.kind, k.reason, k.image.size() + (k.reason == VELKOR_SCAN_TRUNCATED), -1}},
                             "at the limit");
                EXPECT_EQ(r.dropped, 0u);
            } else {
                EXPECT_TRUE(r.finds.empty());
                EXPECT_EQ(r.dropped, 1u);
            }
        }
    }
}

// At the limit, what ends at an offset is resolved before a header there
// is looked at: a limit that holds one candidate keeps a tagged file that
// starts where the last one ends, for every piece size, also when the
// starts before it were looked at in bulk.
TEST(Scan, HeaderAtTheOldestEndIsKept)
{
    // a ends in a start that opens nothing ("s" and "t" four on), so the
    // scanner, full, looks at starts in bulk up to b.
    const uint8_t false_start[] = {'s', 'x', 'x', 'x', 't'};
    const bytes a = tagged(cat({filler(50, 170), bytes(false_start, false_start + 5)}));
    const bytes b = tagged(filler(60, 171));
    const bytes image = cat({a, b});
    // What one tagged candidate holds alone: the memory limit that fits it
    // and no second one, found by asking.
    size_t one = 0;
    for (size_t limit = 1; limit < 4096 && one == 0; limit++) {
        velkor_scan_options o{};
        o.memory_limit = limit;
        if (scan(a, whole, o).dropped == 0)
            one = limit;
    }
    ASSERT_GT(one, 0u);
    velkor_scan_options o{};
    o.memory_limit = one;
    const bytes both_open = tagged(a); // a inside another: two at once
    EXPECT_EQ(scan(both_open, whole, o).dropped, 1u);
    for (size_t piece : feed_sizes) {
        const scan_result r = scan(image, piece, o);
        EXPECT_EQ(r.dropped, 0u) << named(piece);
        expect_finds(r,
                     {{0, T, VELKOR_SCAN_VERIFIED, a.size(), -1},
                      {a.size(), T, VELKOR_SCAN_VERIFIED, b.size(), -1}},
                     named(piece));
    }
}

// The scanner's calls refuse NULL with EINVAL rather than crash, and the
// pass calls refuse what is out of turn.
TEST(Scan, NullAndOutOfTurn)
{
    velkor_find f;
    uint64_t from = 0;
    const uint8_t byte = 'x';
    struct {
        const char *name;
        std::function<long long()> call;
        long long fails;
    } calls[] = {
        {"feed", [&] { return velkor_scan_feed(nullptr, &byte, 1); }, -1},
        {"finish", [&] { return velkor_scan_finish(nullptr); }, -1},
        {"next", [&] { return velkor_scan_next(nullptr, &f); }, -1},
        {"dropped", [&] { return static_cast<long long>(velkor_scan_dropped(nullptr)); }, 0},
        {"set_length", [&] { return velkor_scan_set_length(nullptr, 5); }, -1},
        {"set_passes", [&] { return velkor_scan_set_passes(nullptr, 1); }, -1},
        {"pass_done", [&] { return velkor_scan_pass_done(nullptr); }, -1},
        {"next_pass", [&] { return velkor_scan_next_pass(nullptr, &from); }, -1},
        {"keep_from", [&] { return static_cast<long long>(velkor_scan_keep_from(nullptr)); }, 0},
    };
    for (const auto &c : calls) {
        errno = 0;
        EXPECT_EQ(c.call(), c.fails) << c.name;
        EXPECT_EQ(errno, EINVAL) << c.name;
    }
    velkor_scanner *sc = velkor_scan_new(nullptr);
    ASSERT_NE(sc, nullptr);
    errno = 0;
    EXPECT_EQ(velkor_scan_next(sc, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(velkor_scan_feed(sc, nullptr, 1), -1);
    EXPECT_EQ(velkor_scan_feed(sc, nullptr, 0), 0);
    EXPECT_EQ(velkor_scan_next_pass(sc, &from), -1) << "before finish";
    EXPECT_EQ(velkor_scan_set_length(sc, UINT64_MAX), -1);
    EXPECT_EQ(velkor_scan_finish(sc), 0);
    EXPECT_EQ(velkor_scan_next_pass(sc, nullptr), -1);
    EXPECT_EQ(velkor_scan_next_pass(sc, &from), 0) << "nothing dropped";
    velkor_scan_free(sc);
}

// What a caller keeping a pipe's bytes must keep: from the oldest find not
// yet taken, or else the starts not yet looked at (under a header's length
// behind the last byte fed).
TEST(Scan, KeepFrom)
{
    const bytes t = tagged(filler(5000, 180));
    const bytes image = cat({filler(3000, 181), t, filler(3000, 182)});
    velkor_scanner *sc = velkor_scan_new(nullptr);
    ASSERT_NE(sc, nullptr);
    velkor_find f;
    std::vector<uint64_t> seen;
    for (size_t at = 0; at < image.size(); at += 1000) {
        const size_t n = std::min<size_t>(1000, image.size() - at);
        ASSERT_EQ(velkor_scan_feed(sc, image.data() + at, n), 0);
        while (velkor_scan_next(sc, &f) == 1)
            seen.push_back(f.offset);
        const uint64_t keep = velkor_scan_keep_from(sc);
        EXPECT_LE(keep, at + n);
        if (at + n > 3000 + ENC_MAX_HEADER_LEN && at + n < 3000 + t.size()) {
            EXPECT_EQ(keep, 3000u) << at; // the tagged file is pending
        } else {
            EXPECT_GE(keep + ENC_MAX_HEADER_LEN, at + n) << at;
        }
    }
    EXPECT_EQ(seen, std::vector<uint64_t>{3000});
    velkor_scan_free(sc);
}

// Random images with finds planted at random, some damaged, some cut by
// the image's end: random pieces give what one whole scan gives.
TEST(Scan, PiecesNeverChangeTheFinds)
{
    std::mt19937 rng(77);
    velkor_scan_options keyed{};
    keyed.key = "secret";
    for (int round = 0; round < 30; round++) {
        const bytes image = planted_at_random(rng, 500, 6);
        for (const velkor_scan_options &o : {velkor_scan_options{}, keyed}) {
            const scan_result ref = scan(image, whole, o);
            for (uint32_t s = 0; s < 4; s++)
                expect_same(scan(image, 0, o, s), ref, "round " + std::to_string(round));
        }
    }
}

// Every search this CPU runs finds the same starts as a plain loop, in
// batches of any size, with starts planted around the edges of every block
// width and ranges that begin and end anywhere.
TEST(Scan, EverySearchFindsEveryStart)
{
    velkor::scan_search all[3];
    const size_t n = velkor::scan_searches(all);
    ASSERT_GE(n, 1u);
    EXPECT_STREQ(all[n - 1].name, "generic");
    auto plain = [](const bytes &b, size_t from, size_t to) {
        std::vector<size_t> r;
        for (size_t i = from; i < to; i++)
            if ((b[i] == 'b' && b[i + 11] == 0xB1) || (b[i] == 's' && b[i + 4] == 't') ||
                (b[i] == 'a' && b[i + 4] == '1'))
                r.push_back(i);
        return r;
    };
    std::mt19937 rng(5);
    for (int round = 0; round < 2000; round++) {
        bytes b = filler(300, rng());
        // Some starts, real and half-made (first byte alone, or the second).
        for (int k = rng() % 12; k > 0; k--) {
            const size_t at = rng() % 280;
            switch (rng() % 6) {
            case 0: b[at] = 'b'; b[at + 11] = 0xB1; break;
            case 1: b[at] = 's'; b[at + 4] = 't'; break;
            case 2: b[at] = 'a'; b[at + 4] = '1'; break;
            case 3: b[at] = 'b'; b[at + 4] = 't'; break;
            case 4: b[at] = 's'; b[at + 11] = 0xB1; break;
            default: b[at + 4] = '1'; break;
            }
        }
        const size_t readable = 200 + rng() % 101;
        const size_t to = rng() % (readable - 11 + 1);
        const size_t from = rng() % (to + 1);
        const size_t max = 1 + rng() % 4;
        const std::vector<size_t> want = plain(b, from, to);
        for (size_t k = 0; k < n; k++) {
            std::vector<size_t> got;
            size_t out[4], at = from, m;
            do {
                m = all[k].find(b.data(), at, to, readable, out, max);
                got.insert(got.end(), out, out + m);
                if (m > 0)
                    at = out[m - 1] + 1;
            } while (m == max);
            ASSERT_EQ(got, want) << all[k].name << " from " << from << " to " << to
                                 << " readable " << readable << " max " << max;
        }
    }
}

// ---------------------------------------------------------------------------
// Several keys, and containers checked against a plain model.

uint32_t be32_at(const uint8_t *p)
{
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

void put_be32_at(uint8_t *p, uint32_t v)
{
    for (int b = 0; b < 4; b++)
        p[b] = static_cast<uint8_t>(v >> (24 - 8 * b));
}

// What a container candidate is, the plain way.
struct model_find {
    uint64_t offset;
    velkor_scan_reason reason;
    uint32_t key;      // 1-based, 0: none
    bool damaged;      // texts of a failed checksum
    std::string label, sublabel;
};

// Every container candidate in the image: the layout read field by field
// at every offset, decrypt_buf() run on a copy of the rest of the image
// with each key in turn, and, when none opens it, the texts deciphered by
// vcrypt_buf() under each key in turn.
std::vector<model_find> plain_model(const bytes &image, const std::vector<std::string> &keys,
                                    int sized)
{
    std::vector<model_find> out;
    for (size_t o = 0; o < image.size(); o++) {
        const uint8_t *h = image.data() + o;
        const size_t avail = image.size() - o;
        if (avail < 11 || (memcmp(h, "start", 6) != 0 && memcmp(h, "asar1", 6) != 0))
            continue;
        const uint32_t l1 = be32_at(h + 7);
        if (l1 < 1 || l1 > 32 || avail < 15 + l1)
            continue;
        const uint32_t l2 = be32_at(h + 11 + l1);
        const size_t hl = 19 + l1 + l2;
        if (l2 < 1 || l2 > 8 || avail < hl)
            continue;
        const uint32_t d = be32_at(h + hl - 4);
        model_find m{o, VELKOR_SCAN_TRUNCATED, 0, false, "", ""};
        if (hl + uint64_t{d} + 4 <= avail) {
            m.reason = keys.empty() ? VELKOR_SCAN_NO_KEY : VELKOR_SCAN_WRONG_KEY;
            for (size_t k = 0; k < keys.size() && m.key == 0; k++) {
                bytes copy(h, h + avail);
                enc_info info{};
                info.key = keys[k].c_str();
                info.data_sized_state = sized;
                if (decrypt_buf(&info, copy.data(), static_cast<int64_t>(copy.size())) == 0)
                    m = {o, VELKOR_SCAN_VERIFIED, uint32_t(k + 1), false, info.label, info.sublabel};
            }
            for (size_t k = 0; k < keys.size() && m.key == 0; k++) {
                uint8_t lab[32], sub[8];
                EXPECT_EQ(vcrypt_buf(h[6], keys[k].c_str(), h + 11, lab, l1, sized), 0);
                EXPECT_EQ(vcrypt_buf(h[11], keys[k].c_str(), h + 15 + l1, sub, l2, sized), 0);
                if (lab[l1 - 1] == 0 && sub[l2 - 1] == 0)
                    m = {o, VELKOR_SCAN_WRONG_KEY, uint32_t(k + 1), true,
                         reinterpret_cast<char *>(lab), reinterpret_cast<char *>(sub)};
            }
        }
        out.push_back(m);
    }
    return out;
}

void expect_model(const scan_result &r, const std::vector<model_find> &want, const std::string &what)
{
    std::vector<const velkor_find_info *> got;
    for (const velkor_find_info &i : r.infos)
        if (i.find.kind == VELKOR_FIND_CONTAINER)
            got.push_back(&i);
    ASSERT_EQ(got.size(), want.size()) << what;
    EXPECT_EQ(r.dropped, 0u) << what;
    for (size_t k = 0; k < want.size(); k++) {
        const velkor_find_info &i = *got[k];
        const model_find &m = want[k];
        const std::string at = what + ", container at " + std::to_string(m.offset);
        EXPECT_EQ(i.find.offset, m.offset) << at;
        EXPECT_EQ(i.find.reason, m.reason) << at;
        EXPECT_EQ(i.key, m.key) << at;
        EXPECT_EQ(i.damaged_texts != 0, m.damaged) << at;
        EXPECT_EQ(i.find.deciphered != 0, m.reason == VELKOR_SCAN_VERIFIED) << at;
        if (m.key != 0) {
            EXPECT_EQ(std::string(i.find.label, strnlen(i.find.label, 32)), m.label) << at;
            EXPECT_EQ(std::string(i.find.sublabel, strnlen(i.find.sublabel, 8)), m.sublabel) << at;
        } else {
            EXPECT_EQ(i.find.label[0], 0) << at;
        }
    }
}

// A random text of 0 to max - 1 characters, no NUL.
std::string random_text(std::mt19937 &rng, size_t max)
{
    std::string t(rng() % max, 'x');
    for (char &c : t)
        c = static_cast<char>('A' + rng() % 26);
    return t;
}

// Random bytes with containers under the given keys (some damaged, some
// nested, some under a key the scanner lacks) and floods of one header
// repeated back to back, each claiming to end at the image's end or
// anywhere near it, with the flood's own sound container last.
bytes keyed_image(std::mt19937 &rng, const std::vector<std::string> &keys, int sized)
{
    bytes image = filler(rng() % 200, rng());
    std::vector<std::pair<size_t, size_t>> floods; // header offset, its length
    auto fields = [&](const std::string &key, std::string &label, std::string &sub) {
        container_fields c;
        label = random_text(rng, rng() % 4 == 0 ? 32 : 3);
        sub = random_text(rng, rng() % 4 == 0 ? 8 : 2);
        c.key = key.c_str();
        c.label = label.c_str();
        c.sublabel = sub.c_str();
        c.prefix = static_cast<uint8_t>(rng());
        c.magic = rng() % 2 ? "start" : "asar1";
        c.data_sized = sized;
        return c;
    };
    for (int n = 1 + static_cast<int>(rng() % 6); n > 0; n--) {
        const std::string key = rng() % 5 == 0 ? "not given" : keys[rng() % keys.size()];
        std::string label, sub;
        const container_fields c = fields(key, label, sub);
        bytes piece;
        switch (rng() % 5) {
        case 4: // one header twice, the second container's payload shorter:
                // its checksum wants the keystream less far than the first's
            piece = cat({container(filler(100 + rng() % 100, rng()), c), filler(rng() % 9, rng()),
                         container(filler(rng() % 100, rng()), c)});
            break;
        case 0: // a flood: one header again and again, then the sound container
        {
            const bytes sound = container(filler(rng() % 100, rng()), c);
            const size_t hl = enc_compute_header_len(c.label, c.sublabel);
            for (int k = 2 + static_cast<int>(rng() % 40); k > 0; k--) {
                floods.emplace_back(image.size() + piece.size(), hl);
                piece.insert(piece.end(), sound.begin(), sound.begin() + static_cast<long>(hl));
            }
            piece.insert(piece.end(), sound.begin(), sound.end());
            break;
        }
        case 1: // nested
            piece = container_around(cat({filler(rng() % 9, rng()),
                                          container(filler(rng() % 60, rng()), c)}),
                                     c);
            break;
        default:
            piece = container(filler(rng() % 300, rng()), c);
            if (rng() % 3 == 0)
                piece[piece.size() - 1 - rng() % 5] ^= 0x21; // payload or checksum
            break;
        }
        image = cat({image, piece, filler(rng() % 50, rng())});
    }
    image.resize(image.size() - rng() % 10);
    for (const auto &[at, hl] : floods) {
        const uint64_t rest = image.size() - at - hl - 4;
        const uint64_t d = rng() % 2 ? rest : rest + 3 - rng() % 7;
        put_be32_at(image.data() + at + hl - 4, static_cast<uint32_t>(d));
    }
    return image;
}

// The scanner with several keys finds what the plain model finds, for any
// pieces, with the image's length and passes under a small limit too.
// Data-sized payloads are deciphered one by one (at most so many at once,
// within a budget), so their rounds take passes and a budget that fits.
TEST(ScanKeys, SameVerdictsAsThePlainModel)
{
    std::mt19937 rng(2828);
    const std::vector<std::string> keys = {"first", "second key", "k3"};
    for (int round = 0; round < 60; round++) {
        const int sized = round % 6 == 5;
        const std::vector<std::string> some(keys.begin(), keys.begin() + 1 + round % 3);
        const bytes image = keyed_image(rng, some, sized);
        const auto want = plain_model(image, some, sized);
        velkor_scan_options o{};
        o.data_sized_state = sized;
        o.memory_limit = size_t{1} << 30;
        const std::string what = "round " + std::to_string(round);
        scan_way way{};
        way.keys = &some;
        way.known_length = way.passes = sized;
        way.budget = sized ? 1000 : 0;
        expect_model(scan(image, whole, o, 1, way), want, what + ", whole");
        expect_model(scan(image, 0, o, round, way), want, what + ", random pieces");
        way.known_length = way.passes = true;
        if (!sized)
            o.memory_limit = 4000 + rng() % 4000;
        expect_model(scan(image, 0, o, round, way), want, what + ", passes");
    }
}

// Two containers under two keys and a damaged one: each names the key
// that opened it, or whose texts it holds, by number, and no find holds a
// key's text.  Keys are tried in the order given.
TEST(ScanKeys, KeyNumbersAndDamagedTexts)
{
    container_fields a, b;
    a.key = "alpha-key";
    a.label = "boot";
    b.key = "bravo-key";
    b.label = "rootfs";
    b.sublabel = "r2";
    bytes damaged = container(filler(90, 201), b);
    damaged[damaged.size() - 20] ^= 0x01;
    const bytes image = cat({filler(20, 202), container(filler(100, 203), a), filler(7, 204),
                             container(filler(80, 205), b), damaged, filler(3, 206)});
    const std::vector<std::string> keys = {"charlie", "bravo-key", "alpha-key"};
    scan_way way{};
    way.keys = &keys;
    for (size_t piece : {size_t{1}, size_t{64}, whole}) {
        const scan_result r = scan(image, piece, {}, 1, way);
        ASSERT_EQ(r.infos.size(), 3u);
        struct {
            velkor_scan_reason reason;
            uint32_t key;
            bool damaged;
            const char *label;
        } want[] = {{VELKOR_SCAN_VERIFIED, 3, false, "boot"},
                    {VELKOR_SCAN_VERIFIED, 2, false, "rootfs"},
                    {VELKOR_SCAN_WRONG_KEY, 2, true, "rootfs"}};
        for (size_t k = 0; k < 3; k++) {
            const velkor_find_info &i = r.infos[k];
            EXPECT_EQ(i.find.reason, want[k].reason) << k;
            EXPECT_EQ(i.key, want[k].key) << k;
            EXPECT_EQ(i.damaged_texts != 0, want[k].damaged) << k;
            EXPECT_STREQ(i.find.label, want[k].label) << k;
            EXPECT_EQ(i.level, 0u);
            for (const std::string &key : keys) {
                const auto *p = reinterpret_cast<const char *>(&i);
                EXPECT_EQ(std::search(p, p + sizeof i, key.begin(), key.end()), p + sizeof i)
                    << "key text in find " << k;
            }
        }
        // velkor_scan_next() gives what it always gave: no texts of a
        // container that failed.
        EXPECT_EQ(r.finds[2].deciphered, 0);
    }
    const scan_result old = scan(image, 64, [] {
        velkor_scan_options o{};
        o.key = "bravo-key";
        return o;
    }());
    ASSERT_EQ(old.finds.size(), 3u);
    EXPECT_EQ(old.finds[2].reason, VELKOR_SCAN_WRONG_KEY);
    EXPECT_EQ(old.finds[2].label[0], 0);

    // The same key given twice: the first of them is named.
    const std::vector<std::string> twice = {"bravo-key", "bravo-key"};
    way.keys = &twice;
    const scan_result dup = scan(image, whole, {}, 1, way);
    ASSERT_EQ(dup.infos.size(), 3u);
    EXPECT_EQ(dup.infos[0].key, 0u);
    EXPECT_EQ(dup.infos[1].key, 1u);
    EXPECT_EQ(dup.infos[2].key, 1u);
    EXPECT_TRUE(dup.infos[2].damaged_texts);

    // A key the scanner lacks opens nothing, and names none.
    const std::vector<std::string> other = {"charlie"};
    way.keys = &other;
    const scan_result none = scan(image, whole, {}, 1, way);
    ASSERT_EQ(none.infos.size(), 3u);
    for (const velkor_find_info &i : none.infos) {
        EXPECT_EQ(i.find.reason, VELKOR_SCAN_WRONG_KEY);
        EXPECT_EQ(i.key, 0u);
    }
}

TEST(ScanKeys, RefusesWhatItCannotTake)
{
    const std::string too_long(255, 'k');
    const char *good[] = {"a", "b"};
    const char *empty[] = {"a", ""};
    const char *longer[] = {too_long.c_str()};
    const char *null_key[] = {"a", nullptr};
    std::vector<const char *> many(VELKOR_SCAN_MAX_KEYS + 1, "k");
    velkor_scan_options with_key{};
    with_key.key = "a";
    struct {
        const char *name;
        const char *const *keys;
        size_t count;
        const velkor_scan_options *o;
    } cases[] = {
        {"empty key", empty, 2, nullptr},
        {"key too long", longer, 1, nullptr},
        {"null key", null_key, 2, nullptr},
        {"no list", nullptr, 1, nullptr},
        {"too many", many.data(), many.size(), nullptr},
        {"options.key too", good, 2, &with_key},
    };
    for (const auto &c : cases) {
        errno = 0;
        EXPECT_EQ(velkor_scan_new_keys(c.keys, c.count, c.o), nullptr) << c.name;
        EXPECT_EQ(errno, EINVAL) << c.name;
    }
    velkor_scanner *sc = velkor_scan_new_keys(many.data(), VELKOR_SCAN_MAX_KEYS, nullptr);
    ASSERT_NE(sc, nullptr);
    velkor_find_info info;
    info.size = sizeof info - 1;
    errno = 0;
    EXPECT_EQ(velkor_scan_next_info(sc, &info), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(velkor_scan_set_budget(sc, 0), -1);
    EXPECT_EQ(velkor_scan_set_budget(sc, 3), 0);
    EXPECT_EQ(velkor_scan_level(sc), 0);
    uint64_t at, len;
    EXPECT_EQ(velkor_scan_payload_source(sc, &at, &len), -1) << "the image's own scanner";
    const uint8_t x = 'x';
    EXPECT_EQ(velkor_scan_feed(sc, &x, 1), 0);
    EXPECT_EQ(velkor_scan_set_budget(sc, 3), -1) << "after the first piece";
    velkor_scan_free(sc);
    sc = velkor_scan_new_keys(nullptr, 0, nullptr);
    ASSERT_NE(sc, nullptr) << "no keys at all";
    velkor_scan_free(sc);
    EXPECT_EQ(velkor_scan_level(nullptr), -1);
    EXPECT_STREQ(velkor_scan_reason_text(VELKOR_SCAN_OVER_MEMORY), "over the memory limit");
    EXPECT_STREQ(velkor_scan_reason_text(VELKOR_SCAN_OVER_BUDGET), "over the work budget");
}

// A data-sized container of 17 MiB needs a table of 17 MiB: verified with a
// 64 MiB limit, and with the default one reported with what it needs
// rather than lost.  The scanners of velkor_scan_new() drop and count it,
// as they always did.
TEST(ScanKeys, LargeDataSizedContainerReportedNotLost)
{
    container_fields sized;
    sized.data_sized = 1;
    const size_t d = size_t{17} << 20;
    bytes payload(d);
    for (size_t k = 0; k < d; k++)
        payload[k] = static_cast<uint8_t>(k * 7);
    const bytes image = cat({tagged(filler(10, 210)), container(payload, sized), tagged(filler(10, 211))});
    const std::vector<std::string> keys = {"secret"};
    velkor_scan_options o{};
    o.data_sized_state = 1;
    scan_way way{true, true, false, &keys};
    const scan_result def = scan(image, 1 << 20, o, 1, way);
    ASSERT_EQ(def.infos.size(), 3u);
    EXPECT_EQ(def.dropped, 0u);
    EXPECT_EQ(def.infos[1].find.reason, VELKOR_SCAN_OVER_MEMORY);
    EXPECT_GT(def.infos[1].needs, d);
    EXPECT_LT(def.infos[1].needs, d + 4096);
    EXPECT_EQ(def.infos[2].find.reason, VELKOR_SCAN_VERIFIED);
    o.memory_limit = size_t{64} << 20;
    const scan_result big = scan(image, 1 << 20, o, 1, way);
    ASSERT_EQ(big.infos.size(), 3u);
    EXPECT_EQ(big.infos[1].find.reason, VELKOR_SCAN_VERIFIED);
    EXPECT_EQ(big.infos[1].key, 1u);

    velkor_scan_options old{};
    old.key = "secret";
    old.data_sized_state = 1;
    const scan_result legacy = scan(image, 1 << 20, old, 1, {true, true, false});
    EXPECT_EQ(legacy.finds.size(), 2u);
    EXPECT_EQ(legacy.dropped, 1u);
}

// Data-sized payloads deciphered over a scan come to at most the budget
// times the image's length, passes included: beyond it a candidate is
// reported, not deciphered.
TEST(ScanKeys, DataSizedWorkBudget)
{
    container_fields sized;
    sized.data_sized = 1;
    // One container around another: their payloads together are nearly
    // twice the image, so a budget of 1 holds the outer one alone.
    const bytes image = container_around(container(filler(3000, 220), sized), sized);
    const std::vector<std::string> keys = {"secret"};
    velkor_scan_options o{};
    o.data_sized_state = 1;
    scan_way way{true, true, false, &keys};
    way.budget = 1;
    for (size_t piece : {size_t{7}, whole}) {
        const scan_result r = scan(image, piece, o, 1, way);
        ASSERT_EQ(r.infos.size(), 2u);
        EXPECT_EQ(r.infos[0].find.reason, VELKOR_SCAN_VERIFIED);
        EXPECT_EQ(r.infos[1].find.reason, VELKOR_SCAN_OVER_BUDGET);
    }
    way.budget = 2;
    const scan_result r = scan(image, 64, o, 1, way);
    ASSERT_EQ(r.infos.size(), 2u);
    EXPECT_EQ(r.infos[1].find.reason, VELKOR_SCAN_VERIFIED);
}

// The keyed flood: the header of a container with an empty label and
// sublabel every 21 bytes, each claiming the rest of the image, the sound
// container last.  A scan under a small limit takes passes and finds what
// one pass with unbounded memory finds: every forged header a damaged
// container with its (empty) texts, the sound one verified.  Its payload
// of 1.5 MiB, in the last pass, is checked from the keystream taken up
// again at a mark that the first pass left.
TEST(ScanKeys, KeyedFloodComplete)
{
    const size_t n = size_t{3} << 20;
    container_fields c;
    c.label = "";
    c.sublabel = "";
    const bytes sound = container(filler(size_t{3} << 19, 280), c);
    const size_t hl = enc_compute_header_len("", "");
    bytes image(n - sound.size());
    const size_t forged = image.size() / hl;
    image.resize(forged * hl);
    for (size_t k = 0; k < forged; k++) {
        std::copy(sound.begin(), sound.begin() + static_cast<long>(hl), image.begin() + static_cast<long>(k * hl));
        put_be32_at(image.data() + k * hl + hl - 4,
                    static_cast<uint32_t>(forged * hl + sound.size() - k * hl - hl - 4));
    }
    image = cat({image, sound});
    const std::vector<std::string> keys = {"other", "secret"};
    velkor_scan_options big{};
    big.memory_limit = size_t{1} << 30;
    scan_way way{true, true, false, &keys};
    const scan_result ref = scan(image, 1 << 16, big, 1, way);
    ASSERT_EQ(ref.passes, 1);
    ASSERT_EQ(ref.infos.size(), forged + 1);
    for (size_t k = 0; k < forged; k++) {
        ASSERT_EQ(ref.infos[k].find.reason, VELKOR_SCAN_WRONG_KEY) << k;
        ASSERT_TRUE(ref.infos[k].damaged_texts) << k;
        ASSERT_EQ(ref.infos[k].key, 2u) << k;
    }
    EXPECT_EQ(ref.infos.back().find.reason, VELKOR_SCAN_VERIFIED);
    EXPECT_EQ(ref.infos.back().find.offset, forged * hl);
    velkor_scan_options small{};
    small.memory_limit = 1 << 20;
    const scan_result r = scan(image, 1 << 16, small, 2, way);
    EXPECT_GT(r.passes, 3);
    expect_same(r, ref, "passes");
    for (size_t k = 0; k < r.infos.size() && k < ref.infos.size(); k++)
        ASSERT_EQ(r.infos[k].key, ref.infos[k].key) << k;
}

// ---------------------------------------------------------------------------
// Payloads.

struct tree_result {
    std::vector<velkor_find_info> finds; // depth first: each find, then its payload's
    std::vector<int> refused;            // errno of each payload scanner refused
    int passes = 0;
};

// Feeds sc its bytes (the image's, or a payload scanner's source) in pieces,
// in as many passes as it asks for, and does the same for the payload of
// every verified container it hands out, as a caller would.
void walk(velkor_scanner *sc, const bytes &image, uint64_t at, uint64_t len, size_t piece,
          tree_result &r)
{
    EXPECT_EQ(velkor_scan_set_passes(sc, 1), 0);
    auto take = [&] {
        velkor_find_info info;
        info.size = sizeof info;
        while (velkor_scan_next_info(sc, &info) == 1) {
            r.finds.push_back(info);
            if (info.find.kind != VELKOR_FIND_CONTAINER || info.find.reason != VELKOR_SCAN_VERIFIED)
                continue;
            errno = 0;
            velkor_scanner *child = velkor_scan_payload_new(sc, &info);
            if (child == nullptr) {
                r.refused.push_back(errno);
                continue;
            }
            EXPECT_EQ(velkor_scan_level(child), velkor_scan_level(sc) + 1);
            uint64_t a = 0, l = 0;
            EXPECT_EQ(velkor_scan_payload_source(child, &a, &l), 0);
            EXPECT_EQ(velkor_scan_set_length(child, l), 0);
            walk(child, image, a, l, piece, r);
            velkor_scan_free(child);
        }
    };
    uint64_t from = 0;
    do {
        r.passes++;
        for (uint64_t k = from; k < len; k += std::min<uint64_t>(piece, len - k)) {
            EXPECT_EQ(velkor_scan_feed(sc, image.data() + at + k,
                                       static_cast<size_t>(std::min<uint64_t>(piece, len - k))),
                      0);
            take();
        }
        EXPECT_EQ(velkor_scan_finish(sc), 0);
        take();
    } while (velkor_scan_next_pass(sc, &from) == 1 && r.passes < 10000);
}

tree_result scan_tree(const bytes &image, size_t piece, const std::vector<std::string> &keys,
                      velkor_scan_options o = {}, uint32_t budget = 0)
{
    tree_result r;
    velkor_scanner *sc = new_keys(keys, o);
    EXPECT_NE(sc, nullptr);
    if (sc == nullptr)
        return r;
    EXPECT_EQ(velkor_scan_set_length(sc, image.size()), 0);
    if (budget != 0) {
        EXPECT_EQ(velkor_scan_set_budget(sc, budget), 0);
    }
    walk(sc, image, 0, image.size(), piece, r);
    velkor_scan_free(sc);
    return r;
}

// (level, offset, kind, reason) of each find, for comparing trees.
std::vector<std::tuple<uint32_t, uint64_t, int, int, int64_t>> shape(const tree_result &r)
{
    std::vector<std::tuple<uint32_t, uint64_t, int, int, int64_t>> v;
    for (const velkor_find_info &i : r.finds)
        v.emplace_back(i.level, i.find.offset, i.find.kind, i.find.reason,
                       i.find.inside_valid ? static_cast<int64_t>(i.find.inside) : -1);
    return v;
}

// A tagged file and a container inside a container's payload, and a tagged
// file inside that one's: each found by the payload scanner of the
// container around it, at its offset in that payload, however the source
// is cut; the image's own scanner sees only the outermost container.
TEST(ScanPayload, FindsInsideDecipheredPayloads)
{
    container_fields inner_f, outer_f;
    inner_f.key = "inner key";
    inner_f.label = "inner";
    outer_f.label = "outer";
    const bytes deep = tagged(filler(40, 230));
    const bytes inner = container(cat({filler(9, 231), deep}), inner_f);
    const bytes t = tagged(filler(25, 232));
    const bytes payload = cat({filler(30, 233), t, filler(5, 234), inner, filler(4, 235)});
    const bytes outer = container(payload, outer_f);
    const bytes image = cat({filler(100, 236), outer, filler(11, 237)});
    const std::vector<std::string> keys = {"secret", "inner key"};
    const uint64_t inner_at = 30 + t.size() + 5;
    using row = std::tuple<uint32_t, uint64_t, int, int, int64_t>;
    const std::vector<row> want = {
        {0, 100, C, VELKOR_SCAN_VERIFIED, -1},
        {1, 30, T, VELKOR_SCAN_VERIFIED, -1},
        {1, inner_at, C, VELKOR_SCAN_VERIFIED, -1},
        {2, 9, T, VELKOR_SCAN_VERIFIED, -1},
    };
    for (size_t piece : {size_t{1}, size_t{13}, size_t{4096}}) {
        const tree_result r = scan_tree(image, piece, keys);
        EXPECT_EQ(shape(r), want) << named(piece);
        EXPECT_TRUE(r.refused.empty());
        if (r.finds.size() == want.size()) {
            EXPECT_EQ(r.finds[2].key, 2u);
            EXPECT_STREQ(r.finds[2].find.label, "inner");
            EXPECT_EQ(r.finds[3].find.length, deep.size());
        }
    }
    // Data-sized tables, and the same containers seen without their keys.
    container_fields sized_in = inner_f, sized_out = outer_f;
    sized_in.data_sized = sized_out.data_sized = 1;
    const bytes sized_image =
        container(cat({filler(30, 233), t, container(cat({filler(9, 231), deep}), sized_in)}),
                  sized_out);
    velkor_scan_options o{};
    o.data_sized_state = 1;
    const tree_result sized = scan_tree(sized_image, 64, keys, o);
    ASSERT_EQ(sized.finds.size(), 4u);
    EXPECT_EQ(sized.finds[3].level, 2u);
    EXPECT_EQ(sized.finds[3].find.reason, VELKOR_SCAN_VERIFIED);
    const tree_result keyless = scan_tree(image, 64, {});
    EXPECT_EQ(shape(keyless), (std::vector<row>{{0, 100, C, VELKOR_SCAN_NO_KEY, -1}}));
}

// Containers nested in plaintext deeper than the limit: payloads are
// scanned VELKOR_SCAN_MAX_LEVEL deep, and the container found there is
// refused a payload scanner with ELOOP.
TEST(ScanPayload, NestingLimit)
{
    bytes box = tagged(filler(10, 240));
    const int depth = VELKOR_SCAN_MAX_LEVEL + 2;
    for (int k = 0; k < depth; k++)
        box = container(cat({filler(3, 241), box}));
    const tree_result r = scan_tree(box, 37, {"secret"});
    ASSERT_EQ(r.finds.size(), size_t{VELKOR_SCAN_MAX_LEVEL} + 1) << r.refused.size();
    for (size_t k = 0; k < r.finds.size(); k++) {
        EXPECT_EQ(r.finds[k].level, k);
        EXPECT_EQ(r.finds[k].find.offset, k == 0 ? 0u : 3u);
        EXPECT_EQ(r.finds[k].find.reason, VELKOR_SCAN_VERIFIED);
    }
    EXPECT_EQ(r.refused, std::vector<int>{ELOOP});
}

// Payload scanners charge the bytes they decipher to the image's budget:
// one container inside another takes the outer one's length once for its
// payload, and twice for the inner one's.
TEST(ScanPayload, WorkBudget)
{
    const bytes image = container(cat({filler(3, 250), container(tagged(filler(20, 251)))}));
    const tree_result one = scan_tree(image, 64, {"secret"}, {}, 1);
    EXPECT_EQ(one.refused, std::vector<int>{E2BIG});
    ASSERT_EQ(one.finds.size(), 2u);
    const tree_result three = scan_tree(image, 64, {"secret"}, {}, 3);
    EXPECT_TRUE(three.refused.empty());
    EXPECT_EQ(three.finds.size(), 3u);
}

// Under a small limit a payload scanner takes passes, each fed the source
// from its start, and finds what an unbounded scan of the plaintext finds.
TEST(ScanPayload, PassesInsideAPayload)
{
    bytes nest = tagged(filler(30, 260));
    for (int k = 0; k < 99; k++)
        nest = tagged(cat({filler(3, 261 + k % 50), nest, filler(2, 262)}));
    const bytes plain = cat({filler(17, 262), nest, container(filler(20, 263))});
    const bytes image = cat({filler(5, 264), container(plain), filler(5, 265)});
    const std::vector<std::string> keys = {"secret"};
    scan_way way{true, true, false, &keys};
    velkor_scan_options big{};
    big.memory_limit = size_t{1} << 30;
    const scan_result direct = scan(plain, whole, big, 1, way);
    velkor_scan_options o{};
    o.memory_limit = 12000;
    for (size_t piece : {size_t{5}, size_t{4096}}) {
        const tree_result r = scan_tree(image, piece, keys, o);
        ASSERT_EQ(r.finds.size(), direct.finds.size() + 1) << named(piece);
        for (size_t k = 0; k < direct.finds.size(); k++) {
            EXPECT_TRUE(same(r.finds[k + 1].find, direct.finds[k])) << k;
            EXPECT_EQ(r.finds[k + 1].level, 1u);
        }
        EXPECT_GT(r.passes, 2) << "the payload scanner took passes, " << named(piece);
    }
}

TEST(ScanPayload, RefusesWhatIsNotAnOpenedContainer)
{
    const bytes box = container(tagged(filler(20, 270)));
    const std::vector<std::string> keys = {"secret"};
    velkor_scanner *sc = new_keys(keys, {});
    ASSERT_NE(sc, nullptr);
    ASSERT_EQ(velkor_scan_feed(sc, box.data(), box.size()), 0);
    ASSERT_EQ(velkor_scan_finish(sc), 0);
    velkor_find_info good;
    good.size = sizeof good;
    ASSERT_EQ(velkor_scan_next_info(sc, &good), 1);
    ASSERT_EQ(good.find.reason, VELKOR_SCAN_VERIFIED);
    struct {
        const char *name;
        std::function<void(velkor_find_info &)> spoil;
    } cases[] = {
        {"not verified", [](velkor_find_info &i) { i.find.reason = VELKOR_SCAN_WRONG_KEY; }},
        {"a tagged file", [](velkor_find_info &i) { i.find.kind = VELKOR_FIND_TAGGED; }},
        {"no key", [](velkor_find_info &i) { i.key = 0; }},
        {"key not its", [](velkor_find_info &i) { i.key = 2; }},
        {"lengths", [](velkor_find_info &i) { i.find.length++; }},
        {"header", [](velkor_find_info &i) { i.find.payload_offset = i.find.offset + 60; }},
        {"size", [](velkor_find_info &i) { i.size = 8; }},
    };
    for (const auto &c : cases) {
        velkor_find_info i = good;
        c.spoil(i);
        errno = 0;
        EXPECT_EQ(velkor_scan_payload_new(sc, &i), nullptr) << c.name;
        EXPECT_EQ(errno, EINVAL) << c.name;
    }
    EXPECT_EQ(velkor_scan_payload_new(nullptr, &good), nullptr);
    EXPECT_EQ(velkor_scan_payload_new(sc, nullptr), nullptr);

    // Bytes other than the source's are refused at the header; more than
    // its length, at once.
    velkor_scanner *child = velkor_scan_payload_new(sc, &good);
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(velkor_scan_set_length(child, box.size() + 1), -1);
    bytes other = box;
    other[8] ^= 1; // the label's length
    errno = 0;
    EXPECT_EQ(velkor_scan_feed(child, other.data(), other.size()), -1);
    EXPECT_EQ(errno, EINVAL);
    velkor_scan_free(child);
    child = velkor_scan_payload_new(sc, &good);
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(velkor_scan_feed(child, box.data(), box.size() + 1), -1);
    EXPECT_EQ(velkor_scan_feed(child, box.data(), box.size()), 0);
    // Freed in either order.
    velkor_scan_free(sc);
    EXPECT_EQ(velkor_scan_finish(child), 0);
    velkor_find_info f;
    f.size = sizeof f;
    ASSERT_EQ(velkor_scan_next_info(child, &f), 1);
    EXPECT_EQ(f.find.offset, 0u);
    EXPECT_EQ(f.level, 1u);
    velkor_scan_free(child);
}

} // namespace
