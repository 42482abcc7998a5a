// What the scanner needs of the tagged-file layout, which tag.cpp alone
// knows.  Internal: not installed.
#ifndef VELKOR_TAG_INTERNAL_H
#define VELKOR_TAG_INTERNAL_H

#include <cstdint>

namespace velkor {

// Whether the VELKOR_TAG_HEADER_LEN bytes at p open a tagged file: magic,
// eight zero bytes, format byte, and a total length that holds at least the
// header.  If so, stores the length and the CRC field.
bool tag_header_candidate(const uint8_t *p, uint32_t *length, uint32_t *stored_crc);

// velkor_crc's register (from zero, length not fed) over the header at p
// with its CRC field taken as zero.
uint32_t tag_header_register(const uint8_t *p);

} // namespace velkor

#endif
