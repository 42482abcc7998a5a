// SPDX-License-Identifier: MIT
// The two 32-bit checksums: the cksum(1) CRC and the sign-extending
// reflected CRC register update.  This file holds the public entry points,
// nothing else: they run the kernels that checksum_choice.cpp binds at run
// time on a host, or that device/checksum_choice.cpp names when a device is
// built.
#include "velkor.h"

#include "checksum_kernels.h"

using velkor_kernels::crc_update;
using velkor_kernels::csum_update;

extern "C" void velkor_crc_init(velkor_crc_state *st)
{
    st->crc = 0;
    st->length = 0;
}

extern "C" void velkor_crc_update(velkor_crc_state *st, const uint8_t *buf, size_t len)
{
    if (len == 0)
        return;
    st->crc = crc_update(st->crc, buf, len);
    st->length += len;
}

extern "C" uint32_t velkor_crc_final(const velkor_crc_state *st)
{
    // The length follows the data, least significant byte first, up to and
    // including its highest non-zero byte (a zero length feeds one 0 byte,
    // which leaves the zero register zero: the empty CRC is ~0).
    uint8_t bytes[8];
    size_t k = 0;
    uint64_t n = st->length;
    do {
        bytes[k++] = static_cast<uint8_t>(n & 0xFF);
        n >>= 8;
    } while (n != 0);
    return ~crc_update(st->crc, bytes, k);
}

extern "C" uint32_t velkor_crc(const uint8_t *buf, size_t len)
{
    velkor_crc_state st;
    velkor_crc_init(&st);
    velkor_crc_update(&st, buf, len);
    return velkor_crc_final(&st);
}

extern "C" uint32_t velkor_csum(uint32_t initial, const uint8_t *buf, size_t len)
{
    return csum_update(initial, buf, len);
}
