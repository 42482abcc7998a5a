// SPDX-License-Identifier: MIT
// velkor's command line: the command table, options, usage and help, and
// the key.
#include "cli.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <err.h>
#include <getopt.h>
#include <unistd.h>

#include "text.h"
#include "velkor.h"

#ifndef VELKOR_VERSION
#error "VELKOR_VERSION must be defined by the build"
#endif

namespace velkor_cli {
namespace {

constexpr size_t max_key = 254;     // the cipher's key material is 255 bytes
constexpr size_t max_label = 31;    // enc_info.label is 32 bytes with its NUL
constexpr size_t max_sublabel = 7;  // enc_info.sublabel is 8 bytes with its NUL

// Option bits, to say which command takes which option.
enum : unsigned {
    opt_quiet = 1u << 0,
    opt_key = 1u << 1,       // -k and -K
    opt_label = 1u << 2,     // -l, -s, -m, -p
    opt_data_sized = 1u << 3,
    opt_json = 1u << 4,
    opt_status = 1u << 5,
    opt_scan = 1u << 6,      // --all, --extract, --carve, --nested, --max-output, --map,
                             // --csv, --no-payloads, --memory-limit
    opt_keys = 1u << 7,      // --keys, and -k, -K, --key-env more than once
    opt_padded = 1u << 8,
};

const command commands[] = {
    {"check", cmd_check, opt_quiet | opt_status | opt_json | opt_padded, 1, -1,
     "velkor check [-q | --status] [--json] [--padded] FILE..."},
    {"untag", cmd_untag, opt_padded, 2, 2, "velkor untag [--padded] IN OUT"},
    {"tag", cmd_tag, 0, 2, 2, "velkor tag IN OUT"},
    {"pack", cmd_pack, opt_key | opt_label | opt_data_sized, 2, 2,
     "velkor pack (-k KEY | -K KEYFILE | --key-env NAME) -l LABEL [-s SUBLABEL]\n"
     "                   [-m start|asar1] [-p PREFIX] [--data-sized] IN OUT"},
    {"unpack", cmd_unpack, opt_key | opt_keys | opt_data_sized, 2, 2,
     "velkor unpack (-k KEY | -K KEYFILE | --key-env NAME | --keys FILE)... [--data-sized]\n"
     "                   IN OUT"},
    {"info", cmd_info, opt_key | opt_keys | opt_data_sized | opt_json | opt_padded, 1, 1,
     "velkor info [-k KEY | -K KEYFILE | --key-env NAME | --keys FILE]... [--data-sized]\n"
     "                   [--padded] [--json] IN"},
    {"scan", cmd_scan, opt_key | opt_keys | opt_data_sized | opt_json | opt_scan, 1, -1,
     "velkor scan [-k KEY | -K KEYFILE | --key-env NAME | --keys FILE]... [--data-sized]\n"
     "                   [--all] [--json | --csv] [--no-payloads] [--extract DIR] [--carve DIR]\n"
     "                   [--nested] [--max-output SIZE] [--memory-limit SIZE] [--map FILE.svg]\n"
     "                   IMAGE..."},
};

const char help_text[] =
    "Check and untag tagged files; pack, unpack and describe encrypted containers;\n"
    "find both inside larger images.\n"
    "\n"
    "  check     verify each tagged FILE; prints FILE: OK or FILE: FAILED (reason)\n"
    "  untag     verify IN as a tagged file and write its payload to OUT\n"
    "  tag       write IN's bytes to OUT as a tagged file, as bgntag does\n"
    "  pack      write IN's bytes to OUT as an encrypted container\n"
    "  unpack    check the container IN and write its payload to OUT\n"
    "  info      check the tagged file or container IN and print its fields\n"
    "            (a container needs the key)\n"
    "  scan      find the tagged files and containers inside each IMAGE, at any\n"
    "            offset, and report those that verify (and keyless containers)\n"
    "\n"
    "Options:\n"
    "  -q, --quiet            check: print only the files that fail\n"
    "      --status           check: print nothing, give only the exit status\n"
    "  -k, --key KEY          key text, 1 to 254 bytes; other users can read it in\n"
    "                         the process list (ps), so prefer -K or --key-env\n"
    "  -K, --key-file FILE    read the key text from the first line of FILE\n"
    "      --key-env NAME     read the key text from the environment variable NAME\n"
    "      --keys FILE        unpack, info, scan: one key per line of FILE; these\n"
    "                         and -k, -K, --key-env may be given more than once,\n"
    "                         and the keys are tried in the order given\n"
    "  -l, --label LABEL      label, at most 31 bytes (pack, required)\n"
    "  -s, --sublabel TEXT    sublabel, at most 7 bytes (default empty)\n"
    "  -m, --magic MAGIC      start or asar1 (default start)\n"
    "  -p, --prefix N         first key byte, 0..255, decimal or 0x hex (default 0)\n"
    "      --data-sized       give each field a cipher table as large as the field\n"
    "      --json             check, info: print one JSON object per file;\n"
    "                         scan: one per find\n"
    "      --padded           check, untag, info: accept fill after the tagged\n"
    "                         length, one byte (0xff or 0x00) repeated\n"
    "      --csv              scan: print the finds as CSV, a header row first\n"
    "      --all              scan: report failed candidates too (and carve them)\n"
    "      --no-payloads      scan: do not look inside the payloads a key opens\n"
    "      --extract DIR      scan: write each find's payload to DIR (created if missing)\n"
    "      --carve DIR        scan: write each find whole, header included, to DIR\n"
    "      --nested           scan: also write finds inside a find already written\n"
    "      --max-output SIZE  scan: write at most SIZE bytes per image (K, M, G, T:\n"
    "                         binary multiples; each file counts at least 4 KiB)\n"
    "      --memory-limit SIZE\n"
    "                         scan: memory for pending candidates (default 16M;\n"
    "                         K, M, G, T as for --max-output)\n"
    "      --map FILE.svg     scan: draw the images and their finds as an SVG picture\n"
    "  -h, --help             print this help and exit\n"
    "      --version          print the version and exit\n"
    "\n"
    "FILE, IN or IMAGE may be - for standard input, OUT - for standard output.\n"
    "\n"
    "Exit status: 0 success, 1 failure, 2 bad command line.  scan: 0 when at\n"
    "least one find verified, 1 when none did or on a failure, 3 when a scan was\n"
    "incomplete (candidates dropped from an image that cannot be read again, finds\n"
    "not checked at the memory limit or the work budget, payloads nested too deep)\n"
    "or writing stopped at --max-output; 3 goes before 1 and 0.\n";

void print_synopsis(FILE *f)
{
    const char *lead = "usage: ";
    for (const auto &c : commands) {
        fprintf(f, "%s%s\n", lead, c.synopsis);
        lead = "       ";
    }
    fprintf(f, "%svelkor --help | --version\n", lead);
}

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

// A byte count: decimal digits, then nothing or one of K, M, G, T (powers
// of 1024, "KiB" and the like too).
bool parse_size(const char *s, uint64_t &out)
{
    uint64_t v = 0;
    const char *p = s;
    for (; *p >= '0' && *p <= '9'; p++) {
        const auto d = static_cast<uint64_t>(*p - '0');
        if (v > (UINT64_MAX - d) / 10)
            return false;
        v = v * 10 + d;
    }
    if (p == s)
        return false;
    int shift = 0;
    if (*p != '\0') {
        const char *units = "KMGT";
        const char *u = strchr(units, *p);
        if (u == nullptr)
            return false;
        shift = 10 * static_cast<int>(u - units + 1);
        p++;
        if (strcmp(p, "iB") == 0)
            p += 2;
        if (*p != '\0')
            return false;
    }
    if (shift > 0 && v > (UINT64_MAX >> shift))
        return false;
    out = v << shift;
    return true;
}

enum {
    long_data_sized = 256,
    long_json,
    long_version,
    long_status,
    long_all,
    long_extract,
    long_map,
    long_key_env,
    long_carve,
    long_nested,
    long_max_output,
    long_keys,
    long_padded,
    long_csv,
    long_no_payloads,
    long_memory_limit,
};

const option long_options[] = {
    {"quiet", no_argument, nullptr, 'q'},
    {"key", required_argument, nullptr, 'k'},
    {"key-file", required_argument, nullptr, 'K'},
    {"key-env", required_argument, nullptr, long_key_env},
    {"label", required_argument, nullptr, 'l'},
    {"sublabel", required_argument, nullptr, 's'},
    {"magic", required_argument, nullptr, 'm'},
    {"prefix", required_argument, nullptr, 'p'},
    {"data-sized", no_argument, nullptr, long_data_sized},
    {"json", no_argument, nullptr, long_json},
    {"status", no_argument, nullptr, long_status},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, long_version},
    {"all", no_argument, nullptr, long_all},
    {"extract", required_argument, nullptr, long_extract},
    {"map", required_argument, nullptr, long_map},
    {"carve", required_argument, nullptr, long_carve},
    {"nested", no_argument, nullptr, long_nested},
    {"max-output", required_argument, nullptr, long_max_output},
    {"keys", required_argument, nullptr, long_keys},
    {"padded", no_argument, nullptr, long_padded},
    {"csv", no_argument, nullptr, long_csv},
    {"no-payloads", no_argument, nullptr, long_no_payloads},
    {"memory-limit", required_argument, nullptr, long_memory_limit},
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
    case 'k': case 'K': case long_key_env: return opt_key;
    case 'l': case 's': case 'm': case 'p': return opt_label;
    case long_data_sized: return opt_data_sized;
    case long_json: return opt_json;
    case long_status: return opt_status;
    case long_all: case long_extract: case long_map: case long_carve: case long_nested:
    case long_max_output: case long_csv: case long_no_payloads: case long_memory_limit: return opt_scan;
    case long_keys: return opt_keys;
    case long_padded: return opt_padded;
    default: return 0;
    }
}

} // namespace

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
            // A known long option given a value it does not take (--json=1,
            // --help=x) comes back as that option's value, even when that
            // value is a short option's letter: tell it by the word typed.
            const char *typed = args[optind - 1];
            if (optopt != 0 && strncmp(typed, "--", 2) == 0) {
                const std::string word(typed, strcspn(typed, "="));
                const std::string known = option_name(optopt, true);
                if (typed[word.size()] == '=' && known.compare(0, word.size(), word) == 0)
                    usage_error(cmd, "option '%s' takes no value", known.c_str());
            }
            if (optopt > 0 && optopt < 256)
                usage_error(cmd, "unknown option '-%s'",
                            velkor_text::plain_text(std::string(1, static_cast<char>(optopt))).c_str());
            usage_error(cmd, "unknown option '%s'", velkor_text::plain_text(typed).c_str());
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
            s.keys.push_back({key_source::text, optarg});
            break;
        case 'K':
            s.keys.push_back({key_source::file, optarg});
            break;
        case long_key_env:
            s.keys.push_back({key_source::env, optarg});
            break;
        case long_keys:
            s.keys.push_back({key_source::list, optarg});
            break;
        case long_padded:
            s.padded = true;
            break;
        case long_csv:
            s.csv = true;
            break;
        case long_no_payloads:
            s.payloads = false;
            break;
        case long_memory_limit:
            // The library counts in size_t; 0 would mean its default.
            if (!parse_size(optarg, s.memory_limit) || s.memory_limit == 0 || s.memory_limit > SIZE_MAX)
                usage_error(cmd, "--memory-limit '%s' is not a size from 1 byte (bytes, or a number with K, M, G or T)",
                            velkor_text::plain_text(optarg).c_str());
            s.memory_limit_set = true;
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
                usage_error(cmd, "unknown magic '%s' (use start or asar1)",
                            velkor_text::plain_text(optarg).c_str());
            s.magic = optarg;
            break;
        case 'p':
            if (!parse_prefix(optarg, s.prefix))
                usage_error(cmd, "prefix '%s' is not a number from 0 to 255 (decimal or 0x hex)",
                            velkor_text::plain_text(optarg).c_str());
            break;
        case long_data_sized:
            s.data_sized = true;
            break;
        case long_json:
            s.json = true;
            break;
        case long_status:
            s.status_only = true;
            break;
        case long_all:
            s.all = true;
            break;
        case long_extract:
            s.extract_dir = optarg;
            break;
        case long_carve:
            s.carve_dir = optarg;
            break;
        case long_nested:
            s.nested = true;
            break;
        case long_max_output:
            if (!parse_size(optarg, s.max_output))
                usage_error(cmd, "--max-output '%s' is not a size (bytes, or a number with K, M, G or T)",
                            velkor_text::plain_text(optarg).c_str());
            s.max_output_set = true;
            break;
        case long_map:
            // The finds' lines go to standard output already.
            if (strcmp(optarg, "-") == 0)
                usage_error(cmd, "the map cannot go to standard output, which has the finds");
            s.map_path = optarg;
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
        // info describes a tagged file, and a container from its header,
        // without a key; scan reports containers unverified without one.
        const size_t sources = s.keys.size();
        if (sources == 0 && cmd->id != cmd_info && cmd->id != cmd_scan)
            usage_error(cmd, (cmd->options & opt_keys) != 0
                                 ? "a key is needed (-k KEY, -K KEYFILE, --key-env NAME or --keys FILE)"
                                 : "a key is needed (-k KEY, -K KEYFILE or --key-env NAME)");
        if (sources > 1 && (cmd->options & opt_keys) == 0)
            usage_error(cmd, "give the key once, with -k, -K or --key-env");
        if (sources > VELKOR_SCAN_MAX_KEYS)
            usage_error(cmd, "at most %d keys may be given", VELKOR_SCAN_MAX_KEYS);
    }
    if (s.json && s.csv)
        usage_error(cmd, "give --json or --csv, not both");
    if ((cmd->options & opt_label) && s.label == nullptr)
        usage_error(cmd, "a label is needed (-l LABEL)");
    return s;
}

namespace {

// The bytes of a key file, at most `most` of them, read through the door
// every input takes; *more is set when the file holds more.  The file must
// not be one of the inputs.
std::string read_key_file(const command *cmd, const char *path, size_t most,
                          std::span<const velkor_io::file_id> inputs, velkor_io::key_files *key_files,
                          bool first_line, bool &more)
{
    const std::string from = velkor_text::plain_text(path) + ": ";
    velkor_io::input in;
    if (!in.open_file(path))
        velkor_io::fail_refused(path, in.refusal());
    for (const velkor_io::file_id &input : inputs)
        if (in.id().same(input))
            usage_error(cmd, "%sthe key file is the input file", from.c_str());
    if (key_files != nullptr)
        key_files->add(in.id());
    std::string got(most, '\0');
    size_t have = 0;
    bool line_end = false;
    more = false;
    // A first line needs only as much as a line end within reach: a
    // runaway pipe is not waited on for more.
    while (have < most && !(first_line && line_end)) {
        const ssize_t n = in.read_some(got.data() + have, most - have);
        if (n < 0)
            err(1, "%s", path);
        if (n == 0)
            break;
        line_end = memchr(got.data() + have, '\n', static_cast<size_t>(n)) != nullptr;
        have += static_cast<size_t>(n);
    }
    if (!first_line && have == most) {
        char one;
        const ssize_t n = in.read_some(&one, 1);
        if (n < 0)
            err(1, "%s", path);
        more = n > 0;
    }
    got.resize(have);
    return got;
}

// A key under -k's rules, wherever it came from (`from` says where, for
// messages).
void check_key(const command *cmd, const std::string &key, const std::string &from)
{
    if (key.find('\0') != std::string::npos)
        usage_error(cmd, "%sthe key contains a NUL byte", from.c_str());
    if (key.empty())
        usage_error(cmd, "%sthe key is empty", from.c_str());
    if (key.size() > max_key)
        usage_error(cmd, "%sthe key is longer than %zu bytes", from.c_str(), max_key);
}

// A --keys file's lines: one key each (LF or CR LF ends a line), empty
// lines skipped.  The file is read only as far as 64 keys with their line
// ends and a few empty lines can reach.
void list_keys(const command *cmd, const char *path, std::span<const velkor_io::file_id> inputs,
               velkor_io::key_files *key_files, std::vector<std::string> &keys)
{
    constexpr size_t most = 64 * 1024;
    const std::string from = velkor_text::plain_text(path) + ": ";
    bool more = false;
    const std::string text = read_key_file(cmd, path, most, inputs, key_files, false, more);
    if (more)
        usage_error(cmd, "%sthe key list is longer than %zu bytes", from.c_str(), most);
    size_t line_no = 0, found = 0;
    for (size_t at = 0; at < text.size();) {
        const size_t nl = text.find('\n', at);
        std::string line = text.substr(at, nl == std::string::npos ? std::string::npos : nl - at);
        at = nl == std::string::npos ? text.size() : nl + 1;
        line_no++;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        check_key(cmd, line, from + "line " + std::to_string(line_no) + ": ");
        if (keys.size() >= VELKOR_SCAN_MAX_KEYS)
            usage_error(cmd, "at most %d keys may be given", VELKOR_SCAN_MAX_KEYS);
        keys.push_back(std::move(line));
        found++;
    }
    if (found == 0)
        usage_error(cmd, "%sthe file holds no key", from.c_str());
}

} // namespace

// Each key, by its source: -k's text; the variable --key-env names; the
// first line of a -K file (the bytes before its first LF, less one CR
// that ends them, so CR LF ends a line, and so does a lone CR at the end
// of the file); every non-empty line of a --keys file.  Any way, a key
// must hold 1 to 254 bytes and no NUL: an empty key is what -k "$KEY"
// gives when the variable is unset, or a key file when the command meant
// to write it failed.  A key that breaks these rules is a bad command line
// (status 2), wherever it came from.
//
// Key files are opened as every input is (io.h): "-" is a file of that
// name, -K /dev/stdin reads standard input.  A -K file is read only as far
// as its first line can reach (254 bytes and CR LF), a --keys file only
// 64 KiB: /dev/zero or a runaway pipe is refused at once.  No key file
// may be an input: whatever the key line took from a shared stream would
// silently be missing from the payload, or the key line would become part
// of it.  Nor may it be an output, which the caller checks with the key
// files' identities, left in *key_files.
std::vector<std::string> load_keys(const command *cmd, const settings &s,
                                   std::span<const velkor_io::file_id> inputs,
                                   velkor_io::key_files *key_files)
{
    std::vector<std::string> keys;
    for (const key_source &src : s.keys) {
        std::string key;
        std::string from; // where the key came from, for messages
        switch (src.how) {
        case key_source::text:
            key = src.value;
            break;
        case key_source::env: {
            // Built piecewise: g++ 12 warns falsely on "$" + std::string.
            from = velkor_text::plain_text(src.value);
            from.insert(from.begin(), '$');
            from += ": ";
            if (*src.value == '\0' || strchr(src.value, '=') != nullptr)
                usage_error(cmd, "%snot a variable name", from.c_str());
            const char *value = getenv(src.value);
            if (value == nullptr)
                usage_error(cmd, "%sthe variable is not set", from.c_str());
            key = value;
            break;
        }
        case key_source::file: {
            from = velkor_text::plain_text(src.value) + ": ";
            bool more = false;
            const std::string line = read_key_file(cmd, src.value, max_key + 2, inputs, key_files, true, more);
            // No line end within reach: too long, whatever the bytes are.
            const size_t nl = line.find('\n');
            if (nl == std::string::npos && line.size() == max_key + 2)
                usage_error(cmd, "%sthe key is longer than %zu bytes", from.c_str(), max_key);
            key = line.substr(0, nl);
            if (!key.empty() && key.back() == '\r')
                key.pop_back();
            break;
        }
        case key_source::list:
            list_keys(cmd, src.value, inputs, key_files, keys);
            continue;
        }
        check_key(cmd, key, from);
        if (keys.size() >= VELKOR_SCAN_MAX_KEYS)
            usage_error(cmd, "at most %d keys may be given", VELKOR_SCAN_MAX_KEYS);
        keys.push_back(std::move(key));
    }
    return keys;
}

} // namespace velkor_cli
