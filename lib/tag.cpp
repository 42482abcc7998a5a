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

// The register over the header's fixed bytes (before the length), from
// zero, one bit at a time as velkor_crc runs: each byte b turns h into
// h x^8 + b x^32 mod P.
constexpr uint32_t fixed_register()
{
    uint32_t h = 0;
    for (const uint8_t b : fixed) {
        h ^= static_cast<uint32_t>(b) << 24;
        for (int k = 0; k < 8; k++)
            h = (h << 1) ^ ((h >> 31) != 0 ? 0x04C11DB7u : 0);
    }
    return h;
}

// velkor_crc() of header (its CRC field taken as zero) followed by the
// payload that `payload` was fed with.
uint32_t file_crc(const uint8_t *header, const velkor_crc_state *payload)
{
    velkor_crc_state st;
    velkor_crc_init(&st);
    st.crc = velkor::tag_header_register(header);
    st.length = header_len;
    // The header's register run on through the payload: see crc_combine.cpp.
    st.crc = velkor::crc_combine(st.crc, payload->crc, payload->length);
    st.length += payload->length;
    return velkor_crc_final(&st);
}

} // namespace

// The scanner takes this for every tagged candidate it keeps, so it is
// worked out rather than run.  Four bytes v(x) fed to a register h leave
// (h + v) x^32 mod P (the step above, four times), and four zero bytes
// multiply by x^32.  The first 12 bytes give a register F; with the length
// field n(x) and the CRC field zero the header's register is
//   ((F + n) x^32) x^32 = (F + n) x^64  mod P,
// one product.  F is the register of whatever the first 12 bytes are, so
// the identity holds for any header, not only a well-formed one.
uint32_t velkor::tag_header_register(const uint8_t *header)
{
    uint32_t f = 0;
    if (memcmp(header, fixed, length_at) == 0) {
        f = fixed_register();
    } else {
        velkor_crc_state st;
        velkor_crc_init(&st);
        velkor_crc_update(&st, header, length_at);
        f = st.crc;
    }
    return velkor::crc_mul(f ^ get_be32(header + length_at), velkor::crc_x_pow_8n(8));
}

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
