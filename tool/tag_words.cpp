// SPDX-License-Identifier: MIT
#include "tag_words.h"

#include <cinttypes>
#include <cstdio>

extern "C" int tag_reason_words(char *buf, size_t size, velkor_tag_reason why, const velkor_tag_info *ti,
                                uint64_t file_len)
{
    switch (why) {
    case VELKOR_TAG_OK:
        break;
    case VELKOR_TAG_SHORT:
        return snprintf(buf, size, "not a tagged file: %" PRIu64 " bytes, shorter than the %d-byte header",
                        file_len, VELKOR_TAG_HEADER_LEN);
    case VELKOR_TAG_NO_MAGIC:
        return snprintf(buf, size, "not a tagged file");
    case VELKOR_TAG_WRONG_FORMAT:
        return snprintf(buf, size, "wrong format byte 0x%02x, expected 0xb1", ti->format);
    case VELKOR_TAG_WRONG_LENGTH:
        return snprintf(buf, size, "length field says %" PRIu32 " but the file has %" PRIu64 " bytes", ti->length,
                        file_len);
    case VELKOR_TAG_CRC_MISMATCH:
        return snprintf(buf, size, "CRC mismatch: stored 0x%08" PRIx32 ", computed 0x%08" PRIx32, ti->stored_crc,
                        ti->computed_crc);
    }
    return snprintf(buf, size, "%s", "");
}

extern "C" int tag_fill_words(char *buf, size_t size, uint8_t byte, uint64_t offset, int fill)
{
    if (fill < 0)
        return snprintf(buf, size,
                        "byte 0x%02x at offset %" PRIu64 " follows the tagged length and is not fill (0xff or 0x00)",
                        byte, offset);
    return snprintf(buf, size, "byte 0x%02x at offset %" PRIu64 " breaks the padding of 0x%02x", byte, offset,
                    static_cast<unsigned>(fill));
}
