/* SPDX-License-Identifier: MIT */
/*
 * A C program built against an installed velkor through pkg-config alone:
 * it writes a container, stores it with the file helpers, reads it back and
 * checks that everything survived.  Exit status 0 when all is well.
 */
#include <velkor.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int fail(const char *what)
{
    fprintf(stderr, "c consumer: %s\n", what);
    return 1;
}

int main(int argc, char **argv)
{
    static const char text[] = "a payload from C";
    const size_t n = sizeof text - 1;
    const char *path = argc > 1 ? argv[1] : "consumer-c.vc";
    enc_info info;
    size_t head, total;
    uint8_t *buf;
    int64_t size;

    if (velkor_crc((const uint8_t *)"abc", 3) != 0x48AA78A2u)
        return fail("velkor_crc");

    memset(&info, 0, sizeof info);
    info.key = "consumer key";
    strcpy(info.magic, "asar1");
    strcpy(info.label, "from C");
    strcpy(info.sublabel, "pc");
    info.key_prefix = 7;
    info.data_length = (uint32_t)n;
    head = enc_compute_header_len(info.label, info.sublabel);
    total = head + n + 4;
    buf = malloc(enc_compute_buf_len(info.label, info.sublabel, n));
    if (buf == NULL)
        return fail("malloc");
    memcpy(buf + head, text, n);
    info.checksum = velkor_csum((uint32_t)n, buf + head, n);
    if (encrypt_buf(&info, buf, buf + head) != 0)
        return fail("encrypt_buf");
    if (write_buf_to_file(path, buf, total) != 0)
        return fail("write_buf_to_file");
    memset(buf, 0, total);

    size = get_file_size(path);
    if (size != (int64_t)total)
        return fail("get_file_size");
    if (read_file_to_buf(path, buf, total) != 0)
        return fail("read_file_to_buf");
    memset(&info, 0, sizeof info);
    info.key = "consumer key";
    if (decrypt_buf(&info, buf, size) != 0)
        return fail("decrypt_buf");
    if (strcmp(info.magic, "asar1") != 0 || strcmp(info.label, "from C") != 0 ||
        strcmp(info.sublabel, "pc") != 0 || info.key_prefix != 7 || info.data_length != n ||
        memcmp(buf, text, n) != 0)
        return fail("round trip gave different data");
    free(buf);
    printf("c consumer: ok\n");
    return 0;
}
