// SPDX-License-Identifier: MIT
// The container reader's steps that the scanner takes one at a time.
// Internal: not installed.
#ifndef VELKOR_CONTAINER_INTERNAL_H
#define VELKOR_CONTAINER_INTERNAL_H

#include "velkor.h"

namespace velkor {

// enc_read_header() without keying anything: the same checks of the layout
// and the same fields filled in @info and @st, info->key not read.  On
// ENC_OK, st->header_len and st->data_length are set and st holds no table.
enc_reason enc_parse_header(enc_stream *st, enc_info *info, const uint8_t *buf, size_t avail,
                            int64_t total);

// Whether the label and sublabel that enc_parse_header() left in @info
// decipher under info->key to texts ending at their NUL, as
// enc_read_finish() requires.  The label comes first, and the sublabel is
// deciphered only when the label passes.  Works on copies: @info is left as
// it was.  Returns ENC_OK, ENC_BAD_TEXT, ENC_KEY_TOO_LONG or ENC_NO_MEMORY.
// On ENC_OK, a non-null @label and @sublabel (32 and 8 bytes) receive the
// texts, each up to and including its NUL.
enc_reason enc_texts_decipher(const enc_info *info, const enc_stream *st, char *label = nullptr,
                              char *sublabel = nullptr);

} // namespace velkor

#endif
