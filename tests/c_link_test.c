/* SPDX-License-Identifier: MIT */
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
    uint8_t head[VELKOR_TAG_HEADER_LEN];
    velkor_tag_info info;
    velkor_crc_init(&st);
    velkor_crc_update(&st, abc, sizeof abc);
    if (velkor_tag_build(head, &st) != 0 || head[19] != 0x1F ||
        velkor_tag_parse(&info, head, sizeof head) != VELKOR_TAG_OK ||
        velkor_tag_check_crc(&info, head, &st) != VELKOR_TAG_OK) {
        fputs("velkor_tag mismatch\n", stderr);
        return 1;
    }
    if (velkor_csum(3, abc, sizeof abc) != 0xC8232689u) {
        fputs("velkor_csum mismatch\n", stderr);
        return 1;
    }
    return 0;
}
