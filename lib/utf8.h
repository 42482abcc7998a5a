// SPDX-License-Identifier: MIT
// utf8.h - reading UTF-8 strictly, for names the library hands to a system
// that keeps them in another form (Windows' UTF-16: file.cpp).  Internal:
// not part of the installed interface.
#ifndef VELKOR_UTF8_H
#define VELKOR_UTF8_H

#include <cstddef>
#include <cstdint>
#if defined(_WIN32)
#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#endif

namespace velkor {

// The length of the well-formed UTF-8 sequence at p[i] (of n bytes) and
// its code point in cp, or 0 when the bytes there are not one: a stray or
// missing continuation byte, an overlong form, a surrogate or a value past
// U+10FFFF.
inline size_t utf8_at(const unsigned char *p, size_t n, size_t i, uint32_t &cp)
{
    const unsigned char c = p[i];
    size_t len;
    uint32_t least;
    if (c < 0x80) {
        cp = c;
        return 1;
    } else if (c >= 0xC2 && c <= 0xDF) {
        len = 2, cp = c & 0x1Fu, least = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3, cp = c & 0x0Fu, least = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4, cp = c & 0x07u, least = 0x10000;
    } else {
        return 0;
    }
    if (n - i < len)
        return 0;
    for (size_t k = 1; k < len; k++) {
        if ((p[i + k] & 0xC0) != 0x80)
            return 0;
        cp = cp << 6 | (p[i + k] & 0x3Fu);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return len;
}

#if defined(_WIN32)
// `path` as the UTF-16 name Windows keeps, or false with errno set: EILSEQ
// for bytes that are not UTF-8, which would otherwise name some other
// file, ENOMEM when there is no memory for the copy.
inline bool utf8_to_wide(const char *path, std::wstring &out)
{
    try {
        out.clear();
        const auto *p = reinterpret_cast<const unsigned char *>(path);
        const size_t n = strlen(path);
        for (size_t i = 0; i < n;) {
            uint32_t c;
            const size_t len = utf8_at(p, n, i, c);
            if (len == 0) {
                errno = EILSEQ;
                return false;
            }
            i += len;
            if (c >= 0x10000) {
                c -= 0x10000;
                out += static_cast<wchar_t>(0xD800 + (c >> 10));
                out += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
            } else {
                out += static_cast<wchar_t>(c);
            }
        }
        return true;
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        return false;
    }
}
#endif

} // namespace velkor

#endif
