/* SPDX-License-Identifier: MIT */
/*
 * Programs that use one part of the device build each, for the flash
 * figures: bench/device/flash.py sums what the linker kept of the library
 * in each one's map (--gc-sections keeps only what is called).
 *
 *   USE_CHECK   the stepwise check of a tagged image
 *   USE_READER  the container's piecewise reader
 *   USE_ALL     every function of the device build
 *
 * The calls only need to be linked, not to make sense: the arguments come
 * from a volatile pointer so that nothing is optimised away.
 */
#include "velkor.h"

#include <string.h>

static volatile uintptr_t opaque;

int main(void)
{
    uint8_t *p = (uint8_t *)opaque;
    size_t n = (size_t)opaque;
    int r = 0;
    velkor_crc_state st;
    velkor_tag_info info;
    (void)p;
    (void)n;
    (void)st;
    (void)info;
#if defined(USE_CHECK) || defined(USE_ALL)
    r += (int)velkor_tag_parse(&info, p, n);
    r += (int)velkor_tag_check_length(&info, n);
    velkor_crc_init(&st);
    velkor_crc_update(&st, p, n);
    r += (int)velkor_tag_check_crc(&info, p, &st);
#endif
#if defined(USE_READER) || defined(USE_ALL)
    enc_stream es;
    enc_info ei;
    memset(&ei, 0, sizeof ei);
    ei.key = (const char *)p;
    if (enc_read_header(&es, &ei, p, n, (int64_t)n) == ENC_OK) {
        enc_read_payload(&es, p, p, n);
        r += (int)enc_read_finish(&es, &ei, p);
    }
    enc_stream_release(&es);
#endif
#if defined(USE_ALL)
    r += (int)velkor_crc(p, n) + (int)velkor_crc_final(&st) + (int)velkor_csum(1, p, n);
    r += velkor_tag_build(p, &st);
    vcrypt_state vs;
    if (vcrypt_init(&vs, p, (int)n, n) == 0) {
        r += (int)vcrypt_process(&vs, p, p, n);
        vcrypt_finish(&vs);
    }
    r += vcrypt_buf(1, (const char *)p, p, p, n, (int)n);
    r += (int)enc_compute_header_len((const char *)p, (const char *)p);
    r += (int)enc_compute_buf_len((const char *)p, (const char *)p, n);
    r += encrypt_buf(&ei, p, p);
    r += decrypt_buf(&ei, p, (int64_t)n);
    if (enc_write_header(&es, &ei, p) == 0) {
        enc_write_payload(&es, p, p, n);
        r += enc_write_finish(&es, p);
    }
    r += enc_reason_message(ENC_OK, &es, (char *)p, n);
#endif
    return r;
}
