/* A C program includes the public header and links the shared library. */
#include "velkor.h"

#include <stdio.h>

int main(void)
{
    const uint8_t abc[] = {'a', 'b', 'c'};
    if (velkor_crc(abc, sizeof abc) != 0x48AA78A2u) {
        fputs("velkor_crc mismatch\n", stderr);
        return 1;
    }
    velkor_crc_state st;
    velkor_crc_init(&st);
    velkor_crc_update(&st, abc, 1);
    velkor_crc_update(&st, abc + 1, 2);
    if (velkor_crc_final(&st) != 0x48AA78A2u) {
        fputs("velkor_crc_final mismatch\n", stderr);
        return 1;
    }
    if (velkor_csum(3, abc, sizeof abc) != 0xC8232689u) {
        fputs("velkor_csum mismatch\n", stderr);
        return 1;
    }
    return 0;
}
