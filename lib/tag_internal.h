// SPDX-License-Identifier: MIT
// The tagged-file layout, for tag.cpp and for the scanner, which tests a
// header at every start it finds and so needs the test inline.  Internal:
// not installed.
//
//   offset  size  field
//        0     3  "bgn", no terminator
//        3     8  zero
//       11     1  format byte 0xB1
//       12     4  total length, header included (BE32)
//       16     4  velkor_crc() of the whole file with this field zero (BE32)
#ifndef VELKOR_TAG_INTERNAL_H
#define VELKOR_TAG_INTERNAL_H

#include "be32.h"
#include "velkor.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace velkor {

namespace tag_layout {
constexpr size_t header_len = VELKOR_TAG_HEADER_LEN;
constexpr uint8_t format_byte = 0xB1;
constexpr size_t length_at = 12;
constexpr size_t crc_at = 16;
// The bytes before the length: magic, zeros, format byte.
constexpr uint8_t fixed[length_at] = {'b', 'g', 'n', 0, 0, 0, 0, 0, 0, 0, 0, format_byte};
} // namespace tag_layout

// Whether the VELKOR_TAG_HEADER_LEN bytes at p open a tagged file: magic,
// eight zero bytes, format byte, and a total length that holds at least the
// header.  If so, stores the length and the CRC field.
inline bool tag_header_candidate(const uint8_t *p, uint32_t *length, uint32_t *stored_crc)
{
    using namespace tag_layout;
    if (memcmp(p, fixed, length_at) != 0)
        return false;
    *length = get_be32(p + length_at);
    *stored_crc = get_be32(p + crc_at);
    return *length >= header_len;
}

} // namespace velkor

#endif
