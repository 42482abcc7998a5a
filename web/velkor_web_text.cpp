// SPDX-License-Identifier: MIT
// velkor_web_text.cpp - labels and names for the page, by the command's own
// rules (tool/text.cpp): the page shows a label as `velkor info` prints it
// and writes JSON strings as `velkor scan --json` does, byte for byte.
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
