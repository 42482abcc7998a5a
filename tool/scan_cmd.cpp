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

// Where finds lie: the image itself, or the deciphered payload of a
// container opened on the way (payload finds count their offsets from
// that payload's start).  Each place has its own spans of written bytes,
// as the bytes of a payload are not those of the image.
struct place {
    const place *outer = nullptr; // null for the image
    velkor_find_info box{};       // the container, in outer's offsets
    std::string tail;             // "-%08x" for each container on the way
    uint64_t image_at = 0;        // where byte 0 of this place lies in the image
    read_back at;                 // this place's bytes
    written_spans payloads, carved;
    int plain_fd = -1;            // a payload's plaintext, made when first read
    bool plain_tried = false;

    place() = default;
    place(const place &) = delete;
    place &operator=(const place &) = delete;
    ~place()
    {
        if (plain_fd >= 0)
            close(plain_fd);
    }
    uint64_t size(uint64_t image_size) const
    {
        return outer == nullptr ? image_size : box.find.payload_length;
    }
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
    uint64_t over_memory = 0;    // finds not checked at the memory limit
    uint64_t short_memory = 0;   // payloads not scanned: the limit left too little
    uint64_t over_budget = 0;    // finds and payloads not checked at the work budget
    uint64_t too_deep = 0;       // payloads not scanned: nested too deep
    uint64_t most_needed = 0;    // the most bytes an over_memory find needs
    int passes = 0;
    bool read_error = false;     // not opened, a read failed or the image ended early
    bool stopped = false;        // the budget ran out
    bool refused_output = false; // an output name was refused
    bool failed_output = false;  // an output could not be written

    // What kept the scan from being complete, for the summary: null when
    // nothing did, else the first that applies of these, those that may
    // hide finds from the report itself coming first.
    const char *stopped_by() const
    {
        return read_error                                 ? "read error"
               : dropped > 0                              ? "dropped"
               : over_memory > 0 || short_memory > 0      ? "memory limit"
               : over_budget > 0                          ? "work budget"
               : too_deep > 0                             ? "nesting limit"
               : failed_output                            ? "failed output"
               : refused_output                           ? "refused output"
               : stopped                                  ? "budget"
                                                          : nullptr;
    }
};

// How writing one find out went.
enum class put_result { written, refused, failed };

class scan {
public:
    scan(const velkor_cli::command *cmd, const settings &s) : s_(s)
    {
        // No image may be a key file, whose line would be taken from the
        // image (standard input given as both) or read as one, nor the
        // map, which would replace it: both by any name.
        std::vector<velkor_io::file_id> images;
        for (const char *image : s.operands)
            images.push_back(velkor_io::id_of_input(image));
        // The keys are read before any image.
        keys_ = velkor_cli::load_keys(cmd, s, images, &key_files_);
        for (const std::string &k : keys_)
            key_texts_.push_back(k.c_str());
        if (s.map_path != nullptr) {
            const velkor_io::file_id map = velkor_io::id_of_output(s.map_path);
            // The map's lines would land among the finds' lines, whatever
            // name leads there.
            if (map.same(velkor_io::id_of_fd(1)))
                velkor_cli::usage_error(cmd, "the map cannot go to standard output, which has the finds");
            if (key_files_.hold(map))
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
        if (s.csv)
            fputs(csv_header, stdout);
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
    static constexpr const char *csv_header =
        "image,image_bytes,offset,kind,length,payload_offset,payload_length,verified,reason,inside,payload_of,"
        "magic,key_prefix,key,label,label_hex,sublabel,sublabel_hex,damaged_texts\r\n";

    bool have_key() const { return !keys_.empty(); }
    bool writing() const { return s_.extract_dir != nullptr || s_.carve_dir != nullptr; }
    static int open_dir(const char *path);
    void drain(image_run &im, velkor_scanner *sc, place &pl);
    void payload(image_run &im, velkor_scanner *parent, const velkor_find_info &fi, place &outer,
                 bool payload_written);
    bool plain(place &pl);
    void report(const char *path, const velkor_find_info &fi, const place &pl);
    bool write(image_run &im, const velkor_find_info &fi, place &pl);
    bool charge(image_run &im, uint64_t bytes);
    bool write_one(image_run &im, const velkor_find_info &fi, place &pl, int dir_fd, const char *dir,
                   const char *suffix, bool whole, bool check, uint64_t bytes);
    put_result put(image_run &im, const velkor_find_info &fi, place &pl, int dir_fd, const char *dir,
                   const char *suffix, bool whole, bool check, uint64_t bytes);
    void summary(const image_run &im);
    void tell_limits(const image_run &im);

    const settings &s_;
    std::vector<std::string> keys_;
    std::vector<const char *> key_texts_;
    velkor_io::key_files key_files_; // which no output may be
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

// A payload's plaintext, deciphered once, when a find inside it is first
// written, into a nameless temporary file that goes with the place: the
// container's bytes are read from the place around it and checked again
// on the way (a container changed since the scan is not passed off as
// the one verified).  False, with errno (0: the bytes are not those that
// were scanned), when that fails.
bool scan::plain(place &pl)
{
    if (pl.plain_fd >= 0)
        return true;
    if (pl.plain_tried) {
        errno = 0;
        return false;
    }
    pl.plain_tried = true;
    const velkor_find &f = pl.box.find;
    const int fd = velkor_io::anonymous_file();
    if (fd < 0)
        return false;
    uint8_t head[ENC_MAX_HEADER_LEN];
    const size_t avail = f.length < sizeof head ? static_cast<size_t>(f.length) : sizeof head;
    enc_info info{};
    info.key = keys_[pl.box.key - 1].c_str();
    info.data_sized_state = s_.data_sized;
    enc_stream st;
    bool ok = false;
    int saved = 0;
    if (pl.outer->at(head, avail, f.offset)) {
        errno = 0;
        if (enc_read_header(&st, &info, head, avail, static_cast<int64_t>(f.length)) == ENC_OK) {
            buffer b;
            uint64_t off = f.offset + st.header_len, left = st.data_length, out = 0;
            bool fine = true;
            while (fine && left > 0) {
                const size_t n = left < piece ? static_cast<size_t>(left) : piece;
                fine = pl.outer->at(b.p, n, off);
                if (fine) {
                    enc_read_payload(&st, b.p, b.p, n);
                    fine = velkor_io::write_all_at(fd, b.p, n, out);
                }
                off += n;
                out += n;
                left -= n;
            }
            uint8_t trailer[4];
            if (fine && pl.outer->at(trailer, sizeof trailer, off)) {
                errno = 0;
                ok = enc_read_finish(&st, &info, trailer) == ENC_OK;
            } else {
                enc_stream_release(&st);
            }
        }
    }
    saved = errno;
    if (!ok) {
        close(fd);
        errno = saved;
        return false;
    }
    pl.plain_fd = fd;
    return true;
}

// What a find is written as, and where:
//  --extract  a tagged file's payload, a container's deciphered payload:
//             DIR/<base>-<offset>.payload; a container not verified for
//             want of a key has no payload to give, and is written whole
//             as --carve writes it.
//  --carve    the find whole, header included, as it lies in the image:
//             <base>-<offset>.bgn (tagged) or .vc (container); with --all,
//             the others too: a container that the keys given do not open
//             (it may be sound) as .unopened.vc, damaged finds as
//             .damaged.bgn or .damaged.vc, as far as the image holds them.
// A find inside a deciphered payload is written likewise, from that
// payload's plaintext, under a name with the offset of each container on
// the way: <base>-<container>-<offset>.payload.  A file already written
// that holds a find's bytes byte for byte (a tagged payload, a container
// written whole, a deciphered payload) holds it once: the find is not
// written again unless --nested.  A verified container's deciphered
// payload is held by no file of the place it lies in, so it is always
// written.  True when that deciphered payload was written.
bool scan::write(image_run &im, const velkor_find_info &fi, place &pl)
{
    const velkor_find &f = fi.find;
    const bool tagged = f.kind == VELKOR_FIND_TAGGED;
    const bool sound = usable(f);
    const uint64_t end = f.offset + f.length;
    const bool opened = !tagged && f.reason == VELKOR_SCAN_VERIFIED && have_key();
    bool payload_written = false;
    // A container extracted whole is the very file --carve would write
    // when both name one directory: written and charged once.
    bool carved_already = false;
    if (s_.extract_dir != nullptr && sound && (s_.nested || opened || !pl.payloads.hold(f.offset, end))) {
        const bool whole = !tagged && !have_key();
        const uint64_t bytes = whole ? f.length : f.payload_length;
        const bool wrote =
            write_one(im, fi, pl, extract_fd_, s_.extract_dir, whole ? ".vc" : ".payload", whole, true, bytes);
        if (wrote && tagged)
            pl.payloads.add(f.payload_offset, end);
        else if (wrote && whole)
            pl.payloads.add(f.offset, end);
        payload_written = wrote && opened;
        if (whole && one_dir_) {
            carved_already = true;
            if (wrote)
                pl.carved.add(f.offset, end);
        }
    }
    if (s_.carve_dir != nullptr && !carved_already && (sound || s_.all) &&
        (s_.nested || !pl.carved.hold(f.offset, end))) {
        // A truncated find is carved as far as its place goes.
        const uint64_t size = pl.size(im.size);
        const uint64_t bytes = std::min(f.length, size > f.offset ? size - f.offset : 0);
        const char *suffix = sound                                   ? (tagged ? ".bgn" : ".vc")
                             : f.reason == VELKOR_SCAN_WRONG_KEY ||
                                       f.reason == VELKOR_SCAN_OVER_MEMORY ||
                                       f.reason == VELKOR_SCAN_OVER_BUDGET
                                 ? ".unopened.vc"
                             : tagged ? ".damaged.bgn"
                                      : ".damaged.vc";
        // Only a sound find holds later ones: a damaged one claiming
        // the rest of the image would hide every find after it.
        if (write_one(im, fi, pl, carve_fd_, s_.carve_dir, suffix, true, sound && f.reason == VELKOR_SCAN_VERIFIED,
                      bytes) &&
            sound)
            pl.carved.add(f.offset, end);
    }
    return payload_written;
}

// One file of a find, charged against the budget: true when it was
// written.  What was not written is given back to the budget, and noted
// for the summary.
bool scan::write_one(image_run &im, const velkor_find_info &fi, place &pl, int dir_fd, const char *dir,
                     const char *suffix, bool whole, bool check, uint64_t bytes)
{
    if (!charge(im, bytes))
        return false;
    switch (put(im, fi, pl, dir_fd, dir, suffix, whole, check, bytes)) {
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

// Writes `bytes` of the find to DIR/<base><tail>-<offset><suffix>: the
// whole find, or its payload (deciphered with the key that opened it).
// With `check`, the bytes are read back and checked once more as they are
// written, so a file changed since the scan is not passed off as the
// verified find; a damaged find is written as it is.  A name refused, or
// a file that cannot be written, is reported on standard error, one line,
// and nothing is left under the name.
put_result scan::put(image_run &im, const velkor_find_info &fi, place &pl, int dir_fd, const char *dir,
                     const char *suffix, bool whole, bool check, uint64_t bytes)
{
    const velkor_find &f = fi.find;
    char tail[64];
    snprintf(tail, sizeof tail, "-%08" PRIx64 "%s", f.offset, suffix);
    const std::string name = base_name(im.path) + pl.tail + tail;
    const std::string shown_path = std::string(dir) + "/" + name;
    velkor_io::output out;
    // What --extract writes is deciphered, or as good as (a payload in
    // the clear, a container no key opened here): for the caller alone.
    // So is anything found inside a deciphered payload.
    const mode_t mode = dir_fd == extract_fd_ || pl.outer != nullptr ? velkor_io::deciphered_mode : 0666;
    if (!out.open_in(dir_fd, name.c_str(), im.id, key_files_, mode)) {
        fflush(stdout);
        velkor_io::warn_open_failed(out, shown_path.c_str());
        return put_result::refused;
    }

    // From here on a failure is noted and ends the copy; it is reported
    // once the cipher table, if any, has been released.
    enum { fine, read_failed, write_failed, not_the_same } problem = fine;
    int saved = 0;
    const auto get = [&](uint8_t *p, size_t len, uint64_t off) {
        if (pl.at(p, len, off))
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

    if (!check || (f.kind == VELKOR_FIND_CONTAINER && fi.key == 0)) {
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
        info.key = keys_[fi.key - 1].c_str();
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
        if (pl.outer != nullptr)
            warnx("%s: the %s at 0x%08" PRIx64 " in the payload of 0x%08" PRIx64
                  " changed before it could be written out",
                  im.path, f.kind == VELKOR_FIND_TAGGED ? "tagged file" : "container", f.offset,
                  pl.box.find.offset);
        else
            warnx("%s: the %s at 0x%08" PRIx64 " changed before it could be written out", im.path,
                  f.kind == VELKOR_FIND_TAGGED ? "tagged file" : "container", f.offset);
        break;
    }
    return put_result::failed;
}

// One member of a find's record, shared by its JSON object and its CSV
// row: absent (not in the JSON object), null, a truth, a number, a text
// (bytes, shown as UTF-8) or bytes shown as hexadecimal.
struct member {
    const char *name;
    enum { absent, null, truth, number, text, hex } kind;
    uint64_t n = 0;
    std::string_view s = {};
};

void scan::report(const char *path, const velkor_find_info &fi, const place &pl)
{
    const velkor_find &f = fi.find;
    const bool tagged = f.kind == VELKOR_FIND_TAGGED;
    const bool verified = f.reason == VELKOR_SCAN_VERIFIED;
    const bool unchecked = f.reason == VELKOR_SCAN_OVER_MEMORY || f.reason == VELKOR_SCAN_OVER_BUDGET;
    any_verified_ |= verified;
    const std::string_view magic = field(f.magic, sizeof f.magic);
    const std::string_view label = field(f.label, sizeof f.label);
    const std::string_view sublabel = field(f.sublabel, sizeof f.sublabel);
    // Texts shown: a container's that the key opened, or, marked so, a
    // damaged one's that some key deciphered.
    const bool damaged = !tagged && fi.damaged_texts != 0;
    const bool texts = !tagged && (f.deciphered || damaged);
    const bool keyed = !tagged && fi.key != 0;
    char needs[96];
    snprintf(needs, sizeof needs, "needs %" PRIu64 " bytes, over the memory limit", fi.needs);
    const std::string_view reason = verified                                 ? std::string_view()
                                    : f.reason == VELKOR_SCAN_OVER_MEMORY ? std::string_view(needs)
                                                                          : velkor_scan_reason_text(f.reason);

    if (s_.json || s_.csv) {
        const bool utf8 = velkor_text::is_utf8(path);
        const member m[] = {
            {"image", member::text, 0, path},
            {"image_bytes", utf8 ? member::absent : member::hex, 0, path},
            {"offset", member::number, f.offset},
            {"kind", member::text, 0, tagged ? "tagged" : "container"},
            {"length", member::number, f.length},
            {"payload_offset", member::number, f.payload_offset},
            {"payload_length", member::number, f.payload_length},
            {"verified", unchecked ? member::null : member::truth, verified},
            {"reason", verified ? member::null : member::text, 0, reason},
            {"inside", f.inside_valid ? member::number : member::null, f.inside},
            {"payload_of", pl.outer != nullptr ? member::number : member::null, pl.box.find.offset},
            {"magic", tagged ? member::absent : member::text, 0, magic},
            {"key_prefix", tagged ? member::absent : member::number, f.key_prefix},
            {"key", tagged ? member::absent : keyed ? member::number : member::null, fi.key},
            {"label", texts ? member::text : member::absent, 0, label},
            {"label_hex", texts ? member::hex : member::absent, 0, label},
            {"sublabel", texts ? member::text : member::absent, 0, sublabel},
            {"sublabel_hex", texts ? member::hex : member::absent, 0, sublabel},
            {"damaged_texts", damaged ? member::truth : member::absent, 1},
        };
        std::string o;
        bool first = true;
        for (const member &x : m) {
            // JSON leaves absent members out; CSV keeps every column.
            if (s_.json && x.kind == member::absent)
                continue;
            if (!first)
                o += ',';
            first = false;
            if (s_.json) {
                o += '"';
                o += x.name;
                o += "\":";
            }
            switch (x.kind) {
            case member::absent:
                break;
            case member::null:
                o += s_.json ? "null" : "";
                break;
            case member::truth:
                o += x.n != 0 ? "true" : "false";
                break;
            case member::number:
                o += std::to_string(x.n);
                break;
            case member::text:
                o += s_.json ? velkor_text::json_string(x.s) : velkor_text::csv_cell(velkor_text::utf8_text(x.s));
                break;
            case member::hex:
                o += s_.json ? "\"" + velkor_text::hex(x.s) + "\"" : velkor_text::hex(x.s);
                break;
            }
        }
        if (s_.json)
            o = "{" + o + "}\n";
        else
            o += "\r\n";
        fputs(o.c_str(), stdout);
    } else {
        std::string verdict = verified                        ? std::string("verified")
                              : f.reason == VELKOR_SCAN_NO_KEY ? std::string("not verified (no key)")
                              : f.reason == VELKOR_SCAN_OVER_MEMORY
                                  ? "not checked (" + std::string(reason) + "; see --memory-limit)"
                              : f.reason == VELKOR_SCAN_OVER_BUDGET ? "not checked (" + std::string(reason) + ")"
                                                                    : "failed (" + std::string(reason) + ")";
        if (!tagged)
            verdict += ", magic " + shown(magic);
        if (keyed)
            verdict += ", key " + std::to_string(fi.key);
        if (texts)
            verdict += ", label " + shown(label) + ", sublabel " + shown(sublabel);
        if (damaged)
            verdict += " (texts of a damaged container)";
        char where[64] = "";
        if (pl.outer != nullptr)
            snprintf(where, sizeof where, "payload of 0x%08" PRIx64 ": ", pl.box.find.offset);
        printf("%s: %s%" PRIu64 " (0x%08" PRIx64 "): %s, %" PRIu64 " bytes, payload %" PRIu64 " bytes: %s",
               velkor_text::quote_name(path).c_str(), where, f.offset, f.offset, tagged ? "tagged" : "container",
               f.length, f.payload_length, verdict.c_str());
        if (f.inside_valid)
            printf(", inside 0x%08" PRIx64, f.inside);
        putchar('\n');
    }

    if (s_.map_path != nullptr) {
        // A payload's bytes lie where its ciphertext does: a find inside
        // one is drawn there, below the container that holds it.
        velkor_map::mark m;
        m.offset = pl.image_at + f.offset;
        m.length = f.length;
        m.container = !tagged;
        m.state = verified                             ? velkor_map::verdict::verified
                  : f.reason == VELKOR_SCAN_NO_KEY    ? velkor_map::verdict::no_key
                  : f.reason == VELKOR_SCAN_WRONG_KEY || unchecked ? velkor_map::verdict::not_opened
                                                                   : velkor_map::verdict::damaged;
        m.inside_valid = f.inside_valid != 0 || pl.outer != nullptr;
        m.inside = f.inside_valid ? pl.image_at + f.inside : pl.box.find.offset + (pl.outer ? pl.outer->image_at : 0);
        char what[240];
        char in_payload[64] = "";
        if (pl.outer != nullptr)
            snprintf(in_payload, sizeof in_payload, "in the payload of 0x%08" PRIx64 ": ", pl.box.find.offset);
        snprintf(what, sizeof what,
                 "%s%s at 0x%08" PRIx64 " (%" PRIu64 "), %" PRIu64 " bytes, payload %" PRIu64 ": %s", in_payload,
                 tagged ? "tagged file" : "container", f.offset, f.offset, f.length, f.payload_length,
                 std::string(verified ? "verified" : reason).c_str());
        m.what = what;
        if (keyed)
            m.what += ", key " + std::to_string(fi.key);
        if (texts)
            m.what += ", label " + shown(label) + ", sublabel " + shown(sublabel);
        if (damaged)
            m.what += " (texts of a damaged container)";
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

// Hands out the finds the scanner `sc` has ready, of the place `pl`: each
// reported and written out, and a verified container's payload scanned at
// once, so that its finds follow it (depth first).
void scan::drain(image_run &im, velkor_scanner *sc, place &pl)
{
    velkor_find_info fi;
    fi.size = sizeof fi;
    while (velkor_scan_next_info(sc, &fi) > 0) {
        const velkor_find &f = fi.find;
        const bool unchecked = f.reason == VELKOR_SCAN_OVER_MEMORY || f.reason == VELKOR_SCAN_OVER_BUDGET;
        // Finds not checked are always reported: nothing is lost unsaid.
        if (!s_.all && !usable(f) && !unchecked)
            continue;
        im.finds++;
        im.verified += f.reason == VELKOR_SCAN_VERIFIED;
        if (f.reason == VELKOR_SCAN_OVER_MEMORY) {
            im.over_memory++;
            im.most_needed = std::max(im.most_needed, fi.needs);
        }
        im.over_budget += f.reason == VELKOR_SCAN_OVER_BUDGET;
        report(im.path, fi, pl);
        const bool payload_written = writing() && write(im, fi, pl);
        if (s_.payloads && f.kind == VELKOR_FIND_CONTAINER && f.reason == VELKOR_SCAN_VERIFIED && fi.key != 0)
            payload(im, sc, fi, pl, payload_written);
    }
}

// Scans the deciphered payload of the verified container `fi` that
// `parent` handed out, feeding its scanner the outermost container's bytes
// from the image (a pipe's are still kept: the container was not yet
// handed out when they were last settled), in as many passes as it asks.
// A payload the library will not scan (nested too deep, over the work
// budget, too little memory left) is counted and told at the image's end.
void scan::payload(image_run &im, velkor_scanner *parent, const velkor_find_info &fi, place &outer,
                   bool payload_written)
{
    errno = 0;
    velkor_scanner *sc = velkor_scan_payload_new(parent, &fi);
    if (sc == nullptr) {
        switch (errno) {
        case ELOOP: im.too_deep++; break;
        case E2BIG: im.over_budget++; break;
        case ENOMEM: im.short_memory++; break;
        default: errx(1, "%s: %s", im.path, strerror(errno));
        }
        return;
    }
    place pl;
    pl.outer = &outer;
    pl.box = fi;
    char step[32];
    snprintf(step, sizeof step, "-%08" PRIx64, fi.find.offset);
    pl.tail = outer.tail + step;
    pl.image_at = outer.image_at + fi.find.payload_offset;
    pl.at = [this, &pl](uint8_t *p, size_t len, uint64_t off) {
        if (!plain(pl))
            return false;
        errno = 0;
        return velkor_io::read_full_at(pl.plain_fd, p, len, off) == static_cast<ssize_t>(len);
    };
    // The deciphered payload, when written, holds every byte of this place.
    if (payload_written)
        pl.payloads.add(0, fi.find.payload_length);

    uint64_t src_at = 0, src_len = 0;
    if (velkor_scan_payload_source(sc, &src_at, &src_len) != 0 || velkor_scan_set_passes(sc, 1) != 0)
        errx(1, "%s: %s", im.path, strerror(errno));
    buffer b;
    uint64_t from = 0;
    bool failed = false;
    do {
        for (uint64_t off = from; off < src_len && !failed;) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(piece, src_len - off));
            if (!im.at(b.p, n, src_at + off)) {
                const int e = errno;
                fflush(stdout);
                if (e != 0) {
                    errno = e;
                    warn("%s", im.path);
                } else {
                    warnx("%s: ended before the container at 0x%08" PRIx64 " could be read again", im.path,
                          src_at);
                }
                im.read_error = true;
                failed = true;
                break;
            }
            if (velkor_scan_feed(sc, b.p, n) != 0)
                errx(1, "%s: %s", im.path, strerror(errno));
            off += n;
            drain(im, sc, pl);
        }
        if (failed)
            break;
        if (velkor_scan_finish(sc) != 0)
            errx(1, "%s: %s", im.path, strerror(errno));
        drain(im, sc, pl);
    } while (velkor_scan_next_pass(sc, &from) == 1);
    im.dropped += velkor_scan_dropped(sc);
    velkor_scan_free(sc);
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
    // A pipe's bytes are kept for writing finds out, and for scanning the
    // payloads the keys open, only while a find may still need them.
    std::unique_ptr<pipe_bytes> kept;
    if ((writing() || (have_key() && s_.payloads)) && !again)
        kept = std::make_unique<pipe_bytes>();
    if (again)
        im.at = [&](uint8_t *p, size_t len, uint64_t off) {
            errno = 0;
            return in.read_at(p, len, off) == static_cast<ssize_t>(len);
        };
    else
        im.at = [&](uint8_t *p, size_t len, uint64_t off) { return kept && kept->read(p, len, off); };
    place top;
    top.at = im.at;

    velkor_scan_options opts{};
    opts.data_sized_state = s_.data_sized;
    if (s_.memory_limit_set)
        opts.memory_limit = static_cast<size_t>(s_.memory_limit);
    velkor_scanner *sc = velkor_scan_new_keys(key_texts_.data(), key_texts_.size(), &opts);
    if (sc == nullptr)
        errx(1, "%s: %s", path, strerror(errno));
    if ((known && velkor_scan_set_length(sc, length) != 0) || (again && velkor_scan_set_passes(sc, 1) != 0))
        errx(1, "%s: %s", path, strerror(errno));
    if (s_.map_path != nullptr)
        map_.begin_image(velkor_text::quote_name(path));

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
            drain(im, sc, top);
            if (kept && !kept->settle(velkor_scan_keep_from(sc)))
                err(1, "temporary file");
        }
        if (velkor_scan_finish(sc) != 0)
            errx(1, "%s: %s", path, strerror(errno));
        drain(im, sc, top);
    } while (!im.read_error && velkor_scan_next_pass(sc, &from) == 1);
    im.dropped += velkor_scan_dropped(sc);
    velkor_scan_free(sc);
    kept.reset();
    if (s_.map_path != nullptr)
        map_.end_image(im.size);
    tell_limits(im);
    if (im.stopped_by() != nullptr)
        incomplete_ = true;
    summary(im);
}

// What kept finds from being checked, on standard error: always said, as
// it may hide finds.
void scan::tell_limits(const image_run &im)
{
    const auto plural = [](uint64_t n) { return n == 1 ? "" : "s"; };
    // Each message on a line of its own, after the lines so far.
    const auto lead = [&] {
        fflush(stdout);
        fprintf(stderr, "%s: %s: ", program_invocation_short_name, im.path);
    };
    const uint64_t limit = s_.memory_limit_set ? s_.memory_limit : VELKOR_SCAN_DEFAULT_MEMORY;
    if (im.dropped > 0) {
        lead();
        fprintf(stderr, "%" PRIu64 " candidate%s dropped at the memory limit; the scan is incomplete (%s)\n",
                im.dropped, plural(im.dropped),
                im.id.valid && (S_ISREG(im.id.mode) || S_ISBLK(im.id.mode))
                    ? "each needs more memory than the limit alone"
                    : "the image cannot be read again");
    }
    if (im.over_memory > 0) {
        lead();
        fprintf(stderr,
                "%" PRIu64 " find%s not checked: over the memory limit of %" PRIu64 " bytes (the largest needs %" PRIu64
                "; raise it with --memory-limit)\n",
                im.over_memory, plural(im.over_memory), limit, im.most_needed);
    }
    if (im.short_memory > 0) {
        lead();
        fprintf(stderr,
                "%" PRIu64 " payload%s not looked into: the memory limit of %" PRIu64
                " bytes left too little (raise it with --memory-limit)\n",
                im.short_memory, plural(im.short_memory), limit);
    }
    if (im.over_budget > 0) {
        lead();
        fprintf(stderr, "%" PRIu64 " find%s or payload%s not checked: over the work budget (%d times the image's size)\n",
                im.over_budget, plural(im.over_budget), plural(im.over_budget), VELKOR_SCAN_DEFAULT_BUDGET);
    }
    if (im.too_deep > 0) {
        lead();
        fprintf(stderr, "%" PRIu64 " payload%s not looked into: nested deeper than %d containers\n", im.too_deep,
                plural(im.too_deep), VELKOR_SCAN_MAX_LEVEL);
    }
}

int scan::finish()
{
    // Opened only now: no temporary file waits beside the map while the
    // images are read, which may take long.
    if (s_.map_path != nullptr) {
        if (!map_out_.open(s_.map_path, {}, key_files_))
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
