// SPDX-License-Identifier: MIT
// tag_words.h - why a tagged file fails its check, in words: the reasons
// check, untag and info give, kept in one place so that every front end
// (the page's module included) words them alike.  Hexadecimal is lower
// case, as in every other output.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "velkor.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * tag_reason_words() - the reason @why in words, into the @size bytes at
 * @buf, with snprintf()'s result.  @ti is what velkor_tag_parse() (and,
 * for a CRC mismatch, velkor_tag_check_crc()) gave; @file_len is the
 * file's length in bytes (for VELKOR_TAG_SHORT: the bytes there were).
 * VELKOR_TAG_OK gives the empty text.
 */
int tag_reason_words(char *buf, size_t size, velkor_tag_reason why, const velkor_tag_info *ti,
                     uint64_t file_len);

/*
 * tag_fill_words() - the reason a padded file fails after its tagged
 * length: the byte @byte at offset @offset of the file is not fill.  @fill
 * is the fill byte the padding began with, or -1 when @byte is the first
 * byte after the tagged length (and is neither 0xff nor 0x00).
 */
int tag_fill_words(char *buf, size_t size, uint8_t byte, uint64_t offset, int fill);

#ifdef __cplusplus
}

#include <string>

// The same, as strings.
inline std::string tag_reason_text(velkor_tag_reason why, const velkor_tag_info &ti, uint64_t file_len)
{
    char text[160];
    tag_reason_words(text, sizeof text, why, &ti, file_len);
    return text;
}

inline std::string tag_fill_text(uint8_t byte, uint64_t offset, int fill)
{
    char text[160];
    tag_fill_words(text, sizeof text, byte, offset, fill);
    return text;
}
#endif
