// SPDX-License-Identifier: MIT
// The scanner on arbitrary images, differentially: the image fed in pieces
// of sizes drawn from the input gives the same finds, in the same order,
// and the same dropped count as one feed of the whole image.  Every find
// must hold up when cut out of the image:
//  - a verified tagged file passes velkor_tag_parse(), velkor_tag_check_length()
//    and velkor_tag_check_crc();
//  - a verified container passes decrypt_buf() under the scan's key, with
//    the label and sublabel the scan reported;
//  - a find reported as truncated runs past the image's end, no other does;
//  - `inside` names an earlier verified find whose bytes hold the find's.
// The scan with the image's length given and in passes (as a file is
// scanned) loses nothing to the limit: under the small limit, in pieces,
// it gives what it gives under a limit far above the input's needs, unless
// a candidate alone exceeds the small one (a data-sized table); and it
// finds everything the single pass found.
//
// With a key, the scanner of several keys (another key first, then the
// input's) gives, under a roomy limit, the finds of the single key's scan
// in the same order with the same verdicts, each verified container named
// by a key that opens it with decrypt_buf(); what the single key's scan
// drops it reports.  Each verified container's payload is scanned by a
// payload scanner fed in pieces (two levels deep): its finds are those of
// one feed, and its verified tagged files check in the plaintext that
// decrypt_buf() gives.
//
// Input: flags (bit 0: data-sized tables, bit 1: a small memory limit),
// key text (none when empty), a seed for the piece sizes, then the image.
#include "fuzz_input.h"
#include "velkor.h"

#include <cerrno>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

// Feeds sc the len bytes at img in pieces drawn from seed (0: all at
// once), pass after pass for as long as it asks (a payload scanner from 0
// each time), calling take() after each piece and each finish.
template <typename Take>
void feed_all(velkor_scanner *sc, const uint8_t *img, size_t len, uint32_t seed, bool passes,
              Take take)
{
    uint64_t from = 0;
    int more = 0, count = 0;
    do {
        FUZZ_CHECK(++count <= static_cast<int>(len) + 1);
        size_t at = static_cast<size_t>(from);
        while (at < len) {
            size_t n = len - at;
            if (seed != 0) {
                seed = seed * 1103515245u + 12345u;
                // Mostly short pieces, now and then a long one.
                n = std::min<size_t>(n, (seed >> 16) % 8 == 0 ? (seed >> 8) % 4096 : (seed >> 16) % 70);
            }
            FUZZ_CHECK(velkor_scan_feed(sc, img + at, n) == 0);
            at += n;
            take();
        }
        FUZZ_CHECK(velkor_scan_finish(sc) == 0);
        take();
        more = velkor_scan_next_pass(sc, &from);
        FUZZ_CHECK(more == 0 || (passes && more == 1 && from < len));
    } while (more == 1);
}

// A reporting scanner's finds, the image's or a payload scanner's (fed its
// source), with the length given and in passes.
std::vector<velkor_find_info> scan_info(velkor_scanner *sc, const uint8_t *img, size_t len,
                                        uint32_t seed)
{
    FUZZ_CHECK(velkor_scan_set_length(sc, len) == 0 && velkor_scan_set_passes(sc, 1) == 0);
    std::vector<velkor_find_info> finds;
    velkor_find_info f;
    f.size = sizeof f;
    feed_all(sc, img, len, seed, true, [&] {
        while (velkor_scan_next_info(sc, &f) == 1)
            finds.push_back(f);
    });
    FUZZ_CHECK(velkor_scan_dropped(sc) == 0);
    return finds;
}

// Pieces drawn from seed (0: the whole image at once); with `passes`, the
// length is given and the image fed again for as long as asked.
std::vector<velkor_find> scan(const uint8_t *img, size_t len, const velkor_scan_options &o,
                              uint32_t seed, uint64_t *dropped, bool passes = false)
{
    velkor_scanner *sc = velkor_scan_new(&o);
    FUZZ_CHECK(sc != nullptr);
    if (passes)
        FUZZ_CHECK(velkor_scan_set_length(sc, len) == 0 && velkor_scan_set_passes(sc, 1) == 0);
    std::vector<velkor_find> finds;
    velkor_find f;
    feed_all(sc, img, len, seed, passes, [&] {
        while (velkor_scan_next(sc, &f) == 1)
            finds.push_back(f);
    });
    *dropped = velkor_scan_dropped(sc);
    velkor_scan_free(sc);
    return finds;
}

bool same(const velkor_find &a, const velkor_find &b)
{
    return a.offset == b.offset && a.kind == b.kind && a.reason == b.reason &&
           a.length == b.length && a.payload_offset == b.payload_offset &&
           a.payload_length == b.payload_length && a.inside_valid == b.inside_valid &&
           a.inside == b.inside && a.stored_crc == b.stored_crc &&
           a.computed_crc == b.computed_crc && memcmp(a.magic, b.magic, 6) == 0 &&
           a.key_prefix == b.key_prefix && a.label_len == b.label_len &&
           a.sublabel_len == b.sublabel_len && a.deciphered == b.deciphered &&
           (!a.deciphered || (memcmp(a.label, b.label, sizeof a.label) == 0 &&
                              memcmp(a.sublabel, b.sublabel, sizeof a.sublabel) == 0)) &&
           a.checksum == b.checksum;
}

// The finds of a verified container's payload, whole and in pieces, and
// one level below; its verified tagged files checked in the plaintext.
void payloads(velkor_scanner *parent, const velkor_find_info &f, const uint8_t *img,
              const std::vector<std::string> &keys, int sized, uint32_t seed)
{
    std::vector<velkor_find_info> first;
    for (uint32_t s : {0u, seed}) {
        velkor_scanner *child = velkor_scan_payload_new(parent, &f);
        if (child == nullptr) {
            FUZZ_CHECK(errno == E2BIG || errno == ENOMEM || errno == ELOOP);
            return;
        }
        uint64_t at = 0, len = 0;
        FUZZ_CHECK(velkor_scan_payload_source(child, &at, &len) == 0);
        const auto finds = scan_info(child, img + at, static_cast<size_t>(len), s);
        if (s == 0) {
            first = finds;
        } else {
            FUZZ_CHECK(finds.size() == first.size());
            for (size_t k = 0; k < finds.size(); k++)
                FUZZ_CHECK(same(finds[k].find, first[k].find) && finds[k].key == first[k].key);
        }
        if (s == 0 && velkor_scan_level(child) == 1) {
            // The plaintext, to check the tagged files in it.
            std::unique_ptr<uint8_t[]> copy(new uint8_t[f.find.length]);
            memcpy(copy.get(), img + f.find.offset, f.find.length);
            enc_info info{};
            info.key = keys[f.key - 1].c_str();
            info.data_sized_state = sized;
            FUZZ_CHECK(decrypt_buf(&info, copy.get(), static_cast<int64_t>(f.find.length)) == 0);
            for (const velkor_find_info &g : finds) {
                FUZZ_CHECK(g.level == 1);
                if (g.find.reason == VELKOR_SCAN_VERIFIED && g.find.kind == VELKOR_FIND_TAGGED) {
                    velkor_tag_info t;
                    FUZZ_CHECK(velkor_tag_parse(&t, copy.get() + g.find.offset, g.find.length) ==
                               VELKOR_TAG_OK);
                }
                if (g.find.reason == VELKOR_SCAN_VERIFIED && g.find.kind == VELKOR_FIND_CONTAINER)
                    payloads(child, g, img, keys, sized, seed);
            }
        }
        velkor_scan_free(child);
    }
}

// See the top: the reporting scanner with the input's key alone gives the
// single key's finds; with another key before it, the same candidates,
// each verified by the single key still verified, and every verified one
// opened by the key it names.
void several_keys(const uint8_t *img, size_t len, const velkor_scan_options &o,
                  const velkor_scan_options &roomy, const std::vector<velkor_find> &reference,
                  uint64_t dropped_reference, uint32_t seed)
{
    const std::vector<std::string> keys = {std::string("\x01") + o.key, o.key};
    const char *texts[] = {keys[0].c_str(), keys[1].c_str()};
    velkor_scan_options ko = roomy;
    ko.key = nullptr;
    for (size_t first : {1, 0}) {
        velkor_scanner *sc = velkor_scan_new_keys(texts + first, 2 - first, &ko);
        FUZZ_CHECK(sc != nullptr);
        const auto finds = scan_info(sc, img, len, seed);
        FUZZ_CHECK(finds.size() == reference.size() + dropped_reference);
        size_t r = 0;
        for (const velkor_find_info &f : finds) {
            if (f.find.reason == VELKOR_SCAN_OVER_BUDGET || f.find.reason == VELKOR_SCAN_OVER_MEMORY)
                continue; // what the single key's scan drops
            FUZZ_CHECK(r < reference.size());
            const velkor_find &g = reference[r++];
            if (first == 1)
                FUZZ_CHECK(same(f.find, g));
            FUZZ_CHECK(f.find.offset == g.offset && f.find.kind == g.kind &&
                       f.find.length == g.length);
            if (f.find.kind != VELKOR_FIND_CONTAINER)
                continue;
            FUZZ_CHECK(g.reason != VELKOR_SCAN_VERIFIED || f.find.reason == VELKOR_SCAN_VERIFIED);
            FUZZ_CHECK((f.key != 0) == (f.find.reason == VELKOR_SCAN_VERIFIED || f.damaged_texts));
            if (f.find.reason != VELKOR_SCAN_VERIFIED)
                continue;
            FUZZ_CHECK(f.key >= 1 && f.key <= 2 - first);
            std::unique_ptr<uint8_t[]> copy(new uint8_t[f.find.length]);
            memcpy(copy.get(), img + f.find.offset, f.find.length);
            enc_info info{};
            info.key = texts[first + f.key - 1];
            info.data_sized_state = o.data_sized_state;
            FUZZ_CHECK(decrypt_buf(&info, copy.get(), static_cast<int64_t>(f.find.length)) == 0);
            FUZZ_CHECK(strcmp(info.label, f.find.label) == 0 &&
                       strcmp(info.sublabel, f.find.sublabel) == 0);
            std::vector<std::string> own(keys.begin() + static_cast<long>(first), keys.end());
            payloads(sc, f, img, own, o.data_sized_state, seed);
        }
        FUZZ_CHECK(r == reference.size());
        velkor_scan_free(sc);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::input in(data, size);
    const uint8_t flags = in.u8();
    const std::string key = in.text(40);
    const uint32_t seed = in.u16() | 1u;
    const size_t len = in.rest_size();
    // Exactly len bytes on the heap, so any read past them is caught.
    std::unique_ptr<uint8_t[]> img(new uint8_t[len]);
    memcpy(img.get(), in.rest(), len);

    velkor_scan_options o{};
    o.key = key.empty() ? nullptr : key.c_str();
    o.data_sized_state = flags & 1;
    // Small limits to see drops; otherwise 1 MiB, which keeps the inputs
    // fast (data-sized payload tables count against it and are keyed whole).
    o.memory_limit = flags & 2 ? 512 + 64 * static_cast<size_t>(flags >> 2) : size_t{1} << 20;

    uint64_t dropped_whole, dropped_pieces;
    const auto whole = scan(img.get(), len, o, 0, &dropped_whole);
    const auto pieces = scan(img.get(), len, o, seed, &dropped_pieces);
    FUZZ_CHECK(whole.size() == pieces.size());
    FUZZ_CHECK(dropped_whole == dropped_pieces);
    for (size_t k = 0; k < whole.size(); k++)
        FUZZ_CHECK(same(whole[k], pieces[k]));

    velkor_scan_options roomy = o;
    roomy.memory_limit = size_t{64} << 20;
    uint64_t dropped_passes, dropped_roomy;
    const auto complete = scan(img.get(), len, o, seed, &dropped_passes, true);
    const auto reference = scan(img.get(), len, roomy, 0, &dropped_roomy, true);
    // Only data-sized payloads beyond the work budget are dropped under a
    // roomy limit.
    FUZZ_CHECK(dropped_roomy == 0 || o.data_sized_state);
    if (dropped_passes == 0) {
        FUZZ_CHECK(complete.size() == reference.size());
        for (size_t k = 0; k < complete.size(); k++)
            FUZZ_CHECK(same(complete[k], reference[k]));
    }
    FUZZ_CHECK(complete.size() + dropped_passes >= whole.size());
    std::map<uint64_t, const velkor_find *> all;
    for (const velkor_find &f : reference)
        all[f.offset] = &f;
    for (const auto *set : {&complete, &whole})
        for (const velkor_find &f : *set) {
            auto it = all.find(f.offset);
            FUZZ_CHECK(it != all.end() && it->second->kind == f.kind && it->second->reason == f.reason);
        }

    std::map<uint64_t, const velkor_find *> verified;
    uint64_t last = 0;
    for (size_t k = 0; k < whole.size(); k++) {
        const velkor_find &f = whole[k];
        FUZZ_CHECK(k == 0 || f.offset > last);
        last = f.offset;
        FUZZ_CHECK((f.reason == VELKOR_SCAN_TRUNCATED) == (f.offset + f.length > len));
        FUZZ_CHECK(f.payload_offset >= f.offset &&
                   f.payload_offset + f.payload_length <= f.offset + f.length);
        if (f.inside_valid) {
            auto it = verified.find(f.inside);
            FUZZ_CHECK(it != verified.end());
            FUZZ_CHECK(it->second->offset + it->second->length >= f.offset + f.length);
        }
        if (f.reason != VELKOR_SCAN_VERIFIED)
            continue;
        verified[f.offset] = &f;
        const uint8_t *p = img.get() + f.offset;
        const size_t n = static_cast<size_t>(f.length);
        if (f.kind == VELKOR_FIND_TAGGED) {
            velkor_tag_info info;
            FUZZ_CHECK(velkor_tag_parse(&info, p, n) == VELKOR_TAG_OK);
            FUZZ_CHECK(velkor_tag_check_length(&info, n) == VELKOR_TAG_OK);
            velkor_crc_state st;
            velkor_crc_init(&st);
            velkor_crc_update(&st, p + VELKOR_TAG_HEADER_LEN, n - VELKOR_TAG_HEADER_LEN);
            FUZZ_CHECK(velkor_tag_check_crc(&info, p, &st) == VELKOR_TAG_OK);
            FUZZ_CHECK(info.computed_crc == f.computed_crc);
        } else {
            FUZZ_CHECK(o.key != nullptr && f.deciphered);
            std::unique_ptr<uint8_t[]> copy(new uint8_t[n]);
            memcpy(copy.get(), p, n);
            enc_info info{};
            info.key = o.key;
            info.data_sized_state = o.data_sized_state;
            FUZZ_CHECK(decrypt_buf(&info, copy.get(), static_cast<int64_t>(n)) == 0);
            FUZZ_CHECK(info.data_length == f.payload_length && info.checksum == f.checksum);
            FUZZ_CHECK(memcmp(info.label, f.label, f.label_len) == 0 &&
                       memcmp(info.sublabel, f.sublabel, f.sublabel_len) == 0);
        }
    }

    if (o.key != nullptr)
        several_keys(img.get(), len, o, roomy, reference, dropped_roomy, seed);
    return 0;
}
