// SPDX-License-Identifier: MIT
// velkor scan: every tagged file and container inside each image, found by
// the library's scanner, shown as lines or JSON, written out with --extract
// and --carve, and drawn with --map.
//
// The image is read a piece at a time and each piece goes to the scanner;
// finds are reported as the scanner hands them out.  An image that can be
// read again (a regular file, a block device) is read in further passes
// for as long as the scanner had to drop candidates, so its scan is
// complete; a pipe's scan that drops candidates is incomplete, and says
// so.  Writing reads a find back once it is reported: from the image
// itself when its bytes stay put, otherwise from the bytes of the pipe
// kept while some find may still need them (pipe_bytes below).
#include "scan_cmd.h"

#include "io.h"
#include "map.h"
#include "text.h"
#include "velkor.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <err.h>
#include <unistd.h>

namespace velkor_scan_cmd {
namespace {

using velkor_cli::settings;

using velkor_io::piece;
using buffer = velkor_io::piece_buf;

// Written files count at least this much against the output budget, so a
// flood of empty finds runs it out as surely as a few large ones.
constexpr uint64_t least_charge = 4096;
// The budget without --max-output: twice the image's size and this.
constexpr uint64_t budget_slack = uint64_t{1} << 20;

// What a report and an extraction show: verified finds, and containers
// that could have been checked with a key.
bool usable(const velkor_find &f)
{
    return f.reason == VELKOR_SCAN_VERIFIED || f.reason == VELKOR_SCAN_NO_KEY;
}

std::string_view field(const char *p, size_t size) { return {p, strnlen(p, size)}; }

// A label on a line, by the rule info shares.
std::string shown(std::string_view text) { return velkor_text::quote_text(text); }

// The image's name in a JSON object: its text, and when that had to
// replace bytes that are not UTF-8, the exact bytes too.
std::string json_image(const char *path)
{
    std::string o = "\"image\":";
    o += velkor_text::json_string(path);
    if (!velkor_text::is_utf8(path)) {
        o += ",\"image_bytes\":\"";
        o += velkor_text::hex(path);
        o += '"';
    }
    return o;
}

// The name written finds of an image start with: its last component
// ("stdin" for standard input).
std::string base_name(const char *image)
{
    if (strcmp(image, "-") == 0)
        return "stdin";
    std::string_view p(image);
    while (p.size() > 1 && strchr(velkor_io::separators, p.back()) != nullptr)
        p.remove_suffix(1);
    const size_t slash = p.find_last_of(velkor_io::separators);
    return std::string(slash == std::string_view::npos ? p : p.substr(slash + 1));
}

// Reads len bytes at an offset of the image; false, with errno, on a
// failure, or with errno 0 when the bytes are not those that were scanned.
using read_back = std::function<bool(uint8_t *, size_t, uint64_t)>;

// The bytes of an image that cannot be read again (a pipe), kept only as
// long as a find still to come may need them: from the offset the scanner
// gives (velkor_scan_keep_from()) to the last byte read.  The two newest
// pieces stay in memory; older bytes that are still needed go to a
// nameless file in TMPDIR, made when first needed, whose bytes no longer
// needed are dropped by moving the rest to its start once they are at
// least as many: the file never holds more than twice the needed bytes
// and a piece.  An image whose finds resolve within a piece writes nothing.
class pipe_bytes {
public:
    pipe_bytes() = default;
    pipe_bytes(const pipe_bytes &) = delete;
    pipe_bytes &operator=(const pipe_bytes &) = delete;
    ~pipe_bytes()
    {
        if (fd_ >= 0)
            close(fd_);
    }

    // Where the next piece is to be read: the buffer of the older piece,
    // whose needed bytes settle() has put in the file.
    uint8_t *fresh() { return buf_[1 - newest_].p; }
    // The piece just read into fresh(), at offset `at` of the image.
    void took(uint64_t at, size_t len)
    {
        newest_ = 1 - newest_;
        at_[newest_] = at;
        len_[newest_] = len;
    }

    bool read(uint8_t *p, size_t len, uint64_t off)
    {
        const int older = 1 - newest_;
        while (len > 0) {
            size_t n;
            if (off >= file_at_ && off < file_end_) {
                n = static_cast<size_t>(std::min<uint64_t>(len, file_end_ - off));
                if (velkor_io::read_full_at(fd_, p, n, off - file_at_) != static_cast<ssize_t>(n)) {
                    if (errno == 0)
                        errno = EIO;
                    return false;
                }
            } else if (!from_piece(older, p, len, off, n) && !from_piece(newest_, p, len, off, n)) {
                errno = EIO; // the scanner said the bytes would not be needed
                return false;
            }
            p += n;
            off += n;
            len -= n;
        }
        return true;
    }

    // After the newest piece was scanned and its finds written: keeps the
    // older piece's bytes from `keep` on in the file, and drops from the
    // file what lies before `keep`.  False, with errno, when the file
    // fails.
    bool settle(uint64_t keep)
    {
        const int older = 1 - newest_;
        const uint64_t from = std::max(keep, at_[older]), end = at_[older] + len_[older];
        if (keep >= file_end_ && file_end_ > file_at_) {
            // Nothing in the file is needed any more.
            if (ftruncate(fd_, 0) != 0)
                return false;
            file_at_ = file_end_ = 0;
        }
        if (from < end) {
            if (fd_ < 0 && (fd_ = velkor_io::anonymous_file()) < 0)
                return false;
            if (file_end_ == file_at_)
                file_at_ = file_end_ = from;
            const uint8_t *p = buf_[older].p + (from - at_[older]);
            if (!velkor_io::write_all_at(fd_, p, static_cast<size_t>(end - from), file_end_ - file_at_))
                return false;
            file_end_ = end;
        }
        if (keep > file_at_ && file_end_ > file_at_) {
            const uint64_t dead = std::min(keep, file_end_) - file_at_, live = file_end_ - file_at_ - dead;
            if (dead >= live && !compact(dead, live))
                return false;
        }
        return true;
    }

private:
    buffer buf_[2];
    int newest_ = 0;
    uint64_t at_[2] = {0, 0};
    size_t len_[2] = {0, 0};
    int fd_ = -1;
    uint64_t file_at_ = 0, file_end_ = 0; // image offsets the file holds

    bool from_piece(int k, uint8_t *p, size_t len, uint64_t off, size_t &n) const
    {
        if (off < at_[k] || off >= at_[k] + len_[k])
            return false;
        n = static_cast<size_t>(std::min<uint64_t>(len, at_[k] + len_[k] - off));
        memcpy(p, buf_[k].p + (off - at_[k]), n);
        return true;
    }

    // Moves the last `live` bytes of the file to its start, forward a
    // piece at a time (the older piece's buffer is free once settled).
    bool compact(uint64_t dead, uint64_t live)
    {
        uint8_t *tmp = buf_[1 - newest_].p;
        for (uint64_t done = 0; done < live;) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(piece, live - done));
            if (velkor_io::read_full_at(fd_, tmp, n, dead + done) != static_cast<ssize_t>(n) ||
                !velkor_io::write_all_at(fd_, tmp, n, done)) {
                if (errno == 0)
                    errno = EIO;
                return false;
            }
            done += n;
        }
        if (ftruncate(fd_, static_cast<off_t>(live)) != 0)
            return false;
        file_at_ += dead;
        return true;
    }
};

// Spans of the image that written files hold byte for byte: a find within
// one is in that file already, and is not written again (unless
// --nested).  Finds come in order of offset, so a span that ends at or
// before a find's offset holds no later find either.
class written_spans {
public:
    bool hold(uint64_t from, uint64_t to)
    {
        std::erase_if(spans_, [from](const auto &s) { return s.second <= from; });
        return std::any_of(spans_.begin(), spans_.end(),
                           [&](const auto &s) { return s.first <= from && to <= s.second; });
    }
    void add(uint64_t from, uint64_t to) { spans_.emplace_back(from, to); }

private:
    std::vector<std::pair<uint64_t, uint64_t>> spans_;
};

// What is known and counted of the image being scanned.
struct image_run {
    const char *path;
    velkor_io::file_id id;
    read_back at;
    uint64_t size = 0;     // bytes in the image, or read so far from a pipe
    uint64_t finds = 0, verified = 0;
    uint64_t written = 0, files = 0; // against the budget
    uint64_t dropped = 0;
    int passes = 0;
    bool read_error = false;     // not opened, a read failed or the image ended early
    bool stopped = false;        // the budget ran out
    bool refused_output = false; // an output name was refused
    bool failed_output = false;  // an output could not be written
    written_spans payloads, carved;

    // What kept the scan from being complete, for the summary: null when
    // nothing did, else the first that applies of these, those that may
    // hide finds from the report itself coming first.
    const char *stopped_by() const
    {
        return read_error       ? "read error"
               : dropped > 0    ? "dropped"
               : failed_output  ? "failed output"
               : refused_output ? "refused output"
               : stopped        ? "budget"
                                : nullptr;
    }
};

// How writing one find out went.
enum class put_result { written, refused, failed };

class scan {
public:
    scan(const velkor_cli::command *cmd, const settings &s) : s_(s)
    {
        // No image may be the key file, whose line would be taken from
        // the image (standard input given as both) or read as one, nor the
        // map, which would replace it: both by any name.
        std::vector<velkor_io::file_id> images;
        for (const char *image : s.operands)
            images.push_back(velkor_io::id_of_input(image));
        if (velkor_cli::has_key(s)) {
            // The key is read before any image.
            key_ = velkor_cli::load_key(cmd, s, images, &key_id_);
            have_key_ = true;
        }
        if (s.map_path != nullptr) {
            const velkor_io::file_id map = velkor_io::id_of_output(s.map_path);
            // The map's lines would land among the finds' lines, whatever
            // name leads there.
            if (map.same(velkor_io::id_of_fd(1)))
                velkor_cli::usage_error(cmd, "the map cannot go to standard output, which has the finds");
            if (map.same(key_id_))
                velkor_cli::usage_error(cmd, "%s: the key file is the output file",
                                        velkor_text::plain_text(s.map_path).c_str());
            for (const velkor_io::file_id &image : images)
                if (map.same(image))
                    velkor_cli::usage_error(cmd, "%s: the map file is an image",
                                            velkor_text::plain_text(s.map_path).c_str());
        }
        if (writing()) {
            // Two images with one base name would write to the same names.
            std::set<std::string> seen;
            for (const char *image : s.operands)
                if (!seen.insert(base_name(image)).second)
                    velkor_cli::usage_error(cmd, "two images are named '%s': %s would mix their finds",
                                            velkor_text::plain_text(base_name(image)).c_str(),
                                            s.extract_dir != nullptr ? "--extract" : "--carve");
            extract_fd_ = open_dir(s.extract_dir);
            carve_fd_ = open_dir(s.carve_dir);
            one_dir_ = extract_fd_ >= 0 && carve_fd_ >= 0 &&
                       velkor_io::id_of_fd(extract_fd_).same(velkor_io::id_of_fd(carve_fd_));
        }
    }
    ~scan()
    {
        for (int fd : {extract_fd_, carve_fd_})
            if (fd >= 0)
                close(fd);
    }
    scan(const scan &) = delete;
    scan &operator=(const scan &) = delete;

    void image(const char *path);
    int finish();

private:
    bool writing() const { return s_.extract_dir != nullptr || s_.carve_dir != nullptr; }
    static int open_dir(const char *path);
    void report(const char *path, const velkor_find &f);
    void write(image_run &im, const velkor_find &f);
    bool charge(image_run &im, uint64_t bytes);
    bool write_one(image_run &im, const velkor_find &f, int dir_fd, const char *dir, const char *suffix,
                   bool whole, bool check, uint64_t bytes);
    put_result put(image_run &im, const velkor_find &f, int dir_fd, const char *dir, const char *suffix,
                   bool whole, bool check, uint64_t bytes);
    void summary(const image_run &im);

    const settings &s_;
    std::string key_;
    bool have_key_ = false;
    velkor_io::file_id key_id_; // of a key file, which no output may be
    int extract_fd_ = -1, carve_fd_ = -1;
    bool one_dir_ = false; // --extract and --carve name the same directory
    velkor_io::output map_out_;
    velkor_map::picture map_;
    buffer buf_, back_, plain_;
    bool any_verified_ = false;
    bool failed_ = false;
    bool incomplete_ = false;
};

// The directory is made if missing, walked as an output's name is, and
// then held by its descriptor: every file goes into this one directory,
// whatever happens to its name meanwhile.
int scan::open_dir(const char *path)
{
    if (path == nullptr)
        return -1;
    const char *why = nullptr;
    // Made for the caller alone: what lands there may be deciphered.
    const int fd = velkor_io::open_directory(path, true, 0700, &why);
    if (fd < 0)
        velkor_io::fail_refused(path, why);
    return fd;
}

// Counts `bytes` (at least least_charge) against the image's budget, or,
// when they would pass it, stops writing for the rest of the image.
bool scan::charge(image_run &im, uint64_t bytes)
{
    if (im.stopped)
        return false;
    const uint64_t budget = s_.max_output_set ? s_.max_output : 2 * im.size + budget_slack;
    const uint64_t cost = std::max(bytes, least_charge);
    if (cost <= budget && im.written <= budget - cost) {
        im.written += cost;
        im.files++;
        return true;
    }
    im.stopped = true;
    incomplete_ = true;
    fflush(stdout);
    fprintf(stderr, "%s: %s: writing stopped at the output budget of %" PRIu64 " bytes (%" PRIu64
                    " file%s written); the scan goes on\n",
            program_invocation_short_name, im.path, budget, im.files, im.files == 1 ? "" : "s");
    return false;
}

// What a find is written as, and where:
//  --extract  a tagged file's payload, a container's deciphered payload:
//             DIR/<base>-<offset>.payload; a container not verified for
//             want of a key has no payload to give, and is written whole
//             as --carve writes it.
//  --carve    the find whole, header included, as it lies in the image:
//             <base>-<offset>.bgn (tagged) or .vc (container); with --all,
//             the others too: a container that the key given does not open
//             (it may be sound) as .unopened.vc, damaged finds as
//             .damaged.bgn or .damaged.vc, as far as the image holds them.
// A file already written that holds a find byte for byte (a tagged
// payload, a container written whole) holds it once: the find is not
// written again unless --nested.
void scan::write(image_run &im, const velkor_find &f)
{
    const bool tagged = f.kind == VELKOR_FIND_TAGGED;
    const uint64_t end = f.offset + f.length;
    // A container extracted whole is the very file --carve would write
    // when both name one directory: written and charged once.
    bool carved_already = false;
    if (s_.extract_dir != nullptr && usable(f) && (s_.nested || !im.payloads.hold(f.offset, end))) {
        const bool whole = !tagged && !have_key_;
        const uint64_t bytes = whole ? f.length : f.payload_length;
        const bool wrote = write_one(im, f, extract_fd_, s_.extract_dir, whole ? ".vc" : ".payload", whole, true, bytes);
        if (wrote && tagged)
            im.payloads.add(f.payload_offset, end);
        else if (wrote && whole)
            im.payloads.add(f.offset, end);
        if (whole && one_dir_) {
            carved_already = true;
            if (wrote)
                im.carved.add(f.offset, end);
        }
    }
    if (s_.carve_dir != nullptr && !carved_already && (usable(f) || s_.all) &&
        (s_.nested || !im.carved.hold(f.offset, end))) {
        const bool sound = usable(f);
        // A truncated find is carved as far as the image goes.
        const uint64_t bytes = std::min(f.length, im.size > f.offset ? im.size - f.offset : 0);
        const char *suffix = sound                                   ? (tagged ? ".bgn" : ".vc")
                             : f.reason == VELKOR_SCAN_WRONG_KEY ? ".unopened.vc"
                             : tagged                            ? ".damaged.bgn"
                                                                 : ".damaged.vc";
        // Only a sound find holds later ones: a damaged one claiming
        // the rest of the image would hide every find after it.
        if (write_one(im, f, carve_fd_, s_.carve_dir, suffix, true, sound, bytes) && sound)
            im.carved.add(f.offset, end);
    }
}

// One file of a find, charged against the budget: true when it was
// written.  What was not written is given back to the budget, and noted
// for the summary.
bool scan::write_one(image_run &im, const velkor_find &f, int dir_fd, const char *dir, const char *suffix,
                     bool whole, bool check, uint64_t bytes)
{
    if (!charge(im, bytes))
        return false;
    switch (put(im, f, dir_fd, dir, suffix, whole, check, bytes)) {
    case put_result::written:
        return true;
    case put_result::refused:
        im.refused_output = true;
        break;
    case put_result::failed:
        im.failed_output = true;
        break;
    }
    im.written -= std::max(bytes, least_charge);
    im.files--;
    incomplete_ = true;
    return false;
}

// Writes `bytes` of the find to DIR/<base>-<offset><suffix>: the whole
// find, or its payload (deciphered with the key).  With `check`, the bytes
// are read back and checked once more as they are written, so a file
// changed since the scan is not passed off as the verified find; a damaged
// find is written as it is.  A name refused, or a file that cannot be
// written, is reported on standard error, one line, and nothing is left
// under the name.
put_result scan::put(image_run &im, const velkor_find &f, int dir_fd, const char *dir, const char *suffix,
                     bool whole, bool check, uint64_t bytes)
{
    char tail[64];
    snprintf(tail, sizeof tail, "-%08" PRIx64 "%s", f.offset, suffix);
    const std::string name = base_name(im.path) + tail;
    const std::string shown_path = std::string(dir) + "/" + name;
    velkor_io::output out;
    // What --extract writes is deciphered, or as good as (a payload in
    // the clear, a container no key opened here): for the caller alone.
    const mode_t mode = dir_fd == extract_fd_ ? velkor_io::deciphered_mode : 0666;
    if (!out.open_in(dir_fd, name.c_str(), im.id, key_id_, mode)) {
        fflush(stdout);
        velkor_io::warn_open_failed(out, shown_path.c_str());
        return put_result::refused;
    }

    // From here on a failure is noted and ends the copy; it is reported
    // once the cipher table, if any, has been released.
    enum { fine, read_failed, write_failed, not_the_same } problem = fine;
    int saved = 0;
    const auto get = [&](uint8_t *p, size_t len, uint64_t off) {
        if (im.at(p, len, off))
            return true;
        saved = errno;
        problem = saved != 0 ? read_failed : not_the_same;
        return false;
    };
    const auto put_bytes = [&](const uint8_t *p, size_t n) {
        if (out.write(p, n))
            return true;
        saved = errno;
        problem = write_failed;
        return false;
    };
    // Copies len bytes from off; `each` sees them on their way out and
    // gives what is written (the same bytes, or their plaintext).
    const auto copy = [&](uint64_t off, uint64_t len, const std::function<const uint8_t *(uint8_t *, size_t)> &each) {
        while (len > 0) {
            const size_t n = len < piece ? static_cast<size_t>(len) : piece;
            if (!get(back_.p, n, off) || !put_bytes(each(back_.p, n), n))
                return false;
            off += n;
            len -= n;
        }
        return true;
    };
    const auto as_is = [](uint8_t *p, size_t) -> const uint8_t * { return p; };

    if (!check || (f.kind == VELKOR_FIND_CONTAINER && !have_key_)) {
        copy(f.offset, bytes, as_is);
    } else if (f.kind == VELKOR_FIND_TAGGED) {
        uint8_t head[VELKOR_TAG_HEADER_LEN];
        velkor_tag_info ti;
        velkor_crc_state crc;
        velkor_crc_init(&crc);
        const auto crc_of = [&](uint8_t *p, size_t n) -> const uint8_t * {
            velkor_crc_update(&crc, p, n);
            return p;
        };
        if (get(head, sizeof head, f.offset)) {
            if (velkor_tag_parse(&ti, head, sizeof head) != VELKOR_TAG_OK || ti.length != f.length)
                problem = not_the_same;
            else if ((!whole || put_bytes(head, sizeof head)) && copy(f.payload_offset, f.payload_length, crc_of) &&
                     velkor_tag_check_crc(&ti, head, &crc) != VELKOR_TAG_OK)
                problem = not_the_same;
        }
    } else {
        uint8_t head[ENC_MAX_HEADER_LEN];
        const size_t avail = f.length < sizeof head ? static_cast<size_t>(f.length) : sizeof head;
        enc_info info{};
        info.key = key_.c_str();
        info.data_sized_state = s_.data_sized;
        enc_stream st;
        if (!get(head, avail, f.offset)) {
            // reported below
        } else if (enc_read_header(&st, &info, head, avail, static_cast<int64_t>(f.length)) != ENC_OK) {
            problem = not_the_same;
        } else {
            // The payload deciphered in place, or, written whole, a copy
            // of it deciphered beside.
            const auto decipher = [&](uint8_t *p, size_t n) -> const uint8_t * {
                enc_read_payload(&st, p, whole ? plain_.p : p, n);
                return p;
            };
            uint8_t trailer[4];
            const uint64_t end = f.offset + st.header_len + st.data_length;
            if ((!whole || put_bytes(head, st.header_len)) && copy(f.offset + st.header_len, st.data_length, decipher) &&
                get(trailer, sizeof trailer, end) && (!whole || put_bytes(trailer, sizeof trailer))) {
                if (enc_read_finish(&st, &info, trailer) != ENC_OK)
                    problem = not_the_same;
            } else {
                enc_stream_release(&st);
            }
        }
    }

    if (problem == fine) {
        if (out.commit())
            return put_result::written;
        problem = write_failed;
        saved = errno;
    }
    out.discard();
    fflush(stdout);
    switch (problem) {
    case fine:
        break;
    case read_failed:
        errno = saved;
        warn("%s", im.path);
        break;
    case write_failed:
        errno = saved;
        warn("%s", shown_path.c_str());
        break;
    case not_the_same:
        warnx("%s: the %s at 0x%08" PRIx64 " changed before it could be written out", im.path,
              f.kind == VELKOR_FIND_TAGGED ? "tagged file" : "container", f.offset);
        break;
    }
    return put_result::failed;
}

void scan::report(const char *path, const velkor_find &f)
{
    const bool tagged = f.kind == VELKOR_FIND_TAGGED;
    const bool verified = f.reason == VELKOR_SCAN_VERIFIED;
    any_verified_ |= verified;
    const std::string_view magic = field(f.magic, sizeof f.magic);
    const std::string_view label = field(f.label, sizeof f.label);
    const std::string_view sublabel = field(f.sublabel, sizeof f.sublabel);
    const bool texts = !tagged && f.deciphered;

    if (s_.json) {
        using velkor_text::json_string, velkor_text::hex;
        std::string o = "{";
        o += json_image(path);
        char num[256];
        snprintf(num, sizeof num,
                 ",\"offset\":%" PRIu64 ",\"kind\":\"%s\",\"length\":%" PRIu64 ",\"payload_offset\":%" PRIu64
                 ",\"payload_length\":%" PRIu64 ",\"verified\":%s,\"reason\":",
                 f.offset, tagged ? "tagged" : "container", f.length, f.payload_offset, f.payload_length,
                 verified ? "true" : "false");
        o += num;
        o += verified ? "null" : json_string(velkor_scan_reason_text(f.reason));
        if (f.inside_valid)
            snprintf(num, sizeof num, ",\"inside\":%" PRIu64, f.inside);
        else
            snprintf(num, sizeof num, ",\"inside\":null");
        o += num;
        if (!tagged) {
            snprintf(num, sizeof num, ",\"key_prefix\":%u", f.key_prefix);
            o += ",\"magic\":" + json_string(magic) + num;
        }
        if (texts)
            o += ",\"label\":" + json_string(label) + ",\"label_hex\":\"" + hex(label) +
                 "\",\"sublabel\":" + json_string(sublabel) + ",\"sublabel_hex\":\"" + hex(sublabel) + "\"";
        o += "}\n";
        fputs(o.c_str(), stdout);
    } else {
        std::string verdict = verified                        ? std::string("verified")
                              : f.reason == VELKOR_SCAN_NO_KEY ? std::string("not verified (no key)")
                                                               : std::string("failed (") + velkor_scan_reason_text(f.reason) + ")";
        if (!tagged)
            verdict += ", magic " + shown(magic);
        if (texts)
            verdict += ", label " + shown(label) + ", sublabel " + shown(sublabel);
        printf("%s: %" PRIu64 " (0x%08" PRIx64 "): %s, %" PRIu64 " bytes, payload %" PRIu64 " bytes: %s",
               velkor_text::quote_name(path).c_str(), f.offset, f.offset, tagged ? "tagged" : "container",
               f.length, f.payload_length, verdict.c_str());
        if (f.inside_valid)
            printf(", inside 0x%08" PRIx64, f.inside);
        putchar('\n');
    }

    if (s_.map_path != nullptr) {
        velkor_map::mark m;
        m.offset = f.offset;
        m.length = f.length;
        m.container = !tagged;
        m.state = verified ? velkor_map::verdict::verified
                  : f.reason == VELKOR_SCAN_NO_KEY ? velkor_map::verdict::no_key
                  : f.reason == VELKOR_SCAN_WRONG_KEY ? velkor_map::verdict::not_opened
                                                      : velkor_map::verdict::damaged;
        m.inside_valid = f.inside_valid != 0;
        m.inside = f.inside;
        char what[200];
        snprintf(what, sizeof what, "%s at 0x%08" PRIx64 " (%" PRIu64 "), %" PRIu64 " bytes, payload %" PRIu64 ": %s",
                 tagged ? "tagged file" : "container", f.offset, f.offset, f.length, f.payload_length,
                 velkor_scan_reason_text(f.reason));
        m.what = what;
        if (texts)
            m.what += ", label " + shown(label) + ", sublabel " + shown(sublabel);
        map_.add(m);
    }
}

void scan::summary(const image_run &im)
{
    if (!s_.json)
        return;
    const char *why = im.stopped_by();
    printf("{%s,\"kind\":\"summary\",\"bytes\":%" PRIu64 ",\"finds\":%" PRIu64 ",\"verified\":%" PRIu64
           ",\"dropped\":%" PRIu64 ",\"passes\":%d,\"complete\":%s,\"stopped\":%s}\n",
           json_image(im.path).c_str(), im.size, im.finds, im.verified, im.dropped, im.passes,
           why == nullptr ? "true" : "false", why == nullptr ? "null" : velkor_text::json_string(why).c_str());
}

void scan::image(const char *path)
{
    velkor_io::input in;
    fflush(stdout); // the lines so far come before any message
    image_run im;
    im.path = path;
    if (!in.open(path)) {
        velkor_io::warn_refused(path, in.refusal());
        failed_ = true;
        im.read_error = true;
        summary(im);
        return;
    }
    im.id = in.id();
    uint64_t length = 0;
    const bool known = in.size_known() ? (length = in.size(), true) : in.device_size(length);
    const bool again = in.rereadable();
    im.size = known ? length : 0;
    // A pipe's bytes are kept for writing finds out only while a find may
    // still need them.
    std::unique_ptr<pipe_bytes> kept;
    if (writing() && !again)
        kept = std::make_unique<pipe_bytes>();
    if (again)
        im.at = [&](uint8_t *p, size_t len, uint64_t off) {
            errno = 0;
            return in.read_at(p, len, off) == static_cast<ssize_t>(len);
        };
    else
        im.at = [&](uint8_t *p, size_t len, uint64_t off) { return kept->read(p, len, off); };

    velkor_scan_options opts{};
    opts.key = have_key_ ? key_.c_str() : nullptr;
    opts.data_sized_state = s_.data_sized;
    velkor_scanner *sc = velkor_scan_new(&opts);
    if (sc == nullptr)
        errx(1, "%s: %s", path, strerror(ENOMEM));
    if ((known && velkor_scan_set_length(sc, length) != 0) || (again && velkor_scan_set_passes(sc, 1) != 0))
        errx(1, "%s: %s", path, strerror(errno));
    if (s_.map_path != nullptr)
        map_.begin_image(velkor_text::quote_name(path));

    const auto drain = [&] {
        velkor_find f;
        while (velkor_scan_next(sc, &f) > 0) {
            if (!s_.all && !usable(f))
                continue;
            im.finds++;
            im.verified += f.reason == VELKOR_SCAN_VERIFIED;
            report(path, f);
            if (writing())
                write(im, f);
        }
    };
    uint64_t from = 0;
    do {
        im.passes++;
        uint64_t off = from;
        // A pass that holds nothing more to resolve ends early, when the
        // image's size is known (else the first pass reads on to learn it).
        while (!(known && velkor_scan_pass_done(sc) == 1)) {
            const size_t want = known ? static_cast<size_t>(std::min<uint64_t>(piece, length - off)) : piece;
            if (want == 0)
                break;
            uint8_t *p = kept ? kept->fresh() : buf_.p;
            const ssize_t n = im.passes == 1 ? in.read(p, want) : in.read_at(p, want, off);
            if (n < 0) {
                // What was found so far stands; the rest is unknown.
                const int e = errno;
                fflush(stdout);
                errno = e;
                warn("%s", path);
                im.read_error = true;
                break;
            }
            if (n == 0) {
                // The end of a pipe; a file or device of known size that
                // ends early was cut short while it was read.
                if (known) {
                    fflush(stdout);
                    warnx("%s: ended after %" PRIu64 " of its %" PRIu64 " bytes; the scan is incomplete", path,
                          off, length);
                    im.read_error = true;
                    im.size = off;
                }
                break;
            }
            const auto len = static_cast<size_t>(n);
            if (kept)
                kept->took(off, len);
            if (velkor_scan_feed(sc, p, len) != 0)
                errx(1, "%s: %s", path, strerror(errno));
            off += len;
            if (!known)
                im.size = off;
            drain();
            if (kept && !kept->settle(velkor_scan_keep_from(sc)))
                err(1, "temporary file");
        }
        if (velkor_scan_finish(sc) != 0)
            errx(1, "%s: %s", path, strerror(errno));
        drain();
    } while (!im.read_error && velkor_scan_next_pass(sc, &from) == 1);
    im.dropped = velkor_scan_dropped(sc);
    velkor_scan_free(sc);
    kept.reset();
    if (s_.map_path != nullptr)
        map_.end_image(im.size);
    // Dropped candidates may hide finds: always said.
    if (im.dropped > 0) {
        fflush(stdout);
        fprintf(stderr, "%s: %s: %" PRIu64 " candidate%s dropped at the memory limit; the scan is incomplete (%s)\n",
                program_invocation_short_name, path, im.dropped, im.dropped == 1 ? "" : "s",
                again ? "each needs more memory than the limit alone" : "the image cannot be read again");
    }
    if (im.stopped_by() != nullptr)
        incomplete_ = true;
    summary(im);
}

int scan::finish()
{
    // Opened only now: no temporary file waits beside the map while the
    // images are read, which may take long.
    if (s_.map_path != nullptr) {
        if (!map_out_.open(s_.map_path, {}, key_id_))
            velkor_io::open_failed(map_out_, s_.map_path);
        const std::string svg = map_.svg();
        if (!map_out_.write(svg.data(), svg.size()) || !map_out_.commit()) {
            map_out_.discard();
            err(1, "%s", s_.map_path);
        }
    }
    if (incomplete_)
        return 3;
    return failed_ || !any_verified_ ? 1 : 0;
}

} // namespace

int run_scan(const velkor_cli::command *cmd, const settings &s)
{
    scan sc(cmd, s);
    for (const char *image : s.operands)
        sc.image(image);
    return sc.finish();
}

} // namespace velkor_scan_cmd
