// The two 32-bit checksums: the cksum(1) CRC and the sign-extending
// reflected CRC register update.
#include "velkor.h"

#include <array>

namespace {

// Entry k is the MSB-first remainder of k << 24 under 0x04C11DB7.  Built at
// compile time so it lives in read-only memory and cannot be modified.
constexpr std::array<uint32_t, 256> make_crc_table()
{
    std::array<uint32_t, 256> t{};
    for (uint32_t k = 0; k < 256; k++) {
        uint32_t c = k << 24;
        for (int b = 0; b < 8; b++)
            c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
        t[k] = c;
    }
    return t;
}

constexpr std::array<uint32_t, 256> crc32_table = make_crc_table();
static_assert(crc32_table[1] == 0x04C11DB7u && crc32_table[255] == 0xB1F740B4u);

inline uint32_t crc_byte(uint32_t h, uint8_t b)
{
    return (h << 8) ^ crc32_table[(h >> 24) ^ b];
}

} // namespace

extern "C" uint32_t velkor_crc(const uint8_t *buf, size_t len)
{
    if (len == 0)
        return 0xFFFFFFFFu;
    uint32_t h = 0;
    for (size_t p = 0; p < len; p++)
        h = crc_byte(h, buf[p]);
    // The length follows the data, least significant byte first, up to and
    // including its highest non-zero byte.
    for (size_t n = len;; n >>= 8) {
        h = crc_byte(h, static_cast<uint8_t>(n & 0xFF));
        if (n <= 255)
            break;
    }
    return ~h;
}

extern "C" uint32_t velkor_csum(uint32_t initial, const uint8_t *buf, size_t len)
{
    uint32_t a = initial;
    for (size_t p = 0; p < len; p++) {
        // Sign-extend: stored containers depend on it.
        a ^= static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(buf[p])));
        for (int b = 0; b < 8; b++)
            a = (a & 1u) ? (a >> 1) ^ 0xEDB88320u : a >> 1;
    }
    return a;
}
