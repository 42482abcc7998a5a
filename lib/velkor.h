// SPDX-License-Identifier: MIT
/*
 * velkor.h - the velkor library: two 32-bit checksums, a keyed RC4-type
 * stream cipher, an encrypted container and whole-file helpers.
 *
 * Conventions shared by every function:
 *  - All buffers belong to the caller; no function keeps a pointer after it
 *    returns.  Multi-byte integers in both file formats are big-endian.
 *  - A status result is 0 for success and -1 for failure, with no other
 *    values.  The checks of the two formats return a reason instead, whose
 *    value 0 means success.  Nothing is ever printed.
 *  - The library has no mutable global state: functions may run on several
 *    threads at once as long as each works on its own buffers and records.
 *  - The library allocates only the cipher's state table and a scanner's
 *    own record and candidates (within the memory limit it was given).
 *
 * The device build (VELKOR_DEVICE, for bare-metal Arm Cortex-M) has the
 * checksums, the tagged-file functions, the cipher and the container, the
 * piecewise functions included; it leaves out the scanner and the
 * whole-file helpers, whose sections below say so.  It allocates only a
 * data-sized cipher table of more than 256 entries: smaller tables are
 * the context's own (see vcrypt_state).  Code for the device build must be
 * compiled with VELKOR_DEVICE defined, as the CMake target velkor_device
 * does for those that link it.
 */
#ifndef VELKOR_H
#define VELKOR_H

#include <stddef.h>
#include <stdint.h>

/*
 * On Windows the library is a DLL (libvelkor-0.dll, with the import library
 * libvelkor.dll.a) or a static library (libvelkor.a).  Code that links the
 * static one defines VELKOR_STATIC before including this header, as the
 * CMake target velkor::velkor_static does for those that link it; without
 * it, the functions are imported from the DLL.  VELKOR_BUILDING_DLL is the
 * library's own, for building the DLL.
 */
#if defined(_WIN32) && !defined(VELKOR_STATIC)
#if defined(VELKOR_BUILDING_DLL)
#define VELKOR_API __declspec(dllexport)
#else
#define VELKOR_API __declspec(dllimport)
#endif
#elif defined(__GNUC__) && !defined(_WIN32)
#define VELKOR_API __attribute__((visibility("default")))
#else
#define VELKOR_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------ */
/* Checksums                                                           */
/* ------------------------------------------------------------------ */

/*
 * velkor_crc() - the CRC printed first by POSIX cksum(1).
 *
 * MSB-first CRC-32 with polynomial 0x04C11DB7 and a zero start, run over
 * @len bytes at @buf and then over the bytes of @len itself (least
 * significant first, up to its highest non-zero byte, at least one), with
 * the result complemented.  An empty buffer gives 0xFFFFFFFF and @buf is
 * not read.
 */
VELKOR_API uint32_t velkor_crc(const uint8_t *buf, size_t len);

/*
 * Incremental velkor_crc(), for data that arrives in pieces.  Start with
 * velkor_crc_init(), feed the pieces in order with velkor_crc_update() (any
 * split, empty pieces included, gives the same result) and read the CRC of
 * everything fed so far with velkor_crc_final(), which leaves the state
 * as it was, so feeding may go on.  The state is a plain value: copy it to
 * fork a computation.  @crc is the register before the length is fed and
 * @length the number of bytes fed; callers need not look inside.
 */
typedef struct velkor_crc_state {
    uint32_t crc;
    uint64_t length;
} velkor_crc_state;

VELKOR_API void velkor_crc_init(velkor_crc_state *st);
VELKOR_API void velkor_crc_update(velkor_crc_state *st, const uint8_t *buf, size_t len);
VELKOR_API uint32_t velkor_crc_final(const velkor_crc_state *st);

/*
 * velkor_csum() - a reflected CRC-32 register update with sign extension.
 *
 * Starting from @initial, each byte is sign-extended to 32 bits and XORed
 * into the register, which is then shifted right 8 times under the
 * reflected polynomial 0xEDB88320.  There is no final complement, so
 * velkor_csum(x, buf, 0) == x.  Bytes 0x80..0xFF make the result differ
 * from the common CRC-32; stored containers carry this form.
 */
VELKOR_API uint32_t velkor_csum(uint32_t initial, const uint8_t *buf, size_t len);

#if defined(VELKOR_DEVICE)
/*
 * velkor_device_crc_update() - the application's own CRC kernel, for a
 * device build made with VELKOR_DEVICE_CRC=external (a hardware CRC unit,
 * say): from register @h, return the register after @n bytes at @p under
 * velkor_crc's polynomial, MSB first, with no length fed and no
 * complement, for any @h and any @n.  Every function that computes
 * velkor_crc runs it.  Not part of the library: the application defines it.
 */
uint32_t velkor_device_crc_update(uint32_t h, const uint8_t *p, size_t n);
#endif

/* ------------------------------------------------------------------ */
/* Tagged files                                                        */
/* ------------------------------------------------------------------ */

/*
 * A tagged file is a 20-byte header followed by a payload.  Header layout
 * (4-byte fields big-endian):
 *   "bgn" | 8 zero bytes | format byte 0xB1 | total length | CRC
 * The total length counts header and payload, so the payload may have at
 * most VELKOR_TAG_MAX_PAYLOAD bytes.  The CRC is velkor_crc() of the whole
 * tagged file, taken while the CRC field holds zero.
 */
#define VELKOR_TAG_HEADER_LEN 20
#define VELKOR_TAG_MAX_PAYLOAD (UINT32_MAX - VELKOR_TAG_HEADER_LEN)

/*
 * velkor_tag_build() - fill the header for a payload.
 *
 * @payload is a velkor_crc_state fed with the payload only, in any pieces;
 * the CRC of the whole tagged file is derived from it without reading the
 * payload again.  Returns -1, leaving @header untouched, when the payload
 * has more than VELKOR_TAG_MAX_PAYLOAD bytes.
 */
VELKOR_API int velkor_tag_build(uint8_t header[VELKOR_TAG_HEADER_LEN],
                                const velkor_crc_state *payload);

/*
 * Why a tagged file is refused.  The checks come in stages, so a reader
 * can stop as early as the data allows: velkor_tag_parse() on the header
 * alone, velkor_tag_check_length() once the file's length is known (at once
 * for a regular file, at the end for a pipe), velkor_tag_check_crc() at the
 * end.  VELKOR_TAG_OK is 0.
 */
typedef enum velkor_tag_reason {
    VELKOR_TAG_OK = 0,
    VELKOR_TAG_SHORT,        /* fewer bytes than the header */
    VELKOR_TAG_NO_MAGIC,     /* does not start with "bgn" */
    VELKOR_TAG_WRONG_FORMAT, /* format byte is not 0xB1 */
    VELKOR_TAG_WRONG_LENGTH, /* length field differs from the file's length */
    VELKOR_TAG_CRC_MISMATCH  /* stored CRC differs from the computed one */
} velkor_tag_reason;

/* What the header says, and what the file turned out to be. */
typedef struct velkor_tag_info {
    uint8_t format;        /* the stored format byte */
    uint32_t length;       /* the stored total length */
    uint32_t stored_crc;   /* the stored CRC */
    uint32_t computed_crc; /* set by velkor_tag_check_crc(), else 0 */
} velkor_tag_info;

/*
 * velkor_tag_parse() - check the first @avail bytes of a file at @buf as a
 * header.  Fewer than VELKOR_TAG_HEADER_LEN bytes give VELKOR_TAG_SHORT and
 * leave @info untouched; otherwise the stored fields are copied to @info and
 * the magic, then the format byte, are checked.  Returns VELKOR_TAG_OK or
 * the reason.
 */
VELKOR_API velkor_tag_reason velkor_tag_parse(velkor_tag_info *info, const uint8_t *buf,
                                              size_t avail);

/*
 * velkor_tag_check_length() - VELKOR_TAG_WRONG_LENGTH unless the stored
 * length equals @file_len, the whole file's length in bytes; VELKOR_TAG_OK
 * otherwise.
 */
VELKOR_API velkor_tag_reason velkor_tag_check_length(const velkor_tag_info *info,
                                                     uint64_t file_len);

/*
 * velkor_tag_check_crc() - compare the stored CRC with the CRC of @header
 * (its CRC field taken as zero) followed by the payload that @payload was
 * fed with.  Sets info->stored_crc and info->computed_crc, and returns
 * VELKOR_TAG_OK or VELKOR_TAG_CRC_MISMATCH.
 */
VELKOR_API velkor_tag_reason velkor_tag_check_crc(velkor_tag_info *info,
                                                  const uint8_t header[VELKOR_TAG_HEADER_LEN],
                                                  const velkor_crc_state *payload);

/* ------------------------------------------------------------------ */
/* Keyed stream cipher                                                 */
/* ------------------------------------------------------------------ */

/*
 * Cipher context.  @state holds @state_len byte entries and is owned by the
 * context from vcrypt_init() until vcrypt_finish().  Only the low 8 bits of
 * @i and @j carry over between vcrypt_process() calls.
 *
 * In the device build the context also holds @table, where vcrypt_init()
 * keys every table of up to 256 entries instead of allocating one (@state
 * then points into the context, which must stay where it is until
 * vcrypt_finish()); only a larger data-sized table is allocated.
 */
typedef struct vcrypt_state {
    uint64_t i;
    uint64_t j;
    uint8_t *state;
    size_t state_len;
#if defined(VELKOR_DEVICE)
    uint8_t table[256];
#endif
} vcrypt_state;

/*
 * vcrypt_init() - allocate a table of @state_len entries and key it.
 *
 * Entry k starts as k mod 256; the key schedule then permutes the table
 * under the @key_len bytes at @key.  With @state_len 256 this is the RC4
 * key schedule.  A table of 0 entries is valid and transforms nothing.
 * Returns -1, leaving @ctx untouched, when @key_len is below 1 or the
 * allocation fails.
 */
VELKOR_API int vcrypt_init(vcrypt_state *ctx, const uint8_t *key, int key_len,
                           size_t state_len);

/*
 * vcrypt_process() - XOR the keystream into @len bytes from @src to @dst.
 *
 * The keystream continues across calls on one context.  @src and @dst may
 * be the same buffer, and @dst may lie before @src in one buffer.  Returns
 * @len truncated to 32 bits, or 0 (transforming nothing) when the context
 * has no entries.
 */
VELKOR_API uint32_t vcrypt_process(vcrypt_state *ctx, const uint8_t *src, uint8_t *dst,
                                   size_t len);

/*
 * vcrypt_finish() - release the context's table.  Leaves @state NULL and
 * @state_len 0, so a second call does nothing.
 */
VELKOR_API void vcrypt_finish(vcrypt_state *ctx);

/*
 * vcrypt_buf() - encipher or decipher @len bytes in one call.
 *
 * The key material is @key_prefix followed by the characters of the
 * NUL-terminated @key (at most 254 of them).  The table has 256 entries, or
 * @len entries when @data_sized_state is non-zero.  With 256 entries the
 * output is RC4 under the key material.  @src and @dst may overlap as for
 * vcrypt_process().  Makes one allocation of the table and frees it before
 * returning.  Returns -1, transforming nothing, when @key is longer than 254
 * characters or the allocation fails.
 */
VELKOR_API int vcrypt_buf(uint8_t key_prefix, const char *key, const uint8_t *src,
                          uint8_t *dst, size_t len, int data_sized_state);

/* ------------------------------------------------------------------ */
/* Encrypted container                                                 */
/* ------------------------------------------------------------------ */

/*
 * Container parameters, filled by the caller for encrypt_buf() and by
 * decrypt_buf() when reading (the caller sets @key and @data_sized_state).
 *
 * Layout (all 4-byte fields big-endian, L1/L2 count the text's NUL):
 *   magic[6] | key_prefix | L1 | label (enc) | L2 | sublabel (enc) |
 *   D | payload (enc) | checksum
 * The label is keyed with @key_prefix, the sublabel with the first
 * enciphered label byte, the payload with the first enciphered sublabel
 * byte.  @checksum is velkor_csum(D, plaintext payload, D).
 */
typedef struct enc_info {
    const char *key;      /* key text, at most 254 characters; not owned */
    char magic[6];        /* "start" or "asar1" with its NUL */
    char label[32];       /* NUL-terminated, at most 31 characters */
    char sublabel[8];     /* NUL-terminated, at most 7 characters */
    uint8_t key_prefix;   /* first key byte of the label */
    int data_sized_state; /* non-zero: each field's table has its length */
    uint32_t data_length; /* payload length D */
    uint32_t checksum;    /* velkor_csum(D, payload, D) */
} enc_info;

/*
 * enc_compute_header_len() - bytes before the payload:
 * strlen(@label) + strlen(@sublabel) + 21.
 */
VELKOR_API size_t enc_compute_header_len(const char *label, const char *sublabel);

/*
 * enc_compute_buf_len() - a buffer size that holds the whole container:
 * header length + @data_length rounded down to a multiple of 4, plus 8.
 * It is the smallest multiple of 4 above header + payload + checksum.
 * When that size does not fit a size_t (a length near 4 GiB where size_t
 * has 32 bits, as on WebAssembly or a microcontroller), the result is
 * SIZE_MAX, a size no allocation gives, never a smaller wrapped-around one.
 */
VELKOR_API size_t enc_compute_buf_len(const char *label, const char *sublabel,
                                      size_t data_length);

/*
 * encrypt_buf() - write a container.
 *
 * Writes the header at @out, enciphers info->data_length bytes at @data in
 * place and stores info->checksum right after them.  For a contiguous
 * container @data is @out + header length with the plaintext already there,
 * in a buffer of enc_compute_buf_len() bytes.  The checksum is not computed
 * here.  Returns -1 before writing anything when the magic is not "start" or
 * "asar1", the label or sublabel has no NUL within its field, or the key is
 * longer than 254 characters, or when a cipher table cannot be allocated.
 */
VELKOR_API int encrypt_buf(const enc_info *info, uint8_t *out, uint8_t *data);

/*
 * decrypt_buf() - check and decipher the container in the @len bytes at
 * @buf.
 *
 * Checks the magic and every length, and that the label and sublabel
 * decipher to texts ending in NUL, deciphers the payload into the start of
 * @buf (overwriting the header), compares its checksum, then deciphers the
 * sublabel and label into @info.  Label and sublabel lengths must be 1..32
 * and 1..8.  Bytes after the checksum are ignored.  Returns -1 on any
 * failed check.  Every check of the layout, the presence of the checksum
 * included, and of the texts comes before the payload is deciphered, so
 * such a refusal leaves @buf unchanged; from the checksum comparison on,
 * the start of @buf holds the payload, right or wrong, and the container
 * is gone from @buf.  The length is known, so no table limit applies.
 */
VELKOR_API int decrypt_buf(enc_info *info, uint8_t *buf, int64_t len);

/*
 * Piecewise reading and writing, for containers read or written a piece at
 * a time.  An enc_stream carries the payload's cipher and the running
 * checksum from one call to the next; the caller reads its fields, never
 * writes them.
 *
 * Its table is allocated by enc_read_header() or enc_write_header() when
 * they succeed, and released by enc_read_finish() or enc_write_finish(),
 * whatever they return.  A caller that gives up between the two (a read
 * error, an input that ends early) calls enc_stream_release() instead.
 * After a failed *_header call the stream holds nothing, and
 * enc_stream_release() is harmless on any stream that went through a
 * *_header call, any number of times.  In the device build the stream
 * holds a table of up to 256 entries itself (see vcrypt_state), so it must
 * stay where it is from the *_header call to the *_finish one.
 */
#define ENC_MAX_HEADER_LEN 59 /* 19 + 32 + 8: the longest header */

typedef struct enc_stream {
    vcrypt_state cipher;   /* the payload's cipher */
    uint32_t csum;         /* velkor_csum(D, plaintext so far) */
    uint32_t remaining;    /* payload bytes still to come */
    uint32_t data_length;  /* D */
    uint32_t label_len;    /* L1, as stored */
    uint32_t sublabel_len; /* L2, as stored */
    size_t header_len;     /* bytes before the payload */
} enc_stream;

/* Why a container is refused.  ENC_OK is 0. */
typedef enum enc_reason {
    ENC_OK = 0,
    ENC_NOT_CONTAINER,       /* no "start" or "asar1" magic */
    ENC_CUT_OFF,             /* the input ends inside the header */
    ENC_BAD_LABEL_LENGTH,    /* L1 not 1..32 */
    ENC_BAD_SUBLABEL_LENGTH, /* L2 not 1..8 */
    ENC_PAST_END,            /* payload and checksum run past the input's end */
    ENC_KEY_TOO_LONG,        /* key text longer than 254 characters */
    ENC_NO_MEMORY,           /* a cipher table cannot be allocated */
    ENC_CHECKSUM_MISMATCH,   /* wrong key, wrong table setting or damage */
    ENC_BAD_TEXT,            /* label or sublabel deciphers without its NUL */
    ENC_TABLE_TOO_LARGE      /* a data-sized payload table over the caller's
                                limit while the input's length is unknown */
} enc_reason;

/* The limit enc_read_header() puts on a data-sized payload table while the
 * input's length is unknown: 16 MiB. */
#define ENC_DEFAULT_MAX_TABLE ((size_t)16 << 20)

/*
 * enc_read_header() - check a container's header and start its payload.
 *
 * @buf holds the input's first @avail bytes: at least ENC_MAX_HEADER_LEN,
 * or the whole input when it is shorter (ENC_CUT_OFF then means the input
 * ends inside the header).  @total is the whole input's length, or -1 when
 * it is not known yet (a pipe); when known, a payload and checksum that
 * would run past it give ENC_PAST_END, and when not, the caller finds that
 * out at the end and reports it likewise.  The caller sets info->key and
 * info->data_sized_state; the magic, key_prefix, the still-enciphered label
 * and sublabel and data_length are filled as far as they were read, as
 * decrypt_buf() does, and @st gets the stored lengths (0 where the input
 * did not reach them), so a refusal can be described (enc_reason_message()).
 *
 * Once the layout passes, the label and sublabel are deciphered (into
 * scratch: @info keeps them enciphered) and must end in their NUL, as
 * enc_read_finish() requires, before the payload's table is keyed: a key
 * that does not open them gives ENC_BAD_TEXT here, at the cost of two
 * tables of at most 256 entries, whatever payload length the header
 * claims.  With data-sized tables and @total -1, a payload longer than
 * ENC_DEFAULT_MAX_TABLE bytes is refused with ENC_TABLE_TOO_LARGE before
 * anything that large is allocated (enc_read_header_limited() sets another
 * limit; with the length known, the input itself bounds the table).
 * On ENC_OK the payload's cipher is keyed and the payload starts at
 * st->header_len.
 */
VELKOR_API enc_reason enc_read_header(enc_stream *st, enc_info *info, const uint8_t *buf,
                                      size_t avail, int64_t total);

/*
 * enc_read_header_limited() - enc_read_header() with the caller's limit:
 * while @total is -1, a data-sized payload table of more than @max_table
 * entries (bytes) gives ENC_TABLE_TOO_LARGE and nothing is allocated.  A
 * caller that reads from a socket sets what it can afford; SIZE_MAX lifts
 * the limit.  Tables of 256 entries, and any table once @total is known,
 * are not limited.
 */
VELKOR_API enc_reason enc_read_header_limited(enc_stream *st, enc_info *info, const uint8_t *buf,
                                              size_t avail, int64_t total, size_t max_table);

/*
 * enc_read_payload() - decipher the next payload bytes from @src to @dst
 * and add them to the checksum.  Takes at most st->remaining of the @len
 * bytes and returns how many it took; bytes beyond the payload (its
 * checksum) are left to the caller.  @src and @dst may overlap as for
 * vcrypt_process().
 */
VELKOR_API size_t enc_read_payload(enc_stream *st, const uint8_t *src, uint8_t *dst,
                                   size_t len);

/*
 * enc_read_finish() - release the payload's table, compare the checksum
 * stored in the 4 bytes at @trailer with the payload's, then decipher the
 * sublabel and label into @info.  Sets info->checksum.  Returns ENC_OK, or
 * ENC_PAST_END when not the whole payload went through enc_read_payload(),
 * ENC_CHECKSUM_MISMATCH, ENC_NO_MEMORY or ENC_BAD_TEXT.
 */
VELKOR_API enc_reason enc_read_finish(enc_stream *st, enc_info *info,
                                      const uint8_t trailer[4]);

/*
 * enc_write_header() - write a container's header and start its payload.
 *
 * The caller fills @info as for encrypt_buf() except the checksum, which
 * the stream computes.  Writes st->header_len (enc_compute_header_len())
 * bytes at @out.  Returns -1, writing nothing, when encrypt_buf() would
 * refuse @info or a cipher table cannot be allocated.
 */
VELKOR_API int enc_write_header(enc_stream *st, const enc_info *info, uint8_t *out);

/*
 * enc_write_payload() - add the next plaintext bytes to the checksum and
 * encipher them from @src to @dst.  Takes at most st->remaining of the @len
 * bytes and returns how many it took.  @src and @dst may overlap as for
 * vcrypt_process().
 */
VELKOR_API size_t enc_write_payload(enc_stream *st, const uint8_t *src, uint8_t *dst,
                                    size_t len);

/*
 * enc_write_finish() - release the payload's table and store the checksum
 * that ends the container in the 4 bytes at @trailer.  Returns -1, leaving
 * @trailer untouched, when fewer than data_length bytes went through
 * enc_write_payload().
 */
VELKOR_API int enc_write_finish(enc_stream *st, uint8_t trailer[4]);

/* enc_stream_release() - release the payload's table, if any. */
VELKOR_API void enc_stream_release(enc_stream *st);

/*
 * enc_reason_message() - describe @why in words, as snprintf() would write
 * them into the @size bytes at @buf, and return snprintf()'s result.  The
 * stored length that a reason names is taken from @st, the stream the
 * reason came from; with @st NULL it is left out.
 */
VELKOR_API int enc_reason_message(enc_reason why, const enc_stream *st, char *buf,
                                  size_t size);

/* ------------------------------------------------------------------ */
/* Scanner: tagged files and containers inside a larger image          */
/* (not in the device build)                                           */
/* ------------------------------------------------------------------ */

/*
 * A scanner reads an image once (or, when it may, in further passes; see
 * below), in pieces of any size, and reports every tagged file and
 * container it finds at any offset, nested ones included.
 * It is a pull interface: velkor_scan_feed() takes the next piece,
 * velkor_scan_next() hands out the finds that have become certain, and
 * velkor_scan_finish() marks the end of the image, after which every
 * remaining find is ready.  The same image gives the same finds, in the
 * same order, and the same dropped count, however it is cut into pieces.
 *
 * What is a find:
 *  - a tagged file at offset o: "bgn", eight zero bytes, 0xB1 and a total
 *    length L >= 20.  Verified when o + L lies within the image and the CRC
 *    over its L bytes, the CRC field taken as zero, equals the stored one.
 *  - a container at offset o: magic "start" or "asar1" with its NUL, then a
 *    label length 1..32, a sublabel length 1..8 and a payload length D.
 *    Without a key it is reported as VELKOR_SCAN_NO_KEY; with a key it is
 *    verified when label and sublabel decipher to texts that end at their
 *    NUL and the payload's checksum matches, as decrypt_buf() checks.
 *  Either kind whose last byte lies past the end of the image is reported
 *  as VELKOR_SCAN_TRUNCATED, with the lengths its header claims.
 *
 * Finds come out in order of offset (a tagged file and a container never
 * share one).  A find is handed out once nothing before it is pending,
 * which may be long after its last byte was fed when an enclosing
 * candidate is still open; then its @inside is known: the offset of the
 * innermost verified find whose bytes include all of its own.  A start is
 * looked at once ENC_MAX_HEADER_LEN bytes from it have been fed, or the
 * image has ended, so that no find depends on where a piece ends.
 *
 * Cost.  In a pass, each byte is searched once, and run through the CRC
 * register once while a tagged candidate is open: a candidate's CRC comes
 * from the register at its offset and at its end, combined by one power
 * and one product modulo the CRC polynomial, so a pass takes time linear
 * in the image whatever it holds.  A further pass reads from where the last
 * one stopped looking, and only as far as it must.  With a key, a
 * container candidate costs at most two cipher keyings of at most 256
 * entries for its label and sublabel, the sublabel's only when the label
 * deciphers.  When both do, its checksum is formed from a second register
 * run over the image and from the payload keystream that every candidate
 * with the same key and payload key byte shares (see "Keys" below), so
 * a pass stays linear in the image.  With data-sized tables a payload's
 * table has D entries, keyed when the container is found, and the payload
 * is deciphered on its own: its bytes count against the memory limit,
 * which so bounds the keying too, and at most VELKOR_SCAN_MAX_DECIPHERS
 * such payloads are deciphered at once.
 *
 * Memory.  Candidates are held from the oldest one not yet resolved on,
 * each counted at what it holds: its record (32 bytes on a 64-bit
 * system), a container's details (80 bytes), and its entry among the
 * offsets where candidates end (about 100 bytes for a new end, 8 where
 * others end too), together with each shared keystream (about 500
 * bytes, and about 300 more for each further cipher state or copy it
 * keeps), 24 bytes for each payload length asked of one, and the cipher
 * table of each
 * data-sized payload being deciphered (D bytes and about 200 of its own).  A candidate that would take this past the memory limit, or
 * would be a payload decipher beyond VELKOR_SCAN_MAX_DECIPHERS, is
 * dropped when it is found and counted by velkor_scan_dropped(); nothing
 * else is dropped.  Finds that are ready stay in the scanner until
 * velkor_scan_next() takes them and are not counted: take them after each
 * piece.  Apart from that, a scanner holds a few kilobytes (16 more with a
 * key) and the verified finds handed out that enclose the current offset.
 *
 * An image of known length.  velkor_scan_set_length() gives the image's
 * length before the first piece: a candidate that claims to end past it is
 * then resolved as truncated the moment it is found, and holds only its
 * record, and that only while a candidate before it is still pending.
 *
 * Passes.  An image that the caller can read again (a file, a device,
 * memory) need lose nothing to the limit: after velkor_scan_set_passes(),
 * a pass stops looking for new candidates at the first one it has to drop
 * while others are pending, and hands out only the finds before it; once
 * the pass is finished, velkor_scan_next_pass() names that offset, and
 * the caller feeds the image again from there, and so on until
 * velkor_scan_next_pass() returns 0.  Each pass gets past the offset where
 * the last one stopped, and the finds of all passes, taken in turn, are
 * those of one pass with unbounded memory and deciphers, in the same
 * order, with the same @inside.  Only a candidate that alone exceeds the
 * limit (a data-sized table larger than it), or a data-sized payload
 * beyond the work budget, is dropped and counted.  A pass with nothing
 * left to resolve needs no more bytes (velkor_scan_pass_done()).
 */
typedef struct velkor_scanner velkor_scanner;

#define VELKOR_SCAN_DEFAULT_MEMORY ((size_t)16 << 20)
#define VELKOR_SCAN_MAX_DECIPHERS 16

typedef struct velkor_scan_options {
    const char *key;      /* key text (1..254 characters), or NULL: no key;
                             copied by velkor_scan_new() */
    int data_sized_state; /* as enc_info.data_sized_state */
    size_t memory_limit;  /* bytes for pending candidates and their payload
                             tables; 0: VELKOR_SCAN_DEFAULT_MEMORY */
} velkor_scan_options;

typedef enum velkor_find_kind {
    VELKOR_FIND_TAGGED = 1,
    VELKOR_FIND_CONTAINER = 2
} velkor_find_kind;

/* A find's verdict.  VELKOR_SCAN_VERIFIED is 0. */
typedef enum velkor_scan_reason {
    VELKOR_SCAN_VERIFIED = 0,
    VELKOR_SCAN_NO_KEY,       /* a container, and the scanner has no key */
    VELKOR_SCAN_CRC_MISMATCH, /* a tagged file whose CRC does not match */
    VELKOR_SCAN_TRUNCATED,    /* the image ends before the find's last byte */
    VELKOR_SCAN_WRONG_KEY,    /* a container that does not decipher: wrong
                                 key or damaged */
    /* Only from scanners made by velkor_scan_new_keys() or
       velkor_scan_payload_new(); others drop such candidates and count
       them (velkor_scan_dropped()): */
    VELKOR_SCAN_OVER_MEMORY,  /* alone needs more than the memory limit */
    VELKOR_SCAN_OVER_BUDGET   /* a data-sized payload beyond the work budget */
} velkor_scan_reason;

typedef struct velkor_find {
    uint64_t offset;          /* of the find's first byte in the image */
    velkor_find_kind kind;
    velkor_scan_reason reason; /* VELKOR_SCAN_VERIFIED when verified */
    uint64_t length;          /* bytes from the first to the last */
    uint64_t payload_offset;  /* in the image */
    uint64_t payload_length;
    int inside_valid;         /* non-zero: inside holds an offset */
    uint64_t inside;          /* offset of the innermost enclosing verified find */
    /* Tagged files: */
    uint32_t stored_crc;
    uint32_t computed_crc;    /* when the whole find was read */
    /* Containers: */
    char magic[6];            /* "start" or "asar1" with its NUL */
    uint8_t key_prefix;
    uint32_t label_len;       /* L1 and L2, as stored */
    uint32_t sublabel_len;
    int deciphered;           /* non-zero: label and sublabel hold text */
    char label[32];           /* NUL-terminated when deciphered */
    char sublabel[8];
    uint32_t checksum;        /* the stored payload checksum, when deciphered */
} velkor_find;

/*
 * velkor_scan_new() - create a scanner with @options (NULL: no key, tables
 * of 256 entries, the default memory limit).  The key text is copied.
 * Returns NULL when the key is empty or longer than 254 characters, or when
 * memory runs out.  Release it with velkor_scan_free().
 */
VELKOR_API velkor_scanner *velkor_scan_new(const velkor_scan_options *options);

/*
 * velkor_scan_feed() - scan the next @len bytes of the image at @buf, which
 * the scanner does not keep.  Returns 0, or -1 with errno ENOMEM when
 * memory runs out, after which the scanner refuses every later feed and
 * finish, or with EINVAL for a NULL @sc (or @buf with @len above 0), a
 * scanner failed or finished, or bytes beyond the length
 * velkor_scan_set_length() gave (the piece is then refused whole).
 */
VELKOR_API int velkor_scan_feed(velkor_scanner *sc, const uint8_t *buf, size_t len);

/*
 * velkor_scan_finish() - mark the end of the image (or of a pass): every
 * candidate still open is resolved (as truncated if it runs past the end)
 * and every find becomes ready.  Returns 0, or -1 as velkor_scan_feed()
 * does.
 */
VELKOR_API int velkor_scan_finish(velkor_scanner *sc);

/*
 * velkor_scan_next() - take the next ready find into @find.  Returns 1 when
 * it filled *find, 0 when no find is ready (until more is fed, or for good
 * after velkor_scan_finish()), -1 with errno EINVAL for a NULL @sc or
 * @find.
 */
VELKOR_API int velkor_scan_next(velkor_scanner *sc, velkor_find *find);

/*
 * velkor_scan_dropped() - how many candidates were dropped so far for the
 * memory limit, the limit on payloads deciphered at once or the work
 * budget (with passes, only those no pass could keep).  Dropped candidates
 * are not reported as finds, whatever they would have been; the scanners
 * of velkor_scan_new_keys() report those they alone would drop instead
 * (see "Bounds reported" below).  0, with errno EINVAL, for a NULL @sc.
 */
VELKOR_API uint64_t velkor_scan_dropped(const velkor_scanner *sc);

/*
 * velkor_scan_set_length() - before the first piece: the image holds
 * @length bytes (see "An image of known length" above).  Feeding more is
 * refused; finishing with fewer is an image cut short, as always.  Returns
 * 0, or -1 with errno EINVAL for a NULL @sc, a scanner already fed, or a
 * @length of UINT64_MAX.
 */
VELKOR_API int velkor_scan_set_length(velkor_scanner *sc, uint64_t length);

/*
 * velkor_scan_set_passes() - before the first piece, with @on non-zero:
 * the caller will feed the image again in further passes for as long as
 * velkor_scan_next_pass() asks (see "Passes" above).  Returns 0, or -1 with
 * errno EINVAL for a NULL @sc or a scanner already fed.
 */
VELKOR_API int velkor_scan_set_passes(velkor_scanner *sc, int on);

/*
 * velkor_scan_pass_done() - 1 when the current pass has stopped looking for
 * candidates and holds none unresolved, so that more bytes can change
 * nothing: the caller may call velkor_scan_finish() at once.  0 otherwise,
 * -1 with errno EINVAL for a NULL @sc.
 */
VELKOR_API int velkor_scan_pass_done(const velkor_scanner *sc);

/*
 * velkor_scan_next_pass() - after velkor_scan_finish(): 1 when another pass
 * is needed, with the image's offset it starts at in *@from; the scanner
 * then takes the image's bytes from *@from on (as velkor_scan_feed() took
 * them from 0), and velkor_scan_finish() again at their end.  Finds not yet
 * taken stay, ahead of the new pass's.  0 when the scan is complete, -1
 * with errno EINVAL for a NULL argument or a scanner not finished or
 * failed.
 */
VELKOR_API int velkor_scan_next_pass(velkor_scanner *sc, uint64_t *from);

/*
 * velkor_scan_keep_from() - the lowest offset of the image that a find not
 * yet taken, or a start not yet looked at, may still cover: a caller that
 * keeps the image's bytes to read finds back (a pipe's, say) needs none
 * before it.  A candidate resolves by its end, at most about 4 GiB past
 * its offset, so the bytes from here to the last fed are that many at
 * most.  0, with errno EINVAL, for a NULL @sc.
 */
VELKOR_API uint64_t velkor_scan_keep_from(const velkor_scanner *sc);

/* velkor_scan_free() - release a scanner and all it holds; NULL is harmless. */
VELKOR_API void velkor_scan_free(velkor_scanner *sc);

/*
 * velkor_scan_reason_text() - a find's verdict in words: "verified",
 * "no key", "CRC mismatch", "truncated", "wrong key or damaged", "over the
 * memory limit" or "over the work budget".  The text is static.
 */
VELKOR_API const char *velkor_scan_reason_text(velkor_scan_reason why);

/*
 * Several keys, complete reports and payloads.  velkor_scan_new_keys()
 * makes a scanner that tries each container with a list of keys, and that
 * reports, rather than drops, what it cannot verify within its bounds;
 * velkor_scan_next_info() hands out its finds with what velkor_find has no
 * room for.  Everything said above holds for it too.
 *
 * Keys.  A container is tried with the keys in the order given: it is
 * verified by the first key under which its label and sublabel decipher to
 * texts and its payload's checksum matches, and its find names that key by
 * its number (1 for the first); no find holds a key's text.  A container
 * whose texts decipher under some key but whose checksum fails under every
 * such key is VELKOR_SCAN_WRONG_KEY with the texts of the first of them,
 * marked as damaged texts.  With 256-entry tables the payload's keystream
 * depends only on the key and the payload's key byte, so a scanner keeps
 * at most 256 keystreams per key, each generated only as far as a
 * candidate needs it, and forms every candidate's checksum from them and
 * from a register run once over the image: time stays linear in the image
 * and in the number of keys whatever the image holds.  A keystream keeps
 * a copy of its cipher every MiB, so that a later pass takes it up there,
 * and counts against the memory limit (see "Memory"); once no pending
 * candidate needs it, it stays only while it leaves room for the next
 * candidate.
 *
 * Bounds reported.  A candidate that alone needs more than the memory
 * limit is reported as VELKOR_SCAN_OVER_MEMORY, with the bytes it needs.
 * Data-sized payloads cannot share keystreams: each is deciphered on its
 * own, and the bytes so deciphered over the whole scan, all passes
 * included, may come to at most the work budget (velkor_scan_set_budget(),
 * by default VELKOR_SCAN_DEFAULT_BUDGET times the image's length); a
 * data-sized candidate that would go beyond it is reported as
 * VELKOR_SCAN_OVER_BUDGET, not deciphered.  Both kinds of find come out in
 * their place among the others; velkor_scan_dropped() counts what is still
 * dropped (a limit below one record).
 *
 * Payloads.  A verified container's payload can be scanned in turn:
 * velkor_scan_payload_new() makes a payload scanner from the container's
 * find, which the caller feeds the bytes that velkor_scan_payload_source()
 * names, as they lie in the image; it deciphers them with the key that
 * opened the container (and with those of the containers around it) and
 * scans the plaintext with its parent's keys and settings.  Its finds'
 * offsets count from the start of its payload, and their payload scanners
 * are made from it likewise, down to VELKOR_SCAN_MAX_LEVEL levels below the
 * image.  The payload bytes that payload scanners scan are charged to the
 * same work budget as data-sized payloads, over the image and every
 * payload scanner made from it; as a payload scanner deciphers its source
 * through each container around its payload, its cipher work is at most
 * VELKOR_SCAN_MAX_LEVEL times what it is charged.  A payload scanner's memory limit is what its parent leaves: the
 * parent's limit less what the parent holds when the payload scanner is
 * made and less the payload scanner's own cipher tables, so that a caller
 * that scans a find's payload before feeding the parent on keeps the whole
 * within the parent's limit.  Passes work as for the image, except that
 * each pass is fed the source from its first byte (a keystream cannot start
 * midway): velkor_scan_next_pass() then names offset 0.
 */
#define VELKOR_SCAN_MAX_KEYS 64
#define VELKOR_SCAN_MAX_LEVEL 8
#define VELKOR_SCAN_DEFAULT_BUDGET 16

typedef struct velkor_find_info {
    size_t size;            /* set by the caller: sizeof(velkor_find_info) */
    velkor_find find;       /* as velkor_scan_next() gives it */
    uint32_t key;           /* containers: the number of the key that opened
                               it, or whose texts damaged_texts holds; 0:
                               none */
    int damaged_texts;      /* non-zero: find.label and find.sublabel hold
                               the texts that key deciphered, although the
                               payload's checksum failed (find.deciphered
                               stays 0) */
    uint64_t needs;         /* VELKOR_SCAN_OVER_MEMORY: the bytes it needs */
    uint32_t level;         /* of the scanner that found it: 0 the image */
} velkor_find_info;

/*
 * velkor_scan_new_keys() - create a scanner that tries the @count keys at
 * @keys in turn (0 keys: none), with @options as velkor_scan_new() takes
 * them but for options->key, which must be NULL.  The key texts are
 * copied.  Returns NULL with errno EINVAL when @count exceeds
 * VELKOR_SCAN_MAX_KEYS, @keys is NULL with @count above 0, options->key is
 * not NULL, or a key is empty or longer than 254 characters; with ENOMEM
 * when memory runs out.
 */
VELKOR_API velkor_scanner *velkor_scan_new_keys(const char *const *keys, size_t count,
                                                const velkor_scan_options *options);

/*
 * velkor_scan_next_info() - velkor_scan_next() into @info->find, and the
 * rest of *@info besides (key, damaged texts, bytes needed, level).  The
 * caller sets info->size to sizeof(velkor_find_info) first.  Returns 1, 0
 * or -1 as velkor_scan_next() does; -1 with errno EINVAL also for a size
 * below that of this version's record.  Works with every scanner.
 */
VELKOR_API int velkor_scan_next_info(velkor_scanner *sc, velkor_find_info *info);

/*
 * velkor_scan_set_budget() - before the first piece: data-sized payloads
 * and payload scanners may decipher at most @multiple times the image's
 * length, over all passes and all payload scanners made from this one (see
 * "Bounds reported" above; the image's length is the one
 * velkor_scan_set_length() gave, or else, for a data-sized candidate, its
 * own end (so that how the image is cut into pieces changes no verdict),
 * and for a payload scanner, the bytes fed so far).  Returns 0, or -1 with
 * errno EINVAL for a NULL @sc, a scanner already fed, a payload scanner (it
 * shares its image's budget) or a @multiple of 0.
 */
VELKOR_API int velkor_scan_set_budget(velkor_scanner *sc, uint32_t multiple);

/*
 * velkor_scan_payload_new() - a scanner for the payload of the verified
 * container @find that @parent handed out (via velkor_scan_next_info()).
 * Returns NULL with errno EINVAL for a NULL argument, a find that is not a
 * verified container with a key number of @parent's, or lengths that do
 * not add up; ELOOP when @parent is VELKOR_SCAN_MAX_LEVEL levels deep
 * already; E2BIG when the payload would take the work budget past its
 * bound; ENOMEM when @parent leaves too little memory for it.  Release it
 * with velkor_scan_free(), before or after its parent.
 */
VELKOR_API velkor_scanner *velkor_scan_payload_new(velkor_scanner *parent,
                                                   const velkor_find_info *find);

/*
 * velkor_scan_payload_source() - where the bytes a payload scanner takes
 * lie in the image: *@offset and *@length, the outermost container around
 * it.  Feed exactly those bytes, in pieces of any size; a feed beyond them,
 * or bytes whose header does not match the container's find, fails with
 * EINVAL.  velkor_scan_set_length() on a payload scanner accepts that
 * length alone (it knows it already).  Returns 0, or -1 with errno EINVAL
 * for a NULL argument or a scanner of the image itself.
 */
VELKOR_API int velkor_scan_payload_source(const velkor_scanner *sc, uint64_t *offset,
                                          uint64_t *length);

/*
 * velkor_scan_level() - how many payloads deep @sc scans: 0 for the image,
 * 1 for a payload of it, and so on; -1 with errno EINVAL for a NULL @sc.
 */
VELKOR_API int velkor_scan_level(const velkor_scanner *sc);

/* ------------------------------------------------------------------ */
/* Whole-file helpers (not in the device build)                        */
/* ------------------------------------------------------------------ */

/*
 * On Windows @path is UTF-8, whatever the code page, and a path that is
 * not UTF-8 fails with errno EILSEQ (velkor(3) has the details).
 */

/*
 * get_file_size() - the size stat(2) reports for @path, following symbolic
 * links, or -1 if it cannot be read.
 */
VELKOR_API int64_t get_file_size(const char *path);

/*
 * read_file_to_buf() - read the first @len bytes of @path into @buf.
 * Fails (-1) if the file cannot be opened or holds fewer than @len bytes;
 * errno is then what the stream functions set, or 0 for a short file.
 * @len 0 succeeds whenever the file can be opened.
 */
VELKOR_API int read_file_to_buf(const char *path, uint8_t *buf, size_t len);

/*
 * write_buf_to_file() - replace the content of @path with @len bytes.
 * Creates or truncates the file.  A failed write, flush or close returns -1,
 * with errno as the stream functions left it, and removes @path if what was
 * written to is a regular file: a symbolic link to one is removed and its
 * target kept; devices, FIFOs and other special files are never removed.
 * @len 0 leaves an empty file.
 */
VELKOR_API int write_buf_to_file(const char *path, const uint8_t *buf, size_t len);

#ifdef __cplusplus
}
#endif

#endif /* VELKOR_H */
