// SPDX-License-Identifier: MIT
#include "text.h"
#include "utf8.h"

#include <cstdint>
#include <cstdio>

namespace velkor_text {
namespace {

// The length of the well-formed UTF-8 sequence at s[i] and its code point,
// or 0 when the bytes there are not one (lib/utf8.h).
size_t utf8_at(std::string_view s, size_t i, uint32_t &cp)
{
    return velkor::utf8_at(reinterpret_cast<const unsigned char *>(s.data()), s.size(), i, cp);
}

// C0 controls, DEL and the C1 controls (which some terminals obey too).
bool is_control(uint32_t cp) { return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F); }

// Characters that print nothing of their own yet change what a line shows
// or where it ends: bidirectional controls, which reorder the rest of the
// line (U+061C, U+200E, U+200F, U+202A..U+202E, U+2066..U+2069), the
// invisible U+200B, U+00AD and U+FEFF, the tag characters U+E0000..U+E007F,
// and the line and paragraph separators U+2028 and U+2029, which some
// readers take as line ends.  Shown escaped, as control characters are.
bool is_format(uint32_t cp)
{
    return cp == 0x00AD || cp == 0x061C || cp == 0x200B || cp == 0x200E || cp == 0x200F ||
           (cp >= 0x2028 && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069) || cp == 0xFEFF ||
           (cp >= 0xE0000 && cp <= 0xE007F);
}

// What a line shows only as escapes.
bool is_hidden(uint32_t cp) { return is_control(cp) || is_format(cp); }

void append_hex_byte(std::string &o, unsigned char ch)
{
    char esc[5];
    snprintf(esc, sizeof esc, "\\x%02x", ch);
    o += esc;
}

bool needs_quoting(std::string_view s)
{
    // A name that starts like a quoted one is quoted too, so that every
    // line reads back one way.
    if (!s.empty() && (s[0] == '\'' || s.substr(0, 2) == "$'"))
        return true;
    for (size_t i = 0; i < s.size();) {
        uint32_t cp;
        const size_t n = utf8_at(s, i, cp);
        if (n == 0 || is_hidden(cp))
            return true;
        i += n;
    }
    return false;
}

// The $'...' form, which reads back as the bytes themselves in a shell.
std::string shell_quoted(std::string_view s)
{
    std::string o = "$'";
    for (size_t i = 0; i < s.size();) {
        uint32_t cp;
        const size_t n = utf8_at(s, i, cp);
        if (n == 0 || is_hidden(cp)) {
            const auto ch = static_cast<unsigned char>(s[i]);
            switch (ch) {
            case '\n': o += "\\n"; break;
            case '\t': o += "\\t"; break;
            case '\r': o += "\\r"; break;
            default:
                // Every byte of a C1 control or a hidden character, one at
                // a time, so that the next one is never taken as a valid
                // sequence's start.
                for (size_t k = 0; k < (n == 0 ? 1 : n); k++)
                    append_hex_byte(o, static_cast<unsigned char>(s[i + k]));
            }
            i += n == 0 ? 1 : n;
            continue;
        }
        if (cp == '\\' || cp == '\'')
            o += '\\';
        o.append(s.substr(i, n));
        i += n;
    }
    return o + "'";
}

} // namespace

std::string quote_name(std::string_view name)
{
    return needs_quoting(name) ? shell_quoted(name) : std::string(name);
}

std::string quote_text(std::string_view text)
{
    if (text.empty())
        return "''";
    if (needs_quoting(text) || text.find(',') != std::string_view::npos || text.front() == ' ' ||
        text.back() == ' ')
        return shell_quoted(text);
    return std::string(text);
}

std::string plain_text(std::string_view text)
{
    std::string o;
    for (size_t i = 0; i < text.size();) {
        uint32_t cp;
        const size_t n = utf8_at(text, i, cp);
        if (n == 0 || is_hidden(cp)) {
            for (size_t k = 0; k < (n == 0 ? 1 : n); k++)
                append_hex_byte(o, static_cast<unsigned char>(text[i + k]));
        } else if (cp == '\\') {
            o += "\\\\";
        } else {
            o.append(text.substr(i, n));
        }
        i += n == 0 ? 1 : n;
    }
    return o;
}

std::string json_string(std::string_view text)
{
    std::string o = "\"";
    for (size_t i = 0; i < text.size();) {
        uint32_t cp;
        const size_t n = utf8_at(text, i, cp);
        if (n == 0) {
            o += "\xEF\xBF\xBD"; // U+FFFD, the replacement character
            i++;
            continue;
        }
        switch (cp) {
        case '"': o += "\\\""; break;
        case '\\': o += "\\\\"; break;
        case '\b': o += "\\b"; break;
        case '\f': o += "\\f"; break;
        case '\n': o += "\\n"; break;
        case '\r': o += "\\r"; break;
        case '\t': o += "\\t"; break;
        default:
            // U+2028 and U+2029 too: line splitters that know Unicode
            // (JavaScript's, Python's splitlines()) end a line there.
            if (is_control(cp) || cp == 0x2028 || cp == 0x2029) {
                char esc[7];
                snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(cp));
                o += esc;
            } else {
                o.append(text.substr(i, n));
            }
        }
        i += n;
    }
    return o + "\"";
}

std::string utf8_text(std::string_view text)
{
    std::string o;
    for (size_t i = 0; i < text.size();) {
        uint32_t cp;
        const size_t n = utf8_at(text, i, cp);
        if (n == 0) {
            o += "\xEF\xBF\xBD";
            i++;
        } else {
            o.append(text.substr(i, n));
            i += n;
        }
    }
    return o;
}

std::string csv_cell(std::string_view text)
{
    std::string o;
    if (!text.empty() && (text[0] == '=' || text[0] == '+' || text[0] == '-' || text[0] == '@' ||
                          text[0] == '\t' || text[0] == '\r'))
        o += '\'';
    o.append(text);
    if (o.find_first_of("\",\r\n") == std::string::npos)
        return o;
    std::string q = "\"";
    for (char ch : o) {
        if (ch == '"')
            q += '"';
        q += ch;
    }
    return q + "\"";
}

std::string xml_text(std::string_view text)
{
    std::string o;
    for (size_t i = 0; i < text.size();) {
        uint32_t cp;
        const size_t n = utf8_at(text, i, cp);
        if (n == 0 || (cp < 0x20 && cp != '\t' && cp != '\n' && cp != '\r') || cp == 0xFFFE ||
            cp == 0xFFFF) {
            o += "\xEF\xBF\xBD";
            i += n == 0 ? 1 : n;
            continue;
        }
        switch (cp) {
        case '&': o += "&amp;"; break;
        case '<': o += "&lt;"; break;
        case '>': o += "&gt;"; break;
        case '"': o += "&quot;"; break;
        case '\'': o += "&apos;"; break;
        default: o.append(text.substr(i, n));
        }
        i += n;
    }
    return o;
}

bool is_utf8(std::string_view text)
{
    for (size_t i = 0; i < text.size();) {
        uint32_t cp;
        const size_t n = utf8_at(text, i, cp);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

std::string hex(std::string_view bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string o;
    for (unsigned char ch : bytes) {
        o += digits[ch >> 4];
        o += digits[ch & 15];
    }
    return o;
}

} // namespace velkor_text
