// SPDX-License-Identifier: MIT
// The tagged-file format: a 20-byte header in front of a payload, laid out
// in tag_internal.h.  This file and that header are the only places that
// know the layout.
#include "velkor.h"
#include "be32.h"
#include "crc_combine.h"
#include "tag_internal.h"

#include <cstring>

namespace {

using velkor::get_be32;
using velkor::put_be32;

using namespace velkor::tag_layout;

// velkor_crc's register (from zero, length not fed) over the header with
// its CRC field taken as zero.
uint32_t header_register(const uint8_t *header)
{
    uint8_t h[header_len];
    memcpy(h, header, header_len);
    put_be32(h + crc_at, 0);
    velkor_crc_state st;
    velkor_crc_init(&st);
    velkor_crc_update(&st, h, header_len);
    return st.crc;
}

// velkor_crc() of header (its CRC field taken as zero) followed by the
// payload that `payload` was fed with.
uint32_t file_crc(const uint8_t *header, const velkor_crc_state *payload)
{
    velkor_crc_state st;
    velkor_crc_init(&st);
    st.crc = header_register(header);
    st.length = header_len;
    // The header's register run on through the payload: see crc_combine.cpp.
    st.crc = velkor::crc_combine(st.crc, payload->crc, payload->length);
    st.length += payload->length;
    return velkor_crc_final(&st);
}

} // namespace

extern "C" int velkor_tag_build(uint8_t header[VELKOR_TAG_HEADER_LEN],
                                const velkor_crc_state *payload)
{
    if (payload->length > VELKOR_TAG_MAX_PAYLOAD)
        return -1;
    uint8_t h[header_len] = {'b', 'g', 'n'};
    h[11] = format_byte;
    put_be32(h + length_at, static_cast<uint32_t>(payload->length + header_len));
    put_be32(h + crc_at, file_crc(h, payload));
    memcpy(header, h, header_len);
    return 0;
}

extern "C" velkor_tag_reason velkor_tag_parse(velkor_tag_info *info, const uint8_t *buf,
                                              size_t avail)
{
    if (avail < header_len)
        return VELKOR_TAG_SHORT;
    info->format = buf[11];
    info->length = get_be32(buf + length_at);
    info->stored_crc = get_be32(buf + crc_at);
    info->computed_crc = 0;
    if (memcmp(buf, "bgn", 3) != 0)
        return VELKOR_TAG_NO_MAGIC;
    if (buf[11] != format_byte)
        return VELKOR_TAG_WRONG_FORMAT;
    return VELKOR_TAG_OK;
}

extern "C" velkor_tag_reason velkor_tag_check_length(const velkor_tag_info *info,
                                                     uint64_t file_len)
{
    return info->length == file_len ? VELKOR_TAG_OK : VELKOR_TAG_WRONG_LENGTH;
}

extern "C" velkor_tag_reason velkor_tag_check_crc(velkor_tag_info *info,
                                                  const uint8_t header[VELKOR_TAG_HEADER_LEN],
                                                  const velkor_crc_state *payload)
{
    info->stored_crc = get_be32(header + crc_at);
    info->computed_crc = file_crc(header, payload);
    return info->computed_crc == info->stored_crc ? VELKOR_TAG_OK : VELKOR_TAG_CRC_MISMATCH;
}
