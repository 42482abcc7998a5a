/* SPDX-License-Identifier: MIT */
/*
 * velkor_web.c - the few entry points the page's worker calls in the
 * WebAssembly build of the library.
 *
 * JavaScript sees numbers and a flat memory, not C structures: each job
 * here is one allocated record that the worker creates, feeds and reads
 * through accessors, so no structure layout is repeated in JavaScript.
 * Lengths and offsets cross as doubles (exact below 2^53, far beyond the
 * files a browser can hand us).  All format work is the library's.  The
 * JavaScript over it is npm/velkor-core.js, shared by the npm package and the
 * page.
 */
#include "velkor.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#define EXPORT(name) __attribute__((export_name(#name), visibility("default")))

EXPORT(vw_alloc) void *vw_alloc(size_t n)
{
    return malloc(n);
}

EXPORT(vw_free) void vw_free(void *p)
{
    free(p);
}

/* ---- CRC of a payload, fed in pieces ---------------------------------- */

EXPORT(vw_crc_new) velkor_crc_state *vw_crc_new(void)
{
    velkor_crc_state *st = malloc(sizeof *st);
    if (st != NULL)
        velkor_crc_init(st);
    return st;
}

EXPORT(vw_crc_update) void vw_crc_update(velkor_crc_state *st, const uint8_t *p, size_t n)
{
    velkor_crc_update(st, p, n);
}

EXPORT(vw_crc_value) double vw_crc_value(const velkor_crc_state *st)
{
    return velkor_crc_final(st);
}

EXPORT(vw_csum) double vw_csum(double initial, const uint8_t *p, size_t n)
{
    return velkor_csum((uint32_t)initial, p, n);
}

/* The header of a tagged file for the payload fed to @st; -1 when too long. */
EXPORT(vw_tag_build) int vw_tag_build(uint8_t *header, const velkor_crc_state *st)
{
    return velkor_tag_build(header, st);
}

/* ---- Checking a tagged file ------------------------------------------- */

typedef struct vw_tag {
    velkor_tag_info info;
    uint8_t header[VELKOR_TAG_HEADER_LEN];
} vw_tag;

EXPORT(vw_tag_new) vw_tag *vw_tag_new(void)
{
    return calloc(1, sizeof(vw_tag));
}

/* The first @avail bytes of the file; returns a velkor_tag_reason. */
EXPORT(vw_tag_parse) int vw_tag_parse(vw_tag *t, const uint8_t *buf, size_t avail)
{
    if (avail >= VELKOR_TAG_HEADER_LEN)
        memcpy(t->header, buf, VELKOR_TAG_HEADER_LEN);
    return (int)velkor_tag_parse(&t->info, buf, avail);
}

EXPORT(vw_tag_check_length) int vw_tag_check_length(const vw_tag *t, double file_len)
{
    return (int)velkor_tag_check_length(&t->info, (uint64_t)file_len);
}

EXPORT(vw_tag_check_crc) int vw_tag_check_crc(vw_tag *t, const velkor_crc_state *payload)
{
    return (int)velkor_tag_check_crc(&t->info, t->header, payload);
}

/* 0 format byte, 1 stored length, 2 stored CRC, 3 computed CRC. */
EXPORT(vw_tag_field) double vw_tag_field(const vw_tag *t, int which)
{
    switch (which) {
    case 0: return t->info.format;
    case 1: return t->info.length;
    case 2: return t->info.stored_crc;
    case 3: return t->info.computed_crc;
    }
    return -1;
}

/* ---- Reading a container ---------------------------------------------- */

typedef struct vw_container {
    enc_stream st;
    enc_info info;
    int have_stream; /* the payload's table is held */
    char key[256];
    char message[200];
} vw_container;

/*
 * Checks the header in the first @avail bytes of a file of @total bytes.
 * With @key NULL the header's layout alone is checked (a stand-in key keys
 * a table that is released at once), so the magic, prefix and lengths can
 * be shown before a key is typed.  Returns an enc_reason.
 */
EXPORT(vw_container_open)
int vw_container_open(vw_container **out, const uint8_t *buf, size_t avail, double total,
                      const char *key, int data_sized)
{
    vw_container *c = calloc(1, sizeof *c);
    *out = c;
    if (c == NULL)
        return ENC_NO_MEMORY;
    if (key != NULL) {
        strncpy(c->key, key, sizeof c->key - 1);
        if (strlen(key) >= sizeof c->key)
            return ENC_KEY_TOO_LONG;
    } else {
        strcpy(c->key, "-");
        data_sized = 0;
    }
    c->info.key = c->key;
    c->info.data_sized_state = data_sized;
    enc_reason why = enc_read_header(&c->st, &c->info, buf, avail, (int64_t)total);
    /* The texts are checked once the layout passed: under the stand-in key
     * their failure says nothing about the container. */
    if (key == NULL && why == ENC_BAD_TEXT)
        why = ENC_OK;
    c->have_stream = why == ENC_OK && key != NULL;
    if (why == ENC_OK && key == NULL)
        enc_stream_release(&c->st);
    enc_reason_message(why, &c->st, c->message, sizeof c->message);
    return (int)why;
}

/* Deciphers the next payload bytes in place; returns how many it took. */
EXPORT(vw_container_payload)
size_t vw_container_payload(vw_container *c, uint8_t *p, size_t n)
{
    return enc_read_payload(&c->st, p, p, n);
}

/* Compares the checksum in the 4 bytes at @trailer; returns an enc_reason. */
EXPORT(vw_container_finish) int vw_container_finish(vw_container *c, const uint8_t *trailer)
{
    const enc_reason why = enc_read_finish(&c->st, &c->info, trailer);
    c->have_stream = 0;
    enc_reason_message(why, &c->st, c->message, sizeof c->message);
    return (int)why;
}

/*
 * 0 key prefix, 1 label length, 2 sublabel length, 3 payload length,
 * 4 header length, 5 stored checksum (after finishing), 6 payload bytes
 * still to come.
 */
EXPORT(vw_container_field) double vw_container_field(const vw_container *c, int which)
{
    switch (which) {
    case 0: return c->info.key_prefix;
    case 1: return c->st.label_len;
    case 2: return c->st.sublabel_len;
    case 3: return c->st.data_length;
    case 4: return (double)c->st.header_len;
    case 5: return c->info.checksum;
    case 6: return c->st.remaining;
    }
    return -1;
}

/* 0 magic (6 bytes), 1 label (32), 2 sublabel (8), 3 the last reason in words. */
EXPORT(vw_container_text) const char *vw_container_text(const vw_container *c, int which)
{
    switch (which) {
    case 0: return c->info.magic;
    case 1: return c->info.label;
    case 2: return c->info.sublabel;
    case 3: return c->message;
    }
    return "";
}

EXPORT(vw_container_free) void vw_container_free(vw_container *c)
{
    if (c == NULL)
        return;
    if (c->have_stream)
        enc_stream_release(&c->st);
    free(c);
}

/* ---- Writing a container --------------------------------------------- */

typedef struct vw_packer {
    enc_stream st;
    enc_info info;
    char key[256];
    uint8_t header[ENC_MAX_HEADER_LEN];
} vw_packer;

/*
 * Starts a container of @data_length payload bytes; the texts are
 * NUL-terminated.  Returns NULL when the library refuses them (a magic
 * other than "start" or "asar1", a label of more than 31 bytes, a sublabel
 * of more than 7, a key longer than 254) or memory runs out; the caller
 * checks the texts first to say which.
 */
EXPORT(vw_pack_new)
vw_packer *vw_pack_new(const char *key, const char *magic, const char *label, const char *sublabel,
                       int prefix, int data_sized, double data_length)
{
    if (strlen(key) >= sizeof ((vw_packer *)0)->key || strlen(magic) >= 6 || strlen(label) >= 32 ||
        strlen(sublabel) >= 8)
        return NULL;
    vw_packer *k = calloc(1, sizeof *k);
    if (k == NULL)
        return NULL;
    strcpy(k->key, key);
    k->info.key = k->key;
    strcpy(k->info.magic, magic);
    strcpy(k->info.label, label);
    strcpy(k->info.sublabel, sublabel);
    k->info.key_prefix = (uint8_t)prefix;
    k->info.data_sized_state = data_sized;
    k->info.data_length = (uint32_t)data_length;
    if (enc_write_header(&k->st, &k->info, k->header) != 0) {
        free(k);
        return NULL;
    }
    return k;
}

EXPORT(vw_pack_header) const uint8_t *vw_pack_header(const vw_packer *k)
{
    return k->header;
}

EXPORT(vw_pack_header_len) double vw_pack_header_len(const vw_packer *k)
{
    return (double)k->st.header_len;
}

/* Enciphers the next payload bytes in place; returns how many it took. */
EXPORT(vw_pack_payload) size_t vw_pack_payload(vw_packer *k, uint8_t *p, size_t n)
{
    return enc_write_payload(&k->st, p, p, n);
}

/* The 4 bytes that end the container, at @trailer; -1 when the payload
   fell short of its length. */
EXPORT(vw_pack_finish) int vw_pack_finish(vw_packer *k, uint8_t *trailer)
{
    return enc_write_finish(&k->st, trailer);
}

EXPORT(vw_pack_free) void vw_pack_free(vw_packer *k)
{
    if (k == NULL)
        return;
    enc_stream_release(&k->st);
    free(k);
}

/* ---- Scanning --------------------------------------------------------- */

/*
 * A scanner that tries the @count keys at @keys (NUL-terminated texts) in
 * turn, and reports, rather than drops, what it alone cannot check within
 * its bounds.  A @memory_limit of 0 is the library's default.
 */
EXPORT(vw_scan_new)
velkor_scanner *vw_scan_new(const char *const *keys, int count, int data_sized, double memory_limit)
{
    velkor_scan_options o;
    memset(&o, 0, sizeof o);
    o.data_sized_state = data_sized;
    o.memory_limit = memory_limit >= (double)SIZE_MAX ? SIZE_MAX : (size_t)memory_limit;
    return velkor_scan_new_keys(count > 0 ? keys : NULL, count > 0 ? (size_t)count : 0, &o);
}

/* Why vw_scan_payload_new gave no scanner. */
enum { VW_PAYLOAD_MEMORY = 1, VW_PAYLOAD_BUDGET = 2, VW_PAYLOAD_DEPTH = 3, VW_PAYLOAD_INVALID = 4 };

/*
 * A scanner for the payload of the verified container that @parent handed
 * out at @offset (of @length bytes, its payload at @payload_offset, of
 * @payload_length, opened by key number @key).  The library reads no more
 * of a find than these; NULL, with the reason in *@why, when it gives none.
 */
EXPORT(vw_scan_payload_new)
velkor_scanner *vw_scan_payload_new(velkor_scanner *parent, double offset, double length,
                                    double payload_offset, double payload_length, int key, int *why)
{
    velkor_find_info info;
    memset(&info, 0, sizeof info);
    info.size = sizeof info;
    info.find.kind = VELKOR_FIND_CONTAINER;
    info.find.reason = VELKOR_SCAN_VERIFIED;
    info.find.offset = (uint64_t)offset;
    info.find.length = (uint64_t)length;
    info.find.payload_offset = (uint64_t)payload_offset;
    info.find.payload_length = (uint64_t)payload_length;
    info.find.deciphered = 1;
    info.key = key > 0 ? (uint32_t)key : 0;
    velkor_scanner *sc = velkor_scan_payload_new(parent, &info);
    *why = sc != NULL ? 0
           : errno == ENOMEM ? VW_PAYLOAD_MEMORY
           : errno == E2BIG ? VW_PAYLOAD_BUDGET
           : errno == ELOOP ? VW_PAYLOAD_DEPTH
                            : VW_PAYLOAD_INVALID;
    return sc;
}

/* Where a payload scanner's bytes lie in the image: @out[0] the offset,
   @out[1] the length. */
EXPORT(vw_scan_payload_source) int vw_scan_payload_source(const velkor_scanner *sc, double *out)
{
    uint64_t offset, length;
    if (velkor_scan_payload_source(sc, &offset, &length) != 0)
        return -1;
    out[0] = (double)offset;
    out[1] = (double)length;
    return 0;
}

EXPORT(vw_scan_feed) int vw_scan_feed(velkor_scanner *sc, const uint8_t *p, size_t n)
{
    return velkor_scan_feed(sc, p, n);
}

EXPORT(vw_scan_finish) int vw_scan_finish(velkor_scanner *sc)
{
    return velkor_scan_finish(sc);
}

EXPORT(vw_scan_dropped) double vw_scan_dropped(const velkor_scanner *sc)
{
    return (double)velkor_scan_dropped(sc);
}

/* The lowest offset of the image that a find still to come may cover. */
EXPORT(vw_scan_keep_from) double vw_scan_keep_from(const velkor_scanner *sc)
{
    return (double)velkor_scan_keep_from(sc);
}

/* The image's length, when known; and further passes, for an image that
   can be read again (a file, bytes in memory), so that nothing need be
   lost to the memory limit. */
EXPORT(vw_scan_set_length) int vw_scan_set_length(velkor_scanner *sc, double length)
{
    return velkor_scan_set_length(sc, (uint64_t)length);
}

EXPORT(vw_scan_set_passes) int vw_scan_set_passes(velkor_scanner *sc)
{
    return velkor_scan_set_passes(sc, 1);
}

EXPORT(vw_scan_pass_done) int vw_scan_pass_done(const velkor_scanner *sc)
{
    return velkor_scan_pass_done(sc);
}

/* After finishing a pass: the offset the next pass starts at, or -1 when
   the scan is complete (or the scanner failed). */
EXPORT(vw_scan_next_pass) double vw_scan_next_pass(velkor_scanner *sc)
{
    uint64_t from;
    return velkor_scan_next_pass(sc, &from) == 1 ? (double)from : -1;
}

EXPORT(vw_scan_free) void vw_scan_free(velkor_scanner *sc)
{
    velkor_scan_free(sc);
}

EXPORT(vw_scan_reason_text) const char *vw_scan_reason_text(int why)
{
    return velkor_scan_reason_text((velkor_scan_reason)why);
}

/*
 * Takes up to @max ready finds, VW_FIND_FIELDS numbers each into @rec and
 * VW_FIND_TEXT bytes each into @txt (magic, label, sublabel: 6, 32 and 8
 * bytes, as the find holds them), and returns how many it took.  One call
 * per batch rather than one per field: a scan may hand out finds by the
 * hundred thousand.
 *
 * The numbers: 0 offset, 1 kind, 2 reason, 3 length, 4 payload offset,
 * 5 payload length, 6 inside (-1: none), 7 stored CRC, 8 computed CRC,
 * 9 key prefix, 10 label length, 11 sublabel length, 12 deciphered,
 * 13 checksum, 14 key number (0: none), 15 damaged texts, 16 bytes needed
 * (over the memory limit).  The label and sublabel hold texts when 12 or
 * 15 is 1, and zeros otherwise.
 */
#define VW_FIND_FIELDS 17
#define VW_FIND_TEXT 46
_Static_assert(sizeof(((velkor_find *)0)->magic) + sizeof(((velkor_find *)0)->label) +
                   sizeof(((velkor_find *)0)->sublabel) == VW_FIND_TEXT,
               "the texts of a find fill VW_FIND_TEXT bytes");

EXPORT(vw_scan_take) int vw_scan_take(velkor_scanner *sc, double *rec, char *txt, int max)
{
    velkor_find_info info;
    const velkor_find *f = &info.find;
    int n = 0;
    for (;;) {
        if (n >= max)
            break;
        info.size = sizeof info;
        if (velkor_scan_next_info(sc, &info) != 1)
            break;
        const int texts = f->deciphered != 0 || info.damaged_texts != 0;
        double *r = rec + (size_t)n * VW_FIND_FIELDS;
        r[0] = (double)f->offset;
        r[1] = f->kind;
        r[2] = f->reason;
        r[3] = (double)f->length;
        r[4] = (double)f->payload_offset;
        r[5] = (double)f->payload_length;
        r[6] = f->inside_valid ? (double)f->inside : -1;
        r[7] = f->stored_crc;
        r[8] = f->computed_crc;
        r[9] = f->key_prefix;
        r[10] = f->label_len;
        r[11] = f->sublabel_len;
        r[12] = f->deciphered != 0;
        r[13] = f->checksum;
        r[14] = info.key;
        r[15] = info.damaged_texts != 0;
        r[16] = (double)info.needs;
        char *t = txt + (size_t)n * VW_FIND_TEXT;
        memcpy(t, f->magic, sizeof f->magic);
        if (texts) {
            memcpy(t + sizeof f->magic, f->label, sizeof f->label);
            memcpy(t + sizeof f->magic + sizeof f->label, f->sublabel, sizeof f->sublabel);
        } else {
            memset(t + sizeof f->magic, 0, sizeof f->label + sizeof f->sublabel);
        }
        n++;
    }
    return n;
}

EXPORT(vw_find_fields) int vw_find_fields(void)
{
    return VW_FIND_FIELDS;
}

EXPORT(vw_find_text_size) int vw_find_text_size(void)
{
    return VW_FIND_TEXT;
}

/* ---- Running out of memory -------------------------------------------- */

/*
 * The library reports a failed allocation inside the scanner by throwing,
 * and this build has no unwinding: a throw stops the module (a trap the
 * worker catches and reports in words), and the worker starts the next job
 * on a fresh instance.
 */
void *__cxa_allocate_exception(size_t size)
{
    (void)size;
    abort();
}

void __cxa_throw(void *thrown, void *type, void (*destroy)(void *))
{
    (void)thrown;
    (void)type;
    (void)destroy;
    abort();
}

/* ---- Constants the page needs ----------------------------------------- */

EXPORT(vw_tag_header_len) int vw_tag_header_len(void)
{
    return VELKOR_TAG_HEADER_LEN;
}

EXPORT(vw_enc_max_header_len) int vw_enc_max_header_len(void)
{
    return ENC_MAX_HEADER_LEN;
}
