// The tagged-file format: a 20-byte header in front of a payload.
//
//   offset  size  field
//        0     3  "bgn", no terminator
//        3     8  zero
//       11     1  format byte 0xB1
//       12     4  total length, header included (BE32)
//       16     4  velkor_crc() of the whole file with this field zero (BE32)
//
// This file is the only place that knows the layout.
#include "velkor.h"
#include "be32.h"

#include <cstring>

namespace {

using velkor::get_be32;
using velkor::put_be32;

constexpr size_t header_len = VELKOR_TAG_HEADER_LEN;
constexpr uint8_t format_byte = 0xB1;
constexpr size_t length_at = 12;
constexpr size_t crc_at = 16;

// CRC combination.
//
// velkor_crc's register runs most significant bit first from zero: reading
// the 32-bit register h as a polynomial h(x) over GF(2), each byte b turns
// it into (h(x) x^8 + b(x) x^32) mod P, P = 0x104C11DB7.  That step is
// linear in h and in the data, so the register over A followed by B is
//
//   reg(A || B) = reg(A) x^(8|B|) + reg(B)   (mod P),
//
// the first term being the register over A run on through |B| zero bytes.
// The payload's state holds reg(payload) and its length n, so the file's
// register needs only reg(header) times x^(8n) mod P.  That power comes
// from square-and-multiply over the bits of n, with x^8 as the base: about
// 2 log2(n) multiplications mod P instead of n steps.  The length bytes and
// the final complement are then added by velkor_crc_final, as for any data.

constexpr uint32_t poly = 0x04C11DB7; // P without its x^32 term

// a(x) b(x) mod P, by Horner's rule over the bits of b from the top:
// r = r x + b_i a, with r x reduced at once.
uint32_t mul_mod(uint32_t a, uint32_t b)
{
    uint32_t r = 0;
    for (int i = 31; i >= 0; i--) {
        r = (r << 1) ^ ((r >> 31) != 0 ? poly : 0);
        if ((b >> i) & 1)
            r ^= a;
    }
    return r;
}

// x^(8n) mod P.
uint32_t x_pow_8n(uint64_t n)
{
    uint32_t result = 1;          // x^0
    uint32_t square = 1u << 8;    // x^8, then x^16, x^32, ...
    for (; n != 0; n >>= 1) {
        if (n & 1)
            result = mul_mod(result, square);
        square = mul_mod(square, square);
    }
    return result;
}

// velkor_crc() of header (its CRC field taken as zero) followed by the
// payload that `payload` was fed with.
uint32_t file_crc(const uint8_t *header, const velkor_crc_state *payload)
{
    uint8_t h[header_len];
    memcpy(h, header, header_len);
    put_be32(h + crc_at, 0);
    velkor_crc_state st;
    velkor_crc_init(&st);
    velkor_crc_update(&st, h, header_len);
    st.crc = mul_mod(st.crc, x_pow_8n(payload->length)) ^ payload->crc;
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
