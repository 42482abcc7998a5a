// velkor scan: every tagged file and container inside each image, found by
// the library's scanner in one pass over the image, shown as lines or
// JSON, written out with --extract and drawn with --map.
//
// The image is read a piece at a time and each piece goes to the scanner;
// finds are reported as the scanner hands them out.  --extract reads a
// find back once it is reported: from the image itself when its bytes stay
// put (a regular file, a block device), otherwise from a nameless copy of
// the image made while scanning, since a pipe's bytes are gone once read.
#include "scan_cmd.h"

#include "io.h"
#include "map.h"
#include "text.h"
#include "velkor.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <string_view>

#include <err.h>
#include <unistd.h>

namespace velkor_scan_cmd {
namespace {

using velkor_cli::settings;

using velkor_io::piece;
using buffer = velkor_io::piece_buf;

// What a report and an extraction show: verified finds, and containers
// that could have been checked with a key.
bool usable(const velkor_find &f)
{
    return f.reason == VELKOR_SCAN_VERIFIED || f.reason == VELKOR_SCAN_NO_KEY;
}

std::string_view field(const char *p, size_t size) { return {p, strnlen(p, size)}; }

// A label on a line, by the rule info shares.
std::string shown(std::string_view text) { return velkor_text::quote_text(text); }

// The name extracted finds of an image start with: its last component
// ("stdin" for standard input).
std::string base_name(const char *image)
{
    if (strcmp(image, "-") == 0)
        return "stdin";
    std::string_view p(image);
    while (p.size() > 1 && p.back() == '/')
        p.remove_suffix(1);
    const size_t slash = p.rfind('/');
    return std::string(slash == std::string_view::npos ? p : p.substr(slash + 1));
}

// Reads len bytes at an offset of the image (or its copy); false, with
// errno, on a failure or when the bytes are no longer there.
using read_back = std::function<bool(uint8_t *, size_t, uint64_t)>;

class scan {
public:
    scan(const velkor_cli::command *cmd, const settings &s) : s_(s)
    {
        if (velkor_cli::has_key(s)) {
            // The key is read before any image; a key file that is standard
            // input would take its line from an image given as -.
            velkor_io::file_id stdin_id;
            for (const char *image : s.operands)
                if (strcmp(image, "-") == 0)
                    stdin_id = velkor_io::id_of_fd(0);
            key_ = velkor_cli::load_key(cmd, s, stdin_id);
            have_key_ = true;
        }
        if (s.extract_dir != nullptr) {
            // Two images with one base name would write to the same names.
            std::set<std::string> seen;
            for (const char *image : s.operands)
                if (!seen.insert(base_name(image)).second)
                    velkor_cli::usage_error(cmd, "two images are named '%s': --extract would mix their finds",
                                            velkor_text::plain_text(base_name(image)).c_str());
            open_extract_dir();
        }
    }
    ~scan()
    {
        if (dir_fd_ >= 0)
            close(dir_fd_);
    }
    scan(const scan &) = delete;
    scan &operator=(const scan &) = delete;

    void image(const char *path);
    int finish();

private:
    void open_extract_dir();
    void report(const char *path, const velkor_find &f);
    void extract(const char *path, const velkor_io::file_id &image, const velkor_find &f, const read_back &at);
    void open_extracted(velkor_io::output &out, const std::string &name, const velkor_io::file_id &image);
    [[noreturn]] void changed(const char *path, const velkor_find &f);

    const settings &s_;
    std::string key_;
    bool have_key_ = false;
    int dir_fd_ = -1;
    velkor_io::output map_out_;
    velkor_map::picture map_;
    buffer buf_, back_;
    bool any_verified_ = false;
    bool failed_ = false;
};

// The directory is made if missing, walked as an output's name is, and
// then held by its descriptor: every file goes into this one directory,
// whatever happens to its name meanwhile.
void scan::open_extract_dir()
{
    const char *why = nullptr;
    dir_fd_ = velkor_io::open_directory(s_.extract_dir, true, &why);
    if (dir_fd_ < 0)
        velkor_io::fail_refused(s_.extract_dir, why);
}

// The one place an extracted file is opened: `name` within the directory.
void scan::open_extracted(velkor_io::output &out, const std::string &name, const velkor_io::file_id &image)
{
    if (!out.open_in(dir_fd_, name.c_str(), image))
        velkor_io::open_failed(out, (std::string(s_.extract_dir) + "/" + name).c_str());
}

void scan::changed(const char *path, const velkor_find &f)
{
    errx(1, "%s: the %s at 0x%08" PRIx64 " changed before it could be extracted", path,
         f.kind == VELKOR_FIND_TAGGED ? "tagged file" : "container", f.offset);
}

// Writes the find to DIR/<base>-<offset>.<kind>: a tagged file's payload, a
// container's deciphered payload, or with no key the container's bytes.
// The bytes are read back and checked once more as they are written, so a
// file changed since the scan is not passed off as the verified find.
void scan::extract(const char *path, const velkor_io::file_id &image, const velkor_find &f,
                   const read_back &at)
{
    const bool tagged = f.kind == VELKOR_FIND_TAGGED;
    char suffix[48];
    snprintf(suffix, sizeof suffix, "-%08" PRIx64 ".%s", f.offset, tagged ? "tagged" : "container");
    const std::string name = base_name(path) + suffix;
    velkor_io::output out;
    open_extracted(out, name, image);

    // From here on a failure is noted and ends the copy; it is reported
    // once the cipher table, if any, has been released.
    enum { fine, read_failed, write_failed, not_the_same } problem = fine;
    int saved = 0;
    const auto get = [&](uint8_t *p, size_t len, uint64_t off) {
        if (at(p, len, off))
            return true;
        saved = errno;
        problem = saved != 0 ? read_failed : not_the_same;
        return false;
    };
    // Copies len bytes from off, through `each` on their way out.
    const auto copy = [&](uint64_t off, uint64_t len, const std::function<void(uint8_t *, size_t)> &each) {
        while (len > 0) {
            const size_t n = len < piece ? static_cast<size_t>(len) : piece;
            if (!get(back_.p, n, off))
                return false;
            each(back_.p, n);
            if (!out.write(back_.p, n)) {
                saved = errno;
                problem = write_failed;
                return false;
            }
            off += n;
            len -= n;
        }
        return true;
    };

    if (tagged) {
        uint8_t head[VELKOR_TAG_HEADER_LEN];
        velkor_tag_info ti;
        velkor_crc_state crc;
        velkor_crc_init(&crc);
        if (get(head, sizeof head, f.offset)) {
            if (velkor_tag_parse(&ti, head, sizeof head) != VELKOR_TAG_OK || ti.length != f.length)
                problem = not_the_same;
            else if (copy(f.payload_offset, f.payload_length,
                          [&](uint8_t *p, size_t n) { velkor_crc_update(&crc, p, n); }) &&
                     velkor_tag_check_crc(&ti, head, &crc) != VELKOR_TAG_OK)
                problem = not_the_same;
        }
    } else if (!have_key_) {
        copy(f.offset, f.length, [](uint8_t *, size_t) {});
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
            uint8_t trailer[4];
            const uint64_t end = f.offset + st.header_len + st.data_length;
            if (copy(f.offset + st.header_len, st.data_length,
                     [&](uint8_t *p, size_t n) { enc_read_payload(&st, p, p, n); }) &&
                get(trailer, sizeof trailer, end)) {
                if (enc_read_finish(&st, &info, trailer) != ENC_OK)
                    problem = not_the_same;
            } else {
                enc_stream_release(&st);
            }
        }
    }

    const std::string out_path = std::string(s_.extract_dir) + "/" + name;
    switch (problem) {
    case fine:
        if (!out.commit())
            err(1, "%s", out_path.c_str());
        return;
    case read_failed:
        out.discard();
        errno = saved;
        err(1, "%s", path);
    case write_failed:
        out.discard();
        errno = saved;
        err(1, "%s", out_path.c_str());
    case not_the_same:
        out.discard();
        changed(path, f);
    }
}

void scan::report(const char *path, const velkor_find &f)
{
    if (!s_.all && !usable(f))
        return;
    const bool tagged = f.kind == VELKOR_FIND_TAGGED;
    const bool verified = f.reason == VELKOR_SCAN_VERIFIED;
    any_verified_ |= verified;
    const std::string_view magic = field(f.magic, sizeof f.magic);
    const std::string_view label = field(f.label, sizeof f.label);
    const std::string_view sublabel = field(f.sublabel, sizeof f.sublabel);
    const bool texts = !tagged && f.deciphered;

    if (s_.json) {
        using velkor_text::json_string, velkor_text::hex;
        std::string o = "{\"image\":" + json_string(path);
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

void scan::image(const char *path)
{
    velkor_io::input in;
    fflush(stdout); // the lines so far come before any message
    if (!in.open(path)) {
        warn("%s", path);
        failed_ = true;
        return;
    }
    // A pipe's bytes are kept for --extract in a nameless file: the cost
    // is the image's size on TMPDIR's file system, for as long as the scan
    // of this image runs.
    int spool = -1;
    if (s_.extract_dir != nullptr && !in.rereadable()) {
        spool = velkor_io::anonymous_file();
        if (spool < 0)
            err(1, "temporary file");
    }
    const read_back at = [&](uint8_t *p, size_t len, uint64_t off) {
        errno = 0;
        const ssize_t n = spool >= 0 ? velkor_io::read_full_at(spool, p, len, off) : in.read_at(p, len, off);
        return n == static_cast<ssize_t>(len);
    };

    velkor_scan_options opts{};
    opts.key = have_key_ ? key_.c_str() : nullptr;
    opts.data_sized_state = s_.data_sized;
    velkor_scanner *sc = velkor_scan_new(&opts);
    if (sc == nullptr)
        errx(1, "%s: %s", path, strerror(ENOMEM));
    if (s_.map_path != nullptr)
        map_.begin_image(velkor_text::quote_name(path));

    const auto drain = [&] {
        velkor_find f;
        while (velkor_scan_next(sc, &f) > 0) {
            report(path, f);
            if (s_.extract_dir != nullptr && usable(f))
                extract(path, in.id(), f, at);
        }
    };
    uint64_t size = 0;
    ssize_t n;
    while ((n = in.read(buf_.p, piece)) > 0) {
        const auto len = static_cast<size_t>(n);
        if (spool >= 0 && !velkor_io::write_all(spool, buf_.p, len))
            err(1, "temporary file");
        if (velkor_scan_feed(sc, buf_.p, len) != 0)
            errx(1, "%s: %s", path, strerror(ENOMEM));
        size += len;
        drain();
    }
    if (n < 0) {
        // What was found so far stands; the image is a failure.
        const int e = errno;
        fflush(stdout);
        errno = e;
        warn("%s", path);
        failed_ = true;
    }
    if (velkor_scan_finish(sc) != 0)
        errx(1, "%s: %s", path, strerror(ENOMEM));
    drain();
    const uint64_t dropped = velkor_scan_dropped(sc);
    velkor_scan_free(sc);
    if (spool >= 0)
        close(spool);
    if (s_.map_path != nullptr)
        map_.end_image(size);
    // Dropped candidates may hide finds: always said when there are any.
    if (s_.all || dropped > 0) {
        fflush(stdout);
        fprintf(stderr, "%s: %s: %" PRIu64 " candidate%s dropped at the memory limit\n",
                program_invocation_short_name, path, dropped, dropped == 1 ? "" : "s");
    }
}

int scan::finish()
{
    // Opened only now: no temporary file waits beside the map while the
    // images are read, which may take long.
    if (s_.map_path != nullptr) {
        if (!map_out_.open(s_.map_path))
            velkor_io::open_failed(map_out_, s_.map_path);
        const std::string svg = map_.svg();
        if (!map_out_.write(svg.data(), svg.size()) || !map_out_.commit()) {
            map_out_.discard();
            err(1, "%s", s_.map_path);
        }
    }
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
