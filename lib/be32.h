// SPDX-License-Identifier: MIT
// Big-endian 32-bit fields, as both file formats store them.  Byte by byte,
// so no alignment is needed and the host's byte order never shows.
// Internal to the project: not installed.
#ifndef VELKOR_BE32_H
#define VELKOR_BE32_H

#include <cstdint>

namespace velkor {

inline void put_be32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

inline uint32_t get_be32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}

} // namespace velkor

#endif
