// velkor: the library on the command line.  Checks tagged files and takes
// their payload back out, and writes, reads and describes encrypted
// containers.
//
// Exit status: 0 success, 1 failure (one "velkor: <what>: <reason>" line on
// standard error, or a FAILED line from check), 2 a bad command line.
// Inputs are read whole through the library's file helpers; outputs are
// written so that a failure never leaves a half-written regular file (see
// write_output).
#include "velkor.h"
#include "be32.h"
#include "io.h"
#include "text.h"

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <err.h>
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef VELKOR_VERSION
#error "VELKOR_VERSION must be defined by the build"
#endif

namespace {

using velkor::get_be32;
using velkor::put_be32;

// ---------------------------------------------------------------------------
// Command line

constexpr size_t max_key = 254;     // the cipher's key material is 255 bytes
constexpr size_t max_label = 31;    // enc_info.label is 32 bytes with its NUL
constexpr size_t max_sublabel = 7;  // enc_info.sublabel is 8 bytes with its NUL

enum command_id { cmd_check, cmd_untag, cmd_pack, cmd_unpack, cmd_info };

// Option bits, to say which command takes which option.
enum : unsigned {
    opt_quiet = 1u << 0,
    opt_key = 1u << 1,       // -k and -K
    opt_label = 1u << 2,     // -l, -s, -m, -p
    opt_data_sized = 1u << 3,
    opt_json = 1u << 4,
};

struct command {
    const char *name;
    command_id id;
    unsigned options;
    int min_operands, max_operands;
    const char *synopsis;
};

const command commands[] = {
    {"check", cmd_check, opt_quiet, 1, -1, "velkor check [-q] FILE..."},
    {"untag", cmd_untag, 0, 2, 2, "velkor untag IN OUT"},
    {"pack", cmd_pack, opt_key | opt_label | opt_data_sized, 2, 2,
     "velkor pack (-k KEY | -K KEYFILE) -l LABEL [-s SUBLABEL] [-m start|asar1]\n"
     "                   [-p PREFIX] [--data-sized] IN OUT"},
    {"unpack", cmd_unpack, opt_key | opt_data_sized, 2, 2,
     "velkor unpack (-k KEY | -K KEYFILE) [--data-sized] IN OUT"},
    {"info", cmd_info, opt_key | opt_data_sized | opt_json, 1, 1,
     "velkor info (-k KEY | -K KEYFILE) [--data-sized] [--json] IN"},
};

const char help_text[] =
    "Check and untag tagged files; pack, unpack and describe encrypted containers.\n"
    "\n"
    "  check     verify each tagged FILE; prints FILE: OK or FILE: FAILED (reason)\n"
    "  untag     verify IN as a tagged file and write its payload to OUT\n"
    "  pack      write IN's bytes to OUT as an encrypted container\n"
    "  unpack    check the container IN and write its payload to OUT\n"
    "  info      check the container IN and print its header fields\n"
    "\n"
    "Options:\n"
    "  -q, --quiet            check: print only the files that fail\n"
    "  -k, --key KEY          key text, 1 to 254 bytes\n"
    "  -K, --key-file FILE    read the key text from the first line of FILE\n"
    "  -l, --label LABEL      label, at most 31 bytes (pack, required)\n"
    "  -s, --sublabel TEXT    sublabel, at most 7 bytes (default empty)\n"
    "  -m, --magic MAGIC      start or asar1 (default start)\n"
    "  -p, --prefix N         first key byte, 0..255, decimal or 0x hex (default 0)\n"
    "      --data-sized       give each field a cipher table as large as the field\n"
    "      --json             info: print one JSON object\n"
    "  -h, --help             print this help and exit\n"
    "      --version          print the version and exit\n"
    "\n"
    "Exit status: 0 success, 1 failure, 2 bad command line.\n";

void print_synopsis(FILE *f)
{
    const char *lead = "usage: ";
    for (const auto &c : commands) {
        fprintf(f, "%s%s\n", lead, c.synopsis);
        lead = "       ";
    }
    fprintf(f, "%svelkor --help | --version\n", lead);
}

// A bad command line: what is wrong, the usage of the command (or of all
// of them), status 2.
[[noreturn]] void usage_error(const command *cmd, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));

[[noreturn]] void usage_error(const command *cmd, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    fprintf(stderr, "%s: ", program_invocation_short_name);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
    if (cmd != nullptr)
        fprintf(stderr, "usage: %s\n", cmd->synopsis);
    else
        print_synopsis(stderr);
    fprintf(stderr, "Try 'velkor --help' for more information.\n");
    exit(2);
}

struct settings {
    bool quiet = false;
    bool json = false;
    bool data_sized = false;
    const char *key = nullptr;
    const char *key_file = nullptr;
    const char *label = nullptr;
    const char *sublabel = "";
    const char *magic = "start";
    uint8_t prefix = 0;
    std::vector<const char *> operands;
};

// Decimal or 0x-hex, 0..255, nothing else (no sign, no spaces).
bool parse_prefix(const char *s, uint8_t &out)
{
    int base = 10;
    if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s += 2;
    }
    if (*s == '\0')
        return false;
    unsigned v = 0;
    for (; *s != '\0'; s++) {
        unsigned d;
        if (*s >= '0' && *s <= '9')
            d = static_cast<unsigned>(*s - '0');
        else if (base == 16 && *s >= 'a' && *s <= 'f')
            d = static_cast<unsigned>(*s - 'a' + 10);
        else if (base == 16 && *s >= 'A' && *s <= 'F')
            d = static_cast<unsigned>(*s - 'A' + 10);
        else
            return false;
        v = v * static_cast<unsigned>(base) + d;
        if (v > 255)
            return false;
    }
    out = static_cast<uint8_t>(v);
    return true;
}

const command *find_command(const char *name)
{
    for (const auto &c : commands)
        if (strcmp(c.name, name) == 0)
            return &c;
    return nullptr;
}

// What the program prints is its result: losing it is a failure.
void finish_stdout()
{
    if (fflush(stdout) != 0 || ferror(stdout))
        err(1, "standard output");
}

[[noreturn]] void print_help()
{
    print_synopsis(stdout);
    fputc('\n', stdout);
    fputs(help_text, stdout);
    finish_stdout();
    exit(0);
}

[[noreturn]] void print_version()
{
    printf("velkor %s\n", VELKOR_VERSION);
    finish_stdout();
    exit(0);
}

enum { long_data_sized = 256, long_json, long_version };

const option long_options[] = {
    {"quiet", no_argument, nullptr, 'q'},
    {"key", required_argument, nullptr, 'k'},
    {"key-file", required_argument, nullptr, 'K'},
    {"label", required_argument, nullptr, 'l'},
    {"sublabel", required_argument, nullptr, 's'},
    {"magic", required_argument, nullptr, 'm'},
    {"prefix", required_argument, nullptr, 'p'},
    {"data-sized", no_argument, nullptr, long_data_sized},
    {"json", no_argument, nullptr, long_json},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, long_version},
    {nullptr, 0, nullptr, 0},
};

// The option as the user wrote it, for messages: "-k" or "--key".
std::string option_name(int val, bool long_form)
{
    if (!long_form && val > 0 && val < 256)
        return std::string("-") + static_cast<char>(val);
    for (const option *o = long_options; o->name != nullptr; o++)
        if (o->val == val)
            return std::string("--") + o->name;
    return "?";
}

// Which commands take an option.
unsigned option_bit(int val)
{
    switch (val) {
    case 'q': return opt_quiet;
    case 'k': case 'K': return opt_key;
    case 'l': case 's': case 'm': case 'p': return opt_label;
    case long_data_sized: return opt_data_sized;
    case long_json: return opt_json;
    default: return 0;
    }
}

// argv[1] is the command; its options and operands follow in any order
// ("--" ends the options).
settings parse_command_line(const command *cmd, int argc, char **argv)
{
    settings s;
    opterr = 0;
    optind = 1;
    // Arguments are counted from the command name, so getopt skips it.
    char **args = argv + 1;
    const int nargs = argc - 1;
    for (;;) {
        int longindex = -1;
        const int c = getopt_long(nargs, args, ":qk:K:l:s:m:p:h", long_options, &longindex);
        if (c == -1)
            break;
        if (c == ':') {
            usage_error(cmd, "option '%s' needs a value",
                        option_name(optopt, optopt >= 256 || args[optind - 1][1] == '-').c_str());
        }
        if (c == '?') {
            if (optopt != 0)
                usage_error(cmd, "unknown option '-%c'", optopt);
            usage_error(cmd, "unknown option '%s'", args[optind - 1]);
        }
        if (c != 'h' && c != long_version && (cmd->options & option_bit(c)) == 0)
            usage_error(cmd, "option '%s' does not apply to %s",
                        option_name(c, longindex >= 0).c_str(), cmd->name);
        switch (c) {
        case 'h':
            print_help();
        case long_version:
            print_version();
        case 'q':
            s.quiet = true;
            break;
        case 'k':
            s.key = optarg;
            break;
        case 'K':
            s.key_file = optarg;
            break;
        case 'l':
            if (strlen(optarg) > max_label)
                usage_error(cmd, "label is longer than %zu bytes", max_label);
            s.label = optarg;
            break;
        case 's':
            if (strlen(optarg) > max_sublabel)
                usage_error(cmd, "sublabel is longer than %zu bytes", max_sublabel);
            s.sublabel = optarg;
            break;
        case 'm':
            if (strcmp(optarg, "start") != 0 && strcmp(optarg, "asar1") != 0)
                usage_error(cmd, "unknown magic '%s' (use start or asar1)", optarg);
            s.magic = optarg;
            break;
        case 'p':
            if (!parse_prefix(optarg, s.prefix))
                usage_error(cmd, "prefix '%s' is not a number from 0 to 255 (decimal or 0x hex)",
                            optarg);
            break;
        case long_data_sized:
            s.data_sized = true;
            break;
        case long_json:
            s.json = true;
            break;
        }
    }
    for (int k = optind; k < nargs; k++)
        s.operands.push_back(args[k]);

    const int n = static_cast<int>(s.operands.size());
    if (n < cmd->min_operands)
        usage_error(cmd, "missing operand");
    if (cmd->max_operands >= 0 && n > cmd->max_operands)
        usage_error(cmd, "too many operands");
    if (cmd->options & opt_key) {
        if (s.key == nullptr && s.key_file == nullptr)
            usage_error(cmd, "a key is needed (-k KEY or -K KEYFILE)");
        if (s.key != nullptr && s.key_file != nullptr)
            usage_error(cmd, "give the key once, with -k or with -K");
    }
    if ((cmd->options & opt_label) && s.label == nullptr)
        usage_error(cmd, "a label is needed (-l LABEL)");
    return s;
}

// ---------------------------------------------------------------------------
// Files

// A malloc'ed byte buffer that frees itself.
struct heap_buf {
    uint8_t *p = nullptr;
    heap_buf() = default;
    heap_buf(const heap_buf &) = delete;
    heap_buf &operator=(const heap_buf &) = delete;
    ~heap_buf() { free(p); }
    // At least one byte, so that an empty file still has a valid pointer.
    bool alloc(size_t n) { return (p = static_cast<uint8_t *>(malloc(n ? n : 1))) != nullptr; }
};

// The size of the regular file at path, or "" replaced by the reason it
// cannot be used as an input.  Only regular files report their length:
// a pipe or device would be taken silently for an empty file.
std::string input_size(const char *path, uint64_t &size)
{
    struct stat st;
    if (stat(path, &st) != 0)
        return strerror(errno);
    if (S_ISDIR(st.st_mode))
        return strerror(EISDIR);
    if (!S_ISREG(st.st_mode))
        return "not a regular file";
    size = static_cast<uint64_t>(st.st_size);
    return "";
}

// Read the first len bytes of path; "" or the reason.
std::string read_input(const char *path, uint8_t *buf, size_t len)
{
    if (read_file_to_buf(path, buf, len) == 0)
        return "";
    // The helper leaves errno 0 when the file simply held fewer bytes.
    return errno != 0 ? strerror(errno) : "unexpected end of file";
}

// Load the whole regular file at path into buf, with `before` spare bytes in
// front and `after` behind.  Exits with status 1 on failure.
uint64_t load_input(const char *path, heap_buf &buf, size_t before, size_t after,
                    uint64_t limit, const char *limit_what)
{
    uint64_t size = 0;
    std::string why = input_size(path, size);
    if (!why.empty())
        errx(1, "%s: %s", path, why.c_str());
    if (size > limit)
        errx(1, "%s: too large for %s (%" PRIu64 " bytes, at most %" PRIu64 ")", path,
             limit_what, size, limit);
    if (size > SIZE_MAX - before - after) {
        errno = ENOMEM;
        err(1, "%s", path);
    }
    if (!buf.alloc(before + static_cast<size_t>(size) + after))
        err(1, "%s", path);
    why = read_input(path, buf.p + before, static_cast<size_t>(size));
    if (!why.empty())
        errx(1, "%s: %s", path, why.c_str());
    return size;
}

// Write len bytes to path: a regular file is replaced whole or not at
// all, standard output and special files are written in place (io.h).
// Exits with status 1 on failure.
void write_output(const char *path, const uint8_t *buf, size_t len)
{
    velkor_io::output o;
    if (!o.open(path)) {
        if (o.failed_beside())
            errx(1, "%s: cannot write a temporary file beside it: %s", path, strerror(errno));
        err(1, "%s", path);
    }
    if (!o.write(buf, len) || !o.commit()) {
        o.discard();
        err(1, "%s", path);
    }
}

// ---------------------------------------------------------------------------
// Tagged files

constexpr size_t tag_header = 20;

// Verify the tagged file at path; "" when it is sound, else the reason.  On
// success buf holds the whole file and size its length.  The header is read
// alone first, so a file that is plainly not tagged is never loaded.
std::string verify_tagged(const char *path, heap_buf &buf, uint64_t &size)
{
    std::string why = input_size(path, size);
    if (!why.empty())
        return why;
    char text[160];
    if (size < tag_header) {
        snprintf(text, sizeof text, "not a tagged file: %" PRIu64 " bytes, shorter than the 20-byte header",
                 size);
        return text;
    }
    uint8_t head[tag_header];
    why = read_input(path, head, tag_header);
    if (!why.empty())
        return why;
    if (memcmp(head, "bgn", 3) != 0)
        return "not a tagged file";
    if (head[11] != 0xB1) {
        snprintf(text, sizeof text, "wrong format byte 0x%02X, expected 0xB1", head[11]);
        return text;
    }
    const uint32_t length = get_be32(head + 12);
    if (length != size) {
        snprintf(text, sizeof text, "length field says %" PRIu32 " but the file has %" PRIu64
                 " bytes", length, size);
        return text;
    }
    // size equals a 32-bit field here, so it fits in memory's size type.
    if (!buf.alloc(length))
        return strerror(errno);
    why = read_input(path, buf.p, length);
    if (!why.empty())
        return why;
    const uint32_t stored = get_be32(buf.p + 16);
    put_be32(buf.p + 16, 0);
    const uint32_t computed = velkor_crc(buf.p, length);
    put_be32(buf.p + 16, stored);
    if (computed != stored) {
        snprintf(text, sizeof text, "CRC mismatch: stored 0x%08" PRIX32 ", computed 0x%08" PRIX32,
                 stored, computed);
        return text;
    }
    return "";
}

int run_check(const settings &s)
{
    int status = 0;
    for (const char *path : s.operands) {
        heap_buf buf;
        uint64_t size = 0;
        std::string why = verify_tagged(path, buf, size);
        if (why.empty()) {
            if (!s.quiet)
                printf("%s: OK\n", velkor_text::quote_name(path).c_str());
        } else {
            printf("%s: FAILED (%s)\n", velkor_text::quote_name(path).c_str(), why.c_str());
            status = 1;
        }
    }
    return status;
}

int run_untag(const settings &s)
{
    const char *in = s.operands[0];
    heap_buf buf;
    uint64_t size = 0;
    std::string why = verify_tagged(in, buf, size);
    if (!why.empty())
        errx(1, "%s: %s", in, why.c_str());
    write_output(s.operands[1], buf.p + tag_header, static_cast<size_t>(size) - tag_header);
    return 0;
}

// ---------------------------------------------------------------------------
// Containers

// The key text from -k, or the first line of the -K file without its line
// end (LF or CR LF).  Either way the key must hold 1 to 254 bytes and no
// NUL: an empty key is what -k "$KEY" gives when the variable is unset, or
// a key file when the command meant to write it failed.  A key that breaks
// these rules is a bad command line (status 2), wherever it came from.
std::string load_key(const command *cmd, const settings &s)
{
    std::string key;
    std::string from; // where a key file's key came from, for messages
    if (s.key != nullptr) {
        key = s.key;
    } else {
        from = std::string(s.key_file) + ": ";
        FILE *f = fopen(s.key_file, "r");
        if (f == nullptr)
            err(1, "%s", s.key_file);
        char *line = nullptr;
        size_t cap = 0;
        errno = 0;
        const ssize_t n = getline(&line, &cap, f);
        const int saved = errno;
        fclose(f);
        if (n < 0 && saved != 0) {
            free(line);
            errx(1, "%s: %s", s.key_file, strerror(saved));
        }
        if (n > 0)
            key.assign(line, static_cast<size_t>(n));
        free(line);
        if (!key.empty() && key.back() == '\n')
            key.pop_back();
        if (!key.empty() && key.back() == '\r')
            key.pop_back();
        if (key.find('\0') != std::string::npos)
            usage_error(cmd, "%sthe key contains a NUL byte", from.c_str());
    }
    if (key.empty())
        usage_error(cmd, "%sthe key is empty", from.c_str());
    if (key.size() > max_key)
        usage_error(cmd, "%sthe key is longer than %zu bytes", from.c_str(), max_key);
    return key;
}

int run_pack(const command *cmd, const settings &s)
{
    const std::string key = load_key(cmd, s);
    enc_info info{};
    info.key = key.c_str();
    strcpy(info.magic, s.magic);
    strcpy(info.label, s.label);
    strcpy(info.sublabel, s.sublabel);
    info.key_prefix = s.prefix;
    info.data_sized_state = s.data_sized;

    // The payload is read straight into place behind the header; the
    // buffer's extra bytes hold the checksum.
    const char *in = s.operands[0];
    const size_t header = enc_compute_header_len(info.label, info.sublabel);
    heap_buf buf;
    const uint64_t size = load_input(in, buf, header, 4, UINT32_MAX, "a container");
    info.data_length = static_cast<uint32_t>(size);
    uint8_t *data = buf.p + header;
    info.checksum = velkor_csum(info.data_length, data, info.data_length);
    // The command line has been checked, so only the cipher's allocation
    // can fail here.
    if (encrypt_buf(&info, buf.p, data) != 0)
        errx(1, "%s: %s", in, strerror(ENOMEM));
    write_output(s.operands[1], buf.p, header + info.data_length + 4);
    return 0;
}

// What is wrong with the container's layout, or "" if the lengths hold
// together.  Mirrors the reader's checks so that the usual mistakes (not a
// container, a cut-off file) get their own words; decrypt_buf then reports
// only what it alone can know.
std::string container_layout(const uint8_t *b, uint64_t n)
{
    if (n < 6 || (memcmp(b, "start", 6) != 0 && memcmp(b, "asar1", 6) != 0))
        return "not a container (no start or asar1 magic)";
    if (n < 11)
        return "damaged container (cut off in the header)";
    char text[120];
    const uint32_t l1 = get_be32(b + 7);
    if (l1 == 0 || l1 > 32) {
        snprintf(text, sizeof text, "damaged container (label length %" PRIu32 ", not 1..32)", l1);
        return text;
    }
    uint64_t r = n - 11;
    if (r < l1 + 4u)
        return "damaged container (cut off in the header)";
    r -= l1;
    const uint32_t l2 = get_be32(b + 11 + l1);
    r -= 4;
    if (l2 == 0 || l2 > 8) {
        snprintf(text, sizeof text, "damaged container (sublabel length %" PRIu32 ", not 1..8)",
                 l2);
        return text;
    }
    if (r < l2 + 4u)
        return "damaged container (cut off in the header)";
    r -= l2;
    const uint32_t d = get_be32(b + 15 + l1 + l2);
    r -= 4;
    if (r < d + UINT64_C(4)) {
        snprintf(text, sizeof text,
                 "damaged container (payload of %" PRIu32 " bytes and its checksum run past the "
                 "end of the file)", d);
        return text;
    }
    return "";
}

// Read and check the container IN; on return buf holds the payload at its
// start and info the header fields.
void open_container(const settings &s, const std::string &key, heap_buf &buf, enc_info &info)
{
    const char *in = s.operands[0];
    const uint64_t size = load_input(in, buf, 0, 0, INT64_MAX, "a container");
    std::string why = container_layout(buf.p, size);
    if (!why.empty())
        errx(1, "%s: %s", in, why.c_str());
    info.key = key.c_str();
    info.data_sized_state = s.data_sized;
    if (decrypt_buf(&info, buf.p, static_cast<int64_t>(size)) != 0)
        errx(1, "%s: checksum mismatch (wrong key, wrong --data-sized setting or damaged container)",
             in);
}

int run_unpack(const command *cmd, const settings &s)
{
    const std::string key = load_key(cmd, s);
    heap_buf buf;
    enc_info info{};
    open_container(s, key, buf, info);
    write_output(s.operands[1], buf.p, info.data_length);
    return 0;
}

int run_info(const command *cmd, const settings &s)
{
    const std::string key = load_key(cmd, s);
    heap_buf buf;
    enc_info info{};
    open_container(s, key, buf, info);
    // decrypt_buf guarantees both texts end within their fields.
    const std::string_view label(info.label), sublabel(info.sublabel), magic(info.magic);
    using velkor_text::json_string, velkor_text::plain_text, velkor_text::hex;
    if (s.json) {
        printf("{\"magic\":%s,\"prefix\":%u,\"label\":%s,\"label_hex\":\"%s\","
               "\"sublabel\":%s,\"sublabel_hex\":\"%s\",\"length\":%" PRIu32
               ",\"checksum\":%" PRIu32 "}\n",
               json_string(magic).c_str(), info.key_prefix, json_string(label).c_str(),
               hex(label).c_str(), json_string(sublabel).c_str(), hex(sublabel).c_str(),
               info.data_length, info.checksum);
    } else {
        printf("magic:    %s\n"
               "prefix:   0x%02x\n"
               "label:    %s\n"
               "sublabel: %s\n"
               "length:   %" PRIu32 "\n"
               "checksum: 0x%08" PRIx32 "\n",
               plain_text(magic).c_str(), info.key_prefix, plain_text(label).c_str(),
               plain_text(sublabel).c_str(), info.data_length, info.checksum);
    }
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
        if (name[0] == '-')
            usage_error(nullptr, "unknown option '%s'", name);
        usage_error(nullptr, "unknown command '%s'", name);
    }
    const settings s = parse_command_line(cmd, argc, argv);
    velkor_io::setup_exit_and_signals();

    int status = 0;
    switch (cmd->id) {
    case cmd_check: status = run_check(s); break;
    case cmd_untag: status = run_untag(s); break;
    case cmd_pack: status = run_pack(cmd, s); break;
    case cmd_unpack: status = run_unpack(cmd, s); break;
    case cmd_info: status = run_info(cmd, s); break;
    }
    finish_stdout();
    return status;
}
