// SPDX-License-Identifier: MIT
// velkor: the library on the command line.  Checks, untags and tags tagged
// files, and writes, reads and describes encrypted containers.
//
// Exit status: 0 success, 1 failure (one "velkor: <what>: <reason>" line on
// standard error, or a FAILED line from check), 2 a bad command line.
//
// Every command makes one pass over its input in pieces of a fixed size, so
// memory does not grow with the file (except the cipher table that
// --data-sized makes as large as the payload).  Outputs go through
// velkor_io::output: a regular output is replaced only once everything has
// been checked, and is left as it was otherwise.
#include "velkor.h"
#include "cli.h"
#include "io.h"
#include "scan_cmd.h"
#include "tag_words.h"
#include "text.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>

#include <err.h>
#include <unistd.h>

namespace {

using namespace velkor_cli;

using velkor_io::piece, velkor_io::piece_buf;

[[noreturn]] void fail(const char *path, const std::string &why)
{
    errx(1, "%s: %s", path, why.c_str());
}

void open_input(velkor_io::input &in, const char *path)
{
    if (!in.open(path))
        velkor_io::fail_refused(path, in.refusal());
}

// The files an output must not be: the one being read, and the key file.
struct not_outputs {
    velkor_io::file_id input;
    velkor_io::key_files keys;
};

void report_open_failure(const command *cmd, const velkor_io::output &out, const char *path)
{
    if (out.aliases_key())
        usage_error(cmd, "%s: the key file is the output file",
                    velkor_text::plain_text(path).c_str());
    velkor_io::open_failed(out, path);
}

void open_output(const command *cmd, velkor_io::output &out, const char *path, const not_outputs &avoid,
                 mode_t mode = 0666)
{
    if (!out.open(path, avoid.input, avoid.keys, mode))
        report_open_failure(cmd, out, path);
}

[[noreturn]] void output_failed(velkor_io::output &out, const char *path)
{
    out.discard(); // keeps errno
    err(1, "%s", path);
}

void write_output(velkor_io::output &out, const char *path, const uint8_t *buf, size_t len)
{
    if (!out.write(buf, len))
        output_failed(out, path);
}

void commit_output(velkor_io::output &out, const char *path)
{
    if (!out.commit())
        output_failed(out, path);
}

// ---------------------------------------------------------------------------
// Tagged files

// Where a tagged file's payload goes while it is checked: `start` once the
// header holds together (so no output is made for what is plainly not a
// tagged file), then `piece` for each piece of the payload in order.
struct payload_sink {
    std::function<void(const velkor_io::file_id &input)> start;
    std::function<void(const uint8_t *, size_t)> piece;
};

// What checking a tagged file found.  Each value is filled in once the
// check has reached it (check --json and info show the others as null).
struct tag_report {
    std::string reason;       // "" when the file is sound
    bool unreadable = false;  // reason is the system's: the file could not be read
    bool have_length = false; // the file's length in bytes (with --padded: the tagged length)
    uint64_t length = 0;
    bool have_stored = false; // the CRC the header holds
    uint32_t stored_crc = 0;
    bool have_computed = false; // the CRC of the file as it is
    uint32_t computed_crc = 0;
    bool have_padding = false;  // --padded: the fill bytes after the tagged length
    uint64_t padding = 0;
    uint8_t fill = 0;
};

// Where the fill after a padded file's tagged length first breaks: the
// index of the first byte in p[0, n) that is not `fill`, or n.
size_t fill_run(const uint8_t *p, size_t n, uint8_t fill)
{
    static const uint8_t ones[4096] = {};
    uint8_t block[sizeof ones];
    const uint8_t *same = ones;
    if (fill != 0) {
        memset(block, fill, sizeof block);
        same = block;
    }
    size_t at = 0;
    // Whole blocks compared at once; the one that differs byte by byte.
    while (at < n) {
        const size_t k = std::min(n - at, sizeof ones);
        if (memcmp(p + at, same, k) != 0)
            break;
        at += k;
    }
    while (at < n && p[at] == fill)
        at++;
    return at;
}

// Checks the rest of a tagged file whose first n bytes (at most the
// header's 20) are in head, in one pass.  The payload goes to sink, if
// any, before its CRC is known.  With `padded`, the file may go on after
// its tagged length with one fill byte, 0xff or 0x00, repeated.
tag_report check_tagged_rest(velkor_io::input &in, const uint8_t *head, size_t n,
                             const payload_sink *sink, bool padded = false)
{
    tag_report r;
    const auto unreadable = [&r] {
        r.reason = strerror(errno);
        r.unreadable = true;
        return r;
    };
    if (in.size_known()) {
        r.have_length = true;
        r.length = in.size();
    }
    velkor_tag_info ti{};
    const velkor_tag_reason parsed = velkor_tag_parse(&ti, head, n);
    if (parsed != VELKOR_TAG_SHORT) {
        r.have_stored = true;
        r.stored_crc = ti.stored_crc;
    } else {
        r.have_length = true; // a short read ends only at the end
        r.length = n;
    }
    switch (parsed) {
    case VELKOR_TAG_OK:
        break;
    case VELKOR_TAG_SHORT:
    case VELKOR_TAG_WRONG_FORMAT:
        r.reason = tag_reason_text(parsed, ti, n);
        return r;
    default:
        r.have_stored = false; // not a tagged file: no field means anything
        r.reason = tag_reason_text(VELKOR_TAG_NO_MAGIC, ti, n);
        return r;
    }
    // Whether the file's length fits the length field: equal, or with
    // --padded at least as long (and the field at least the header's).
    const auto length_fits = [&](uint64_t file_len) {
        if (!padded)
            return velkor_tag_check_length(&ti, file_len) == VELKOR_TAG_OK;
        return ti.length >= VELKOR_TAG_HEADER_LEN && file_len >= ti.length;
    };
    const auto wrong_length = [&](uint64_t file_len) {
        r.have_length = true;
        r.length = file_len;
        r.reason = tag_reason_text(VELKOR_TAG_WRONG_LENGTH, ti, file_len);
        return r;
    };
    // A regular file's length is known now: a wrong one is found before
    // reading further.  A pipe's is known at its end.
    if (in.size_known() && !length_fits(in.size()))
        return wrong_length(in.size());
    if (sink != nullptr)
        sink->start(in.id());

    const uint64_t expected = ti.length >= VELKOR_TAG_HEADER_LEN ? ti.length - VELKOR_TAG_HEADER_LEN : 0;
    piece_buf buf;
    velkor_crc_state crc;
    velkor_crc_init(&crc);
    uint64_t got = 0;
    int fill = -1;            // the padding's byte, once its first is read
    bool broken = false;      // a byte after the tagged length is not fill
    uint64_t broken_at = 0;
    uint8_t broken_byte = 0;
    ssize_t k;
    while ((k = in.read(buf.p, piece)) > 0) {
        const auto len = static_cast<size_t>(k);
        // Beyond what the header promises the bytes are only counted, for
        // the message, or with --padded checked as fill.
        const size_t own = got >= expected ? 0 : static_cast<size_t>(std::min<uint64_t>(len, expected - got));
        if (own > 0) {
            velkor_crc_update(&crc, buf.p, own);
            if (sink != nullptr)
                sink->piece(buf.p, own);
        }
        if (padded && own < len) {
            const uint8_t *tail = buf.p + own;
            if (fill < 0 && (tail[0] == 0xff || tail[0] == 0x00))
                fill = tail[0];
            const size_t run = fill < 0 ? 0 : fill_run(tail, len - own, static_cast<uint8_t>(fill));
            if (run < len - own) {
                broken = true;
                broken_byte = tail[run];
                broken_at = VELKOR_TAG_HEADER_LEN + got + own + run;
                break; // nothing after it can mend the file
            }
        }
        got += len;
    }
    if (k < 0)
        return unreadable();
    if (!broken && !length_fits(VELKOR_TAG_HEADER_LEN + got))
        return wrong_length(VELKOR_TAG_HEADER_LEN + got);
    r.have_length = true;
    r.length = padded ? ti.length : VELKOR_TAG_HEADER_LEN + got;
    const velkor_tag_reason crc_ok = velkor_tag_check_crc(&ti, head, &crc);
    r.have_computed = true;
    r.computed_crc = ti.computed_crc;
    if (crc_ok != VELKOR_TAG_OK) {
        r.reason = tag_reason_text(crc_ok, ti, r.length);
    } else if (broken) {
        r.reason = tag_fill_text(broken_byte, broken_at, fill);
    } else if (padded) {
        r.have_padding = true;
        r.padding = VELKOR_TAG_HEADER_LEN + got - ti.length;
        r.fill = fill < 0 ? 0 : static_cast<uint8_t>(fill);
    }
    return r;
}

// Checks the tagged file at path in one pass.
tag_report check_tagged(const char *path, const payload_sink *sink, bool padded)
{
    tag_report r;
    velkor_io::input in;
    uint8_t head[VELKOR_TAG_HEADER_LEN];
    ssize_t n = -1;
    if (in.open(path))
        n = in.read(head, sizeof head);
    if (n < 0) {
        r.reason = velkor_io::refused_text(in.refusal());
        r.unreadable = true;
        return r;
    }
    return check_tagged_rest(in, head, static_cast<size_t>(n), sink, padded);
}

// A JSON number, or null for a value not reached.
std::string json_number(bool have, uint64_t v)
{
    return have ? std::to_string(v) : "null";
}

// With --padded: the JSON member after "length" (null until the padding
// was checked), or nothing without the option.
std::string json_padding(const settings &s, const tag_report &r)
{
    return s.padded ? ",\"padding\":" + json_number(r.have_padding, r.padding) : std::string();
}

// The padding in words, for check's line and info: "4076 bytes of 0xff".
std::string padding_words(const tag_report &r)
{
    char text[64];
    snprintf(text, sizeof text, "%" PRIu64 " byte%s of 0x%02x", r.padding, r.padding == 1 ? "" : "s", r.fill);
    return r.padding == 0 ? std::string("none") : std::string(text);
}

// check's report on one file: its line (or JSON object) on standard
// output, and for a file that could not be read the reason on standard
// error too, as for any failure to read.  --status prints nothing.
void report_check(const settings &s, const char *path, const tag_report &r)
{
    if (s.status_only)
        return;
    const std::string name = velkor_text::quote_name(path);
    if (r.unreadable)
        fprintf(stderr, "%s: %s: %s\n", program_invocation_short_name, name.c_str(),
                r.reason.c_str());
    const bool ok = r.reason.empty();
    if (ok && s.quiet)
        return;
    if (s.json) {
        using velkor_text::json_string;
        // A name that is not UTF-8 loses bytes to U+FFFD: its exact bytes
        // follow, so that two such names stay apart.
        const std::string exact =
            velkor_text::is_utf8(path) ? "" : ",\"name_bytes\":\"" + velkor_text::hex(path) + "\"";
        printf("{\"name\":%s%s,\"ok\":%s,\"reason\":%s,\"length\":%s%s,\"stored_crc\":%s,"
               "\"computed_crc\":%s}\n",
               json_string(path).c_str(), exact.c_str(), ok ? "true" : "false",
               ok ? "null" : json_string(r.reason).c_str(),
               json_number(r.have_length, r.length).c_str(), json_padding(s, r).c_str(),
               json_number(r.have_stored, r.stored_crc).c_str(),
               json_number(r.have_computed, r.computed_crc).c_str());
    } else if (ok && r.have_padding && r.padding > 0) {
        printf("%s: OK (padded with %s)\n", name.c_str(), padding_words(r).c_str());
    } else if (ok) {
        printf("%s: OK\n", name.c_str());
    } else {
        printf("%s: FAILED (%s)\n", name.c_str(), r.reason.c_str());
    }
}

int run_check(const settings &s)
{
    int status = 0;
    for (const char *path : s.operands) {
        const tag_report r = check_tagged(path, nullptr, s.padded);
        report_check(s, path, r);
        if (!r.reason.empty())
            status = 1;
    }
    return status;
}

// The payload is written as it is checked; a regular output is renamed
// into place only when the CRC matched (and with --padded, the fill
// after it held).  A stream (standard output, a pipe) has had the bytes
// by then: a mismatch is reported after them.
int run_untag(const command *cmd, const settings &s)
{
    const char *in = s.operands[0], *out_path = s.operands[1];
    velkor_io::output out;
    const payload_sink sink{
        [&](const velkor_io::file_id &input) { open_output(cmd, out, out_path, {input, {}}); },
        [&](const uint8_t *p, size_t n) { write_output(out, out_path, p, n); },
    };
    const std::string why = check_tagged(in, &sink, s.padded).reason;
    if (!why.empty()) {
        out.discard();
        fail(in, why);
    }
    commit_output(out, out_path);
    return 0;
}

// The same bytes as bgntag.  The header comes first but holds the length
// and the CRC, known only at the end: the payload goes to offset 20 and
// the header last.  An output that cannot be written at an offset (a pipe)
// gets the whole file from a nameless temporary file once it is complete.
int run_tag(const command *cmd, const settings &s)
{
    const char *in_path = s.operands[0], *out_path = s.operands[1];
    velkor_io::input in;
    open_input(in, in_path);
    const auto too_large = [&] {
        errno = EFBIG;
        err(1, "%s", in_path);
    };
    if (in.size_known() && in.size() > VELKOR_TAG_MAX_PAYLOAD)
        too_large();

    velkor_io::output out;
    open_output(cmd, out, out_path, {in.id(), {}});
    int spool = -1;
    if (!out.seekable()) {
        spool = velkor_io::anonymous_file();
        if (spool < 0) {
            out.discard();
            err(1, "temporary file");
        }
    }
    // Writes to the output, or to the spool in its place.
    const auto put = [&](const uint8_t *p, size_t n) {
        if (spool < 0)
            write_output(out, out_path, p, n);
        else if (!velkor_io::write_all(spool, p, n))
            err(1, "temporary file");
    };

    // The first piece carries a placeholder for the header, so that every
    // later write starts on a page boundary of the output (unaligned
    // writes measured a third slower).
    uint8_t head[VELKOR_TAG_HEADER_LEN];
    piece_buf buf;
    velkor_crc_state crc;
    velkor_crc_init(&crc);
    size_t lead = sizeof head;
    memset(buf.p, 0, lead);
    ssize_t n;
    do {
        n = in.read(buf.p + lead, piece - lead);
        if (n < 0)
            break;
        const auto len = static_cast<size_t>(n);
        if (crc.length + len > VELKOR_TAG_MAX_PAYLOAD) {
            out.discard();
            too_large();
        }
        velkor_crc_update(&crc, buf.p + lead, len);
        put(buf.p, lead + len);
        lead = 0;
    } while (n > 0);
    if (n < 0) {
        out.discard();
        err(1, "%s", in_path);
    }
    velkor_tag_build(head, &crc);

    if (spool < 0) {
        if (!out.write_at(0, head, sizeof head))
            output_failed(out, out_path);
    } else {
        if (!velkor_io::write_all_at(spool, head, sizeof head, 0) || lseek(spool, 0, SEEK_SET) != 0)
            err(1, "temporary file");
        velkor_io::input whole;
        whole.adopt(spool);
        while ((n = whole.read(buf.p, piece)) > 0)
            write_output(out, out_path, buf.p, static_cast<size_t>(n));
        if (n < 0)
            err(1, "temporary file");
    }
    commit_output(out, out_path);
    return 0;
}

// ---------------------------------------------------------------------------
// Containers

constexpr uint64_t max_payload = UINT32_MAX; // the length field has 32 bits

std::string container_reason(enc_reason why, const enc_stream &st)
{
    char text[200];
    enc_reason_message(why, &st, text, sizeof text);
    // The library does not know the command's option names.
    std::string said = text;
    const std::string_view table = "wrong table setting";
    if (const size_t at = said.find(table); at != std::string::npos)
        said.replace(at, table.size(), "wrong --data-sized setting");
    return said;
}

// Gathers a pipe's bytes, after the `have` bytes already read from it into
// `first`, into a nameless temporary file, which `in` then reads instead:
// for a length that must be known before anything is allocated or written
// for it.  With `refuse_more`, false once more than `most` bytes have come,
// with nothing more read; otherwise no more than `most` bytes are taken
// from the pipe, and what follows is left in it.
bool spool_input(velkor_io::input &in, const char *in_path, uint8_t *buf, uint64_t most,
                 bool refuse_more, const uint8_t *first = nullptr, size_t have = 0)
{
    const int spool = velkor_io::anonymous_file();
    if (spool < 0 || !velkor_io::write_all(spool, first, have))
        err(1, "temporary file");
    uint64_t got = have;
    ssize_t n = 0;
    while (refuse_more || got < most) {
        const uint64_t room = refuse_more ? piece : most - got;
        n = in.read(buf, room < piece ? static_cast<size_t>(room) : piece);
        if (n <= 0)
            break;
        got += static_cast<uint64_t>(n);
        if (got > most) {
            close(spool);
            return false;
        }
        if (!velkor_io::write_all(spool, buf, static_cast<size_t>(n)))
            err(1, "temporary file");
    }
    if (n < 0)
        err(1, "%s", in_path);
    if (lseek(spool, 0, SEEK_SET) != 0 || !in.adopt(spool))
        err(1, "temporary file");
    return true;
}

int run_pack(const command *cmd, const settings &s)
{
    const char *in_path = s.operands[0], *out_path = s.operands[1];
    velkor_io::input in;
    open_input(in, in_path);
    velkor_io::key_files key_id;
    const std::string key = load_key(cmd, s, in.id(), &key_id);
    const velkor_io::file_id in_id = in.id(); // before a pipe is spooled
    char text[160];
    piece_buf buf;
    ssize_t n;

    // The payload's length comes first: a pipe is gathered into a nameless
    // temporary file to learn it.
    if (!in.size_known() && !spool_input(in, in_path, buf.p, max_payload, true)) {
        snprintf(text, sizeof text, "too large for a container (more than %" PRIu64 " bytes)",
                 max_payload);
        fail(in_path, text);
    }
    if (in.size() > max_payload) {
        snprintf(text, sizeof text, "too large for a container (%" PRIu64 " bytes, at most %" PRIu64 ")",
                 in.size(), max_payload);
        fail(in_path, text);
    }

    enc_info info{};
    info.key = key.c_str();
    strcpy(info.magic, s.magic);
    strcpy(info.label, s.label);
    strcpy(info.sublabel, s.sublabel);
    info.key_prefix = s.prefix;
    info.data_sized_state = s.data_sized;
    info.data_length = static_cast<uint32_t>(in.size());

    enc_stream st;
    uint8_t head[ENC_MAX_HEADER_LEN];
    // The command line has been checked: only the table's allocation can
    // fail here.
    if (enc_write_header(&st, &info, head) != 0)
        fail(in_path, strerror(ENOMEM));
    velkor_io::output out;
    const auto give_up = [&] {
        enc_stream_release(&st);
        out.discard();
    };
    if (!out.open(out_path, in_id, key_id)) {
        const int e = errno;
        enc_stream_release(&st);
        errno = e;
        report_open_failure(cmd, out, out_path);
    }
    if (!out.write(head, st.header_len)) {
        give_up();
        err(1, "%s", out_path);
    }
    while (st.remaining > 0) {
        n = in.read(buf.p, st.remaining < piece ? st.remaining : piece);
        if (n <= 0) {
            const int e = errno;
            give_up();
            if (n == 0)
                fail(in_path, "unexpected end of file");
            errno = e;
            err(1, "%s", in_path);
        }
        const auto len = static_cast<size_t>(n);
        enc_write_payload(&st, buf.p, buf.p, len);
        if (!out.write(buf.p, len)) {
            give_up();
            err(1, "%s", out_path);
        }
    }
    uint8_t trailer[4];
    enc_write_finish(&st, trailer);
    write_output(out, out_path, trailer, sizeof trailer);
    commit_output(out, out_path);
    return 0;
}

// Reads a container's header into `head` (ENC_MAX_HEADER_LEN bytes), after
// the `have` bytes of it already in `first`, and runs the library's header
// checks on it, the texts' included, without keying a payload table of the
// claimed size: a limit of 0 entries stops the reader just before a
// data-sized one while the length is unknown (that refusal is the pass
// here), and a 256-entry one is released at once.  So a forged length
// costs nothing.  The caller sets info.key and info.data_sized_state; info
// gets the fields read, `st` the stored lengths, and `have` becomes what
// `head` holds.
enc_reason probe_header(velkor_io::input &in, const char *path, const uint8_t *first, size_t &have,
                        uint8_t *head, enc_info &info, int64_t total, enc_stream &st)
{
    if (have > 0 && first != head)
        memcpy(head, first, have);
    const ssize_t got = in.read(head + have, ENC_MAX_HEADER_LEN - have);
    if (got < 0)
        err(1, "%s", path);
    have += static_cast<size_t>(got);
    const enc_reason why = enc_read_header_limited(&st, &info, head, have, total, 0);
    enc_stream_release(&st);
    return why == ENC_TABLE_TOO_LARGE ? ENC_OK : why;
}

// Reads and checks the container in `in` (named in_path) in one pass,
// deciphering its payload piece by piece into `payload` (which may drop
// it).  The first `have` bytes of the container may already have been
// read into first.  Returns the header fields; exits with status 1 on any
// refusal.
enc_info read_container_from(const settings &s, const std::string &key, velkor_io::input &in,
                             const char *in_path, const uint8_t *first, size_t have,
                             const payload_sink &payload)
{
    const velkor_io::file_id in_id = in.id();
    piece_buf buf;
    // A data-sized payload table is as large as the length the header
    // claims: from a pipe, learn the real length first, so that a forged
    // header costs no more than it does from a file.  The header is read
    // and checked before anything is spooled, and then only the
    // container's own bytes are: what plainly is no container (an endless
    // stream of zeros, say) is refused at once.
    if (s.data_sized && !in.size_known()) {
        uint8_t head[ENC_MAX_HEADER_LEN];
        enc_info probe{};
        probe.key = key.c_str();
        probe.data_sized_state = s.data_sized;
        enc_stream st;
        const enc_reason why = probe_header(in, in_path, first, have, head, probe, -1, st);
        if (why != ENC_OK)
            fail(in_path, container_reason(why, st));
        const uint64_t own = st.header_len + uint64_t{st.data_length} + 4;
        spool_input(in, in_path, buf.p, own, false, head, have);
        have = 0;
    }
    if (have > 0)
        memcpy(buf.p, first, have);
    ssize_t n = in.read(buf.p + have, piece - have);
    if (n < 0)
        err(1, "%s", in_path);
    have += static_cast<size_t>(n);

    enc_info info{};
    info.key = key.c_str();
    info.data_sized_state = s.data_sized;
    enc_stream st;
    const int64_t total = in.size_known() ? static_cast<int64_t>(in.size()) : -1;
    enc_reason why = enc_read_header(&st, &info, buf.p, have, total);
    if (why != ENC_OK)
        fail(in_path, container_reason(why, st));
    payload.start(in_id);

    // Payload, then the four checksum bytes; anything after them is not
    // part of the container, and no further piece is read.
    uint8_t trailer[4];
    size_t trailer_have = 0;
    size_t at = st.header_len;
    for (;;) {
        const size_t used = enc_read_payload(&st, buf.p + at, buf.p + at, have - at);
        payload.piece(buf.p + at, used);
        at += used;
        while (at < have && trailer_have < sizeof trailer)
            trailer[trailer_have++] = buf.p[at++];
        if (trailer_have == sizeof trailer)
            break;
        n = in.read(buf.p, piece);
        if (n <= 0) {
            const int e = errno;
            enc_stream_release(&st);
            if (n == 0)
                fail(in_path, container_reason(ENC_PAST_END, st));
            errno = e;
            err(1, "%s", in_path);
        }
        have = static_cast<size_t>(n);
        at = 0;
    }
    why = enc_read_finish(&st, &info, trailer);
    if (why != ENC_OK)
        fail(in_path, container_reason(why, st));
    return info;
}

// Whether the container in `in` (whose first `have` bytes are in first)
// checks under `key`, read again from its start without moving the
// input's own position: a dry run before anything is written.  Only for an
// input that can be read again.
bool checks_under(const settings &s, const std::string &key, velkor_io::input &in, const char *path)
{
    piece_buf buf;
    uint64_t off = 0;
    ssize_t n = in.read_at(buf.p, piece, off);
    if (n < 0)
        err(1, "%s", path);
    enc_info info{};
    info.key = key.c_str();
    info.data_sized_state = s.data_sized;
    enc_stream st;
    const int64_t total = in.size_known() ? static_cast<int64_t>(in.size()) : -1;
    if (enc_read_header(&st, &info, buf.p, static_cast<size_t>(n), total) != ENC_OK)
        return false;
    uint8_t trailer[4];
    size_t trailer_have = 0;
    size_t at = st.header_len, have = static_cast<size_t>(n);
    for (;;) {
        at += enc_read_payload(&st, buf.p + at, buf.p + at, have - at);
        while (at < have && trailer_have < sizeof trailer)
            trailer[trailer_have++] = buf.p[at++];
        if (trailer_have == sizeof trailer)
            break;
        off += have;
        n = in.read_at(buf.p, piece, off);
        if (n <= 0) {
            const int e = errno;
            enc_stream_release(&st);
            if (n < 0) {
                errno = e;
                err(1, "%s", path);
            }
            return false;
        }
        have = static_cast<size_t>(n);
        at = 0;
    }
    return enc_read_finish(&st, &info, trailer) == ENC_OK;
}

// Which of the keys opens the container in `in`: the first under which the
// header holds together and the texts decipher, found from the header
// alone.  When several keys get that far (a damaged container, or texts
// that happen to decipher under another key), each is checked against the
// payload's checksum in turn, before anything is written, and the first
// that matches is taken: the input is read again for that, a pipe's
// container first gathered into a nameless temporary file (its own bytes
// only, as --data-sized does).  None matching: the first of them, whose
// failure is then reported.  No key getting that far: the first key's
// refusal.  The header read goes to head, `have` its length (after the
// `have` bytes already in first); a spooled input starts again at 0.
size_t choose_key(const settings &s, const std::vector<std::string> &keys, velkor_io::input &in,
                  const char *path, const uint8_t *first, size_t &have, uint8_t *head)
{
    const int64_t total = in.size_known() ? static_cast<int64_t>(in.size()) : -1;
    std::vector<size_t> open;
    enc_stream st{};
    enc_reason first_why = ENC_OK;
    uint64_t own = 0;
    const uint8_t *from = first;
    for (size_t k = 0; k < keys.size(); k++) {
        enc_info info{};
        info.key = keys[k].c_str();
        info.data_sized_state = s.data_sized;
        // The first call reads the header; the others look at the same bytes.
        const enc_reason why = probe_header(in, path, from, have, head, info, total, st);
        from = head;
        if (k == 0)
            first_why = why;
        if (why == ENC_OK) {
            open.push_back(k);
            own = st.header_len + uint64_t{st.data_length} + 4;
        }
        if (why != ENC_OK && why != ENC_BAD_TEXT)
            break; // the header's layout is wrong, whatever the key
    }
    if (open.empty()) {
        if (first_why == ENC_NO_MEMORY)
            fail(path, strerror(ENOMEM));
        fail(path, container_reason(first_why, st));
    }
    if (open.size() == 1)
        return open[0];
    if (!in.rereadable()) {
        piece_buf buf;
        spool_input(in, path, buf.p, own, false, head, have);
        have = 0;
    }
    for (size_t k : open)
        if (checks_under(s, keys[k], in, path))
            return k;
    return open[0];
}

// The payload is written as it is deciphered; a regular output is renamed
// into place only when the checksum matched.  A stream has had the bytes
// by then: a mismatch is reported after them.
int run_unpack(const command *cmd, const settings &s)
{
    velkor_io::input in;
    open_input(in, s.operands[0]);
    velkor_io::key_files key_id;
    const std::vector<std::string> keys = load_keys(cmd, s, std::span(&in.id(), 1), &key_id);
    const velkor_io::file_id in_id = in.id(); // before a pipe is spooled
    uint8_t head[ENC_MAX_HEADER_LEN];
    size_t have = 0;
    const size_t k = keys.size() == 1 ? 0 : choose_key(s, keys, in, s.operands[0], nullptr, have, head);
    const char *out_path = s.operands[1];
    velkor_io::output out;
    // Every refusal exits through err(3): the temporary file is removed at
    // exit, and a stream keeps what it was given.
    read_container_from(s, keys[k], in, s.operands[0], head, have,
                        {[&](const velkor_io::file_id &) {
                             open_output(cmd, out, out_path, {in_id, key_id}, velkor_io::deciphered_mode);
                         },
                         [&](const uint8_t *p, size_t n) { write_output(out, out_path, p, n); }});
    commit_output(out, out_path);
    return 0;
}

// info on a tagged file: its fields and the verdict, which is also the
// status.
int info_tagged(const settings &s, const tag_report &r)
{
    const bool ok = r.reason.empty();
    const bool have_payload = r.have_length && r.length >= VELKOR_TAG_HEADER_LEN;
    const uint64_t payload_length = have_payload ? r.length - VELKOR_TAG_HEADER_LEN : 0;
    if (s.json) {
        printf("{\"kind\":\"tagged\",\"length\":%s,\"payload_length\":%s%s,\"stored_crc\":%s,"
               "\"computed_crc\":%s,\"ok\":%s,\"reason\":%s}\n",
               json_number(r.have_length, r.length).c_str(),
               json_number(have_payload, payload_length).c_str(), json_padding(s, r).c_str(),
               json_number(r.have_stored, r.stored_crc).c_str(),
               json_number(r.have_computed, r.computed_crc).c_str(), ok ? "true" : "false",
               ok ? "null" : velkor_text::json_string(r.reason).c_str());
    } else {
        const auto number = [](bool have, uint64_t v) {
            return have ? std::to_string(v) : std::string("-");
        };
        const auto crc = [](bool have, uint32_t v) {
            char text[16];
            snprintf(text, sizeof text, "0x%08" PRIx32, v);
            return have ? std::string(text) : std::string("-");
        };
        const std::string padding =
            !s.padded ? std::string() : "padding:      " + (r.have_padding ? padding_words(r) : "-") + "\n";
        printf("kind:         tagged\n"
               "length:       %s\n"
               "payload:      %s\n"
               "%s"
               "stored CRC:   %s\n"
               "computed CRC: %s\n"
               "verdict:      %s%s%s\n",
               number(r.have_length, r.length).c_str(),
               number(have_payload, payload_length).c_str(), padding.c_str(),
               crc(r.have_stored, r.stored_crc).c_str(),
               crc(r.have_computed, r.computed_crc).c_str(), ok ? "OK" : "FAILED (",
               r.reason.c_str(), ok ? "" : ")");
    }
    return ok ? 0 : 1;
}

void info_container(const settings &s, const enc_info &info, size_t key_number)
{
    // The reader guarantees both texts end within their fields.
    const std::string_view label(info.label), sublabel(info.sublabel), magic(info.magic);
    using velkor_text::json_string, velkor_text::quote_text, velkor_text::hex;
    if (s.json) {
        printf("{\"kind\":\"container\",\"magic\":%s,\"prefix\":%u,\"key\":%zu,\"label\":%s,\"label_hex\":\"%s\","
               "\"sublabel\":%s,\"sublabel_hex\":\"%s\",\"length\":%" PRIu32
               ",\"checksum\":%" PRIu32 "}\n",
               json_string(magic).c_str(), info.key_prefix, key_number, json_string(label).c_str(),
               hex(label).c_str(), json_string(sublabel).c_str(), hex(sublabel).c_str(),
               info.data_length, info.checksum);
    } else {
        printf("magic:    %s\n"
               "prefix:   0x%02x\n"
               "key:      %zu\n"
               "label:    %s\n"
               "sublabel: %s\n"
               "length:   %" PRIu32 "\n"
               "checksum: 0x%08" PRIx32 "\n",
               quote_text(magic).c_str(), info.key_prefix, key_number, quote_text(label).c_str(),
               quote_text(sublabel).c_str(), info.data_length, info.checksum);
    }
}

// info on a container without a key: what its header shows, and whether
// the input holds the whole container.  Nothing enciphered can be checked;
// the status says only whether the header is whole and nothing is cut off.
// The first `have` bytes are in `first`.
int info_keyless(const settings &s, velkor_io::input &in, const char *path, const uint8_t *first,
                 size_t have)
{
    uint8_t head[ENC_MAX_HEADER_LEN];
    enc_stream st;
    const int64_t total = in.size_known() ? static_cast<int64_t>(in.size()) : -1;
    enc_info info{};
    info.key = "-"; // nothing is deciphered here: a stand-in does
    enc_reason why = probe_header(in, path, first, have, head, info, total, st);
    // The texts are checked only once the layout passed, and under the
    // stand-in key their failure says nothing.
    if (why == ENC_BAD_TEXT)
        why = ENC_OK;
    if (why == ENC_NOT_CONTAINER)
        fail(path, "neither a tagged file nor a container");
    if (why == ENC_NO_MEMORY)
        fail(path, strerror(ENOMEM));

    // Lengths the header checks did not reach are 0; a stored length that
    // is out of range is shown as it is.
    const bool have_l1 = st.label_len != 0 || why == ENC_BAD_LABEL_LENGTH;
    const bool have_l2 = st.sublabel_len != 0 || why == ENC_BAD_SUBLABEL_LENGTH;
    const bool have_d = st.header_len != 0;
    const uint64_t whole = st.header_len + uint64_t{st.data_length} + 4;
    // How much of the container the input holds: known from a regular
    // file's size, counted otherwise (no further than the container's end).
    // A header cut short is all the input there is.
    const bool have_held = have_d || why == ENC_CUT_OFF;
    uint64_t held = have;
    if (have_d) {
        if (in.size_known()) {
            held = std::min<uint64_t>(in.size(), whole);
        } else {
            held = std::min<uint64_t>(have, whole);
            piece_buf buf;
            ssize_t k = 1;
            while (held < whole && (k = in.read(buf.p, std::min<uint64_t>(piece, whole - held))) > 0)
                held += static_cast<uint64_t>(k);
            if (k < 0)
                err(1, "%s", path);
        }
    }
    std::string reason;
    if (why != ENC_OK || held < whole)
        reason = container_reason(why != ENC_OK ? why : ENC_PAST_END, st);
    const bool ok = reason.empty();

    if (s.json) {
        using velkor_text::json_string;
        printf("{\"kind\":\"container\",\"magic\":%s,\"prefix\":%s,\"label_length\":%s,"
               "\"sublabel_length\":%s,\"length\":%s,\"container_length\":%s,\"in_file\":%s,"
               "\"checked\":false,\"ok\":%s,\"reason\":%s}\n",
               json_string(info.magic).c_str(),
               json_number(have_l1, info.key_prefix).c_str(), json_number(have_l1, st.label_len).c_str(),
               json_number(have_l2, st.sublabel_len).c_str(), json_number(have_d, st.data_length).c_str(),
               json_number(have_d, whole).c_str(), json_number(have_held, held).c_str(),
               ok ? "true" : "false", ok ? "null" : json_string(reason).c_str());
    } else {
        const auto number = [](bool reached, uint64_t v, const char *after = "") {
            return reached ? std::to_string(v) + after : std::string("-");
        };
        char prefix[8];
        snprintf(prefix, sizeof prefix, "0x%02x", info.key_prefix);
        const std::string in_file = !have_held               ? "-"
                                    : have_d && held == whole ? "all of it"
                                                              : std::to_string(held) + " bytes of it";
        const std::string verdict = ok ? "not checked: a key is needed (-k KEY, -K KEYFILE or --key-env NAME)"
                                       : "FAILED (" + reason + ")";
        printf("kind:            container\n"
               "magic:           %s\n"
               "prefix:          %s\n"
               "label length:    %s\n"
               "sublabel length: %s\n"
               "length:          %s\n"
               "container:       %s\n"
               "in the file:     %s\n"
               "verdict:         %s\n",
               velkor_text::quote_text(info.magic).c_str(),
               have_l1 ? prefix : "-", number(have_l1, st.label_len, " (with its NUL)").c_str(),
               number(have_l2, st.sublabel_len, " (with its NUL)").c_str(),
               number(have_d, st.data_length).c_str(), number(have_d, whole, " bytes").c_str(),
               in_file.c_str(), verdict.c_str());
    }
    return ok ? 0 : 1;
}

// A tagged file (it starts with "bgn") is described with no key, and a
// container by its header alone when no key is given.
int run_info(const command *cmd, const settings &s)
{
    const bool have_key = has_key(s);
    const char *path = s.operands[0];
    velkor_io::input in;
    open_input(in, path);
    const std::vector<std::string> keys =
        have_key ? load_keys(cmd, s, std::span(&in.id(), 1)) : std::vector<std::string>();
    uint8_t head[VELKOR_TAG_HEADER_LEN];
    const ssize_t n = in.read(head, sizeof head);
    if (n < 0)
        err(1, "%s", path);
    const auto len = static_cast<size_t>(n);
    if (len >= 3 && memcmp(head, "bgn", 3) == 0) {
        const tag_report r = check_tagged_rest(in, head, len, nullptr, s.padded);
        if (r.unreadable)
            fail(path, r.reason);
        return info_tagged(s, r);
    }
    if (!have_key)
        return info_keyless(s, in, path, head, len);
    uint8_t header[ENC_MAX_HEADER_LEN];
    const uint8_t *first = head;
    size_t have = len;
    size_t k = 0;
    if (keys.size() > 1) {
        k = choose_key(s, keys, in, path, head, have, header);
        first = header;
    }
    const enc_info info = read_container_from(s, keys[k], in, path, first, have,
                                              {[](const velkor_io::file_id &) {},
                                               [](const uint8_t *, size_t) {}});
    info_container(s, info, k + 1);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        usage_error(nullptr, "missing command");
    const char *name = argv[1];
    if (strcmp(name, "--help") == 0 || strcmp(name, "-h") == 0)
        print_help();
    if (strcmp(name, "--version") == 0)
        print_version();
    const command *cmd = find_command(name);
    if (cmd == nullptr) {
        const std::string shown = velkor_text::plain_text(name);
        if (name[0] == '-')
            usage_error(nullptr, "unknown option '%s'", shown.c_str());
        usage_error(nullptr, "unknown command '%s'", shown.c_str());
    }
    const settings s = parse_command_line(cmd, argc, argv);
    velkor_io::setup_exit_and_signals();

    int status = 0;
    switch (cmd->id) {
    case cmd_check: status = run_check(s); break;
    case cmd_untag: status = run_untag(cmd, s); break;
    case cmd_tag: status = run_tag(cmd, s); break;
    case cmd_pack: status = run_pack(cmd, s); break;
    case cmd_unpack: status = run_unpack(cmd, s); break;
    case cmd_info: status = run_info(cmd, s); break;
    case cmd_scan: status = velkor_scan_cmd::run_scan(cmd, s); break;
    }
    finish_stdout();
    return status;
}
