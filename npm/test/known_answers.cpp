// SPDX-License-Identifier: MIT
// The library's known answers (tests/known_answers.h) for the npm
// package's tests, built from that header into a small WebAssembly module
// of their own, so that the JavaScript tests share the C tests' tables
// rather than a copy.  ka_json() writes them as JSON, texts and byte
// strings in hex; ka_pattern() is the header's pattern().
#include "known_answers.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#define EXPORT(name) __attribute__((export_name(#name), visibility("default")))

namespace {

std::string hex(const void *p, size_t n)
{
    std::string o;
    char two[3];
    for (size_t i = 0; i < n; i++) {
        snprintf(two, sizeof two, "%02x", static_cast<const uint8_t *>(p)[i]);
        o += two;
    }
    return o;
}
std::string hex(const char *s) { return hex(s, strlen(s)); }
std::string quoted(const std::string &s) { return "\"" + s + "\""; }
std::string num(unsigned long long v) { return std::to_string(v); }

template <typename T, typename F> std::string list(const T &items, F f)
{
    std::string o = "[";
    for (const auto &x : items)
        o += (o.size() > 1 ? "," : "") + f(x);
    return o + "]";
}

std::string all()
{
    using namespace known_answers;
    std::string o = "{";
    o += "\"crcTexts\":" + list(crc_texts, [](const text_crc &c) {
        return "{\"text\":" + quoted(hex(c.text)) + ",\"repeat\":" + num(c.repeat) + ",\"crc\":" + num(c.crc) + "}";
    });
    o += ",\"csumTexts\":" + list(csum_texts, [](const text_csum &c) {
        return "{\"initial\":" + num(c.initial) + ",\"text\":" + quoted(hex(c.text, c.len)) +
               ",\"csum\":" + num(c.csum) + "}";
    });
    // crc over pattern(len, 1), csum from 0x12345678 over pattern(len, 2).
    o += ",\"checksums\":" + list(checksums, [](const checksum_case &c) {
        return "{\"len\":" + num(c.len) + ",\"crc\":" + num(c.crc) + ",\"csum\":" + num(c.csum) + "}";
    });
    o += ",\"taggedAbc\":" + quoted(tagged_abc) + ",\"taggedAbcCrc\":" + num(tagged_abc_crc);
    o += ",\"taggedEmpty\":" + quoted(tagged_empty);
    o += ",\"taggedPattern\":{\"len\":" + num(tagged_pattern_len) + ",\"seed\":" + num(tagged_pattern_seed) +
         ",\"header\":" + quoted(tagged_pattern_header) + "}";
    o += ",\"rfc6229\":{\"key\":" + quoted(hex(rfc6229_key, sizeof rfc6229_key)) + ",\"stream\":" +
         list(rfc6229_40bit, [](const keystream_at &k) {
             return "{\"offset\":" + num(k.offset) + ",\"hex\":" + quoted(k.hex) + "}";
         }) + "}";
    o += ",\"containers\":" + list(containers, [](const container_case &c) {
        return "{\"magic\":" + quoted(c.magic) + ",\"prefix\":" + num(c.prefix) + ",\"key\":" + quoted(hex(c.key)) +
               ",\"label\":" + quoted(hex(c.label)) + ",\"sublabel\":" + quoted(hex(c.sublabel)) +
               ",\"len\":" + num(c.len) + ",\"seed\":" + num(c.seed) + ",\"dataSized\":" +
               (c.dss ? "true" : "false") + ",\"hex\":" + quoted(c.hex) + "}";
    });
    return o + "}";
}

} // namespace

// Writes the JSON (at most @cap bytes) at @out; returns its whole length.
extern "C" EXPORT(ka_json) size_t ka_json(char *out, size_t cap)
{
    const std::string s = all();
    memcpy(out, s.data(), s.size() < cap ? s.size() : cap);
    return s.size();
}

extern "C" EXPORT(ka_pattern) void ka_pattern(uint8_t *out, size_t from, size_t n, unsigned seed)
{
    known_answers::pattern(out, from, n, seed);
}

extern "C" EXPORT(ka_alloc) void *ka_alloc(size_t n)
{
    return malloc(n);
}
