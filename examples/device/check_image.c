/* SPDX-License-Identifier: MIT */
/*
 * check_image.c - what a bootloader does before it boots or flashes an
 * image: check the tagged image's header, length and CRC with velkor's
 * stepwise functions, reading the image in place, a flash page at a time.
 *
 * Two images are linked into flash here (images.c, made when building): a
 * sound one, and the same with one bit flipped, which must be refused.
 * The program prints a verdict for each and exits 0 only when the sound
 * image passed and the damaged one was refused.
 *
 * The calls, in order, and the memory each needs: the records are the
 * caller's, nothing comes from the heap, and the stack is the deepest each
 * call reaches on a Cortex-M3 (bench/README.md, "On a device"):
 *
 *   velkor_tag_parse()         the header's 20 bytes; fills velkor_tag_info
 *                              (16 bytes); 16 bytes of stack
 *   velkor_tag_check_length()  the length the image arrived with (an
 *                              updater records it beside the slot); none
 *   velkor_crc_init()          velkor_crc_state (16 bytes)
 *   velkor_crc_update()        each piece of the payload, in order, of any
 *                              size: a page, a sector, a DMA block; 24 bytes
 *   velkor_tag_check_crc()     the header again (its CRC field is taken as
 *                              zero) and the payload's state; 132 bytes
 *
 * Flash for all of them: about 590 bytes with the default kernel (a
 * 16-entry table), 1.5 KiB with VELKOR_DEVICE_CRC=table256.
 *
 * The flash is memory-mapped here, so a piece is a pointer into it; with
 * external (SPI or QSPI) flash, the driver reads each page into a RAM
 * buffer and hands that to velkor_crc_update() instead.
 *
 * A hardware CRC unit.  velkor_crc is the MSB-first CRC-32 with polynomial
 * 0x04C11DB7, no reflection: the default setting of the CRC units of many
 * Cortex-M parts.  Build the library with VELKOR_DEVICE_CRC=external and
 * define velkor_device_crc_update(); every velkor_crc_update() then runs on
 * the unit.  On a part whose unit takes an initial value and byte writes,
 * roughly:
 *
 *   uint32_t velkor_device_crc_update(uint32_t h, const uint8_t *p, size_t n)
 *   {
 *       CRC->INIT = h;            // the register carries on from h
 *       CRC->CR = CRC_CR_RESET;   // 32-bit polynomial, no reversal
 *       while (n--)
 *           *(volatile uint8_t *)&CRC->DR = *p++;
 *       return CRC->DR;           // no final XOR: velkor adds the length
 *   }
 */
#include "velkor.h"

#include <stdint.h>
#include <stdio.h>

/* The images, in flash (images.c). */
extern const uint8_t image_good[6020];
extern const uint8_t image_flipped[6020];

/* A slot as the updater left it: where the image is, and how many bytes
 * arrived. */
struct slot {
    const char *name;
    const uint8_t *flash;
    uint32_t received;
};

/* The flash driver: the next piece of the slot from @offset, at most one
 * page, and never past the bytes received. */
#define PAGE_SIZE 1024u

static const uint8_t *flash_piece(const struct slot *s, uint32_t offset, size_t *len)
{
    uint32_t left = s->received - offset;
    *len = left < PAGE_SIZE ? left : PAGE_SIZE;
    return s->flash + offset;
}

static velkor_tag_reason check_slot(const struct slot *s, velkor_tag_info *info)
{
    /* 1. The header: magic and format byte. */
    velkor_tag_reason why = velkor_tag_parse(info, s->flash, s->received);
    if (why != VELKOR_TAG_OK)
        return why;
    /* 2. Its length field against the bytes that arrived. */
    why = velkor_tag_check_length(info, s->received);
    if (why != VELKOR_TAG_OK)
        return why;
    /* 3. The payload's CRC, a page at a time, read in place. */
    velkor_crc_state st;
    velkor_crc_init(&st);
    for (uint32_t at = VELKOR_TAG_HEADER_LEN; at < s->received;) {
        size_t len;
        const uint8_t *piece = flash_piece(s, at, &len);
        velkor_crc_update(&st, piece, len);
        at += (uint32_t)len;
    }
    /* 4. The header's CRC field against header and payload together. */
    return velkor_tag_check_crc(info, s->flash, &st);
}

static const char *reason_text(velkor_tag_reason why)
{
    switch (why) {
    case VELKOR_TAG_OK: return "OK";
    case VELKOR_TAG_SHORT: return "shorter than the header";
    case VELKOR_TAG_NO_MAGIC: return "not a tagged image";
    case VELKOR_TAG_WRONG_FORMAT: return "unknown format byte";
    case VELKOR_TAG_WRONG_LENGTH: return "length field differs from the bytes received";
    case VELKOR_TAG_CRC_MISMATCH: return "CRC mismatch";
    }
    return "unknown reason";
}

int main(void)
{
    const struct slot slots[] = {
        {"slot A (sound image)", image_good, sizeof image_good},
        {"slot B (one bit flipped)", image_flipped, sizeof image_flipped},
    };
    velkor_tag_reason verdict[2];
    for (int k = 0; k < 2; k++) {
        velkor_tag_info info;
        verdict[k] = check_slot(&slots[k], &info);
        if (verdict[k] == VELKOR_TAG_OK)
            printf("%s: OK, %lu bytes, CRC 0x%08lX: boot it\n", slots[k].name,
                   (unsigned long)info.length, (unsigned long)info.computed_crc);
        else if (verdict[k] == VELKOR_TAG_CRC_MISMATCH)
            printf("%s: refused: %s (stored 0x%08lX, computed 0x%08lX)\n", slots[k].name,
                   reason_text(verdict[k]), (unsigned long)info.stored_crc,
                   (unsigned long)info.computed_crc);
        else
            printf("%s: refused: %s\n", slots[k].name, reason_text(verdict[k]));
    }
    return verdict[0] == VELKOR_TAG_OK && verdict[1] == VELKOR_TAG_CRC_MISMATCH ? 0 : 1;
}
