// SPDX-License-Identifier: MIT
// velkor_web_text.cpp - labels and names for the page, by the command's own
// rules (tool/text.cpp): the page shows a label as `velkor info` prints it
// and writes JSON strings as `velkor scan --json` does, byte for byte; and
// a tagged file's refusal in check's words (tool/tag_words.cpp).
#include "tag_words.h"
#include "text.h"

#include <cstddef>
#include <cstring>
#include <string>

#define EXPORT(name) __attribute__((export_name(#name), visibility("default")))

// The @n bytes at @in as text: 0 for a person (invalid bytes and control
// characters as \xNN), 1 as a JSON string with its quotes.  Writes at most
// @cap bytes to @out and returns the whole text's length, so that a caller
// whose buffer was too small can ask again.
extern "C" EXPORT(vw_text) size_t vw_text(int how, const char *in, size_t n, char *out, size_t cap)
{
    const std::string_view text(in, n);
    const std::string s = how == 1 ? velkor_text::json_string(text) : velkor_text::plain_text(text);
    std::memcpy(out, s.data(), s.size() < cap ? s.size() : cap);
    return s.size();
}

// Why a tagged file fails, in the words of `velkor check`: @why a
// velkor_tag_reason, the header's fields as they were read, and the file's
// length (for a file shorter than the header, the bytes there were).
// Writes at most @cap bytes to @out and returns the text's length.
extern "C" EXPORT(vw_tag_words) size_t vw_tag_words(int why, double format, double length, double stored_crc,
                                                    double computed_crc, double file_len, char *out, size_t cap)
{
    velkor_tag_info ti{};
    ti.format = static_cast<uint8_t>(format);
    ti.length = static_cast<uint32_t>(length);
    ti.stored_crc = static_cast<uint32_t>(stored_crc);
    ti.computed_crc = static_cast<uint32_t>(computed_crc);
    const int n = tag_reason_words(out, cap, static_cast<velkor_tag_reason>(why), &ti,
                                   static_cast<uint64_t>(file_len));
    return n < 0 ? 0 : static_cast<size_t>(n);
}
