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
    opt_scan = 1u << 6,      // --all, --extract, --carve, --nested, --max-output, --map
};

const command commands[] = {
    {"check", cmd_check, opt_quiet | opt_status | opt_json, 1, -1,
     "velkor check [-q | --status] [--json] FILE..."},
    {"untag", cmd_untag, 0, 2, 2, "velkor untag IN OUT"},
    {"tag", cmd_tag, 0, 2, 2, "velkor tag IN OUT"},
    {"pack", cmd_pack, opt_key | opt_label | opt_data_sized, 2, 2,
     "velkor pack (-k KEY | -K KEYFILE | --key-env NAME) -l LABEL [-s SUBLABEL]\n"
     "                   [-m start|asar1] [-p PREFIX] [--data-sized] IN OUT"},
    {"unpack", cmd_unpack, opt_key | opt_data_sized, 2, 2,
     "velkor unpack (-k KEY | -K KEYFILE | --key-env NAME) [--data-sized] IN OUT"},
    {"info", cmd_info, opt_key | opt_data_sized | opt_json, 1, 1,
     "velkor info [-k KEY | -K KEYFILE | --key-env NAME] [--data-sized] [--json] IN"},
    {"scan", cmd_scan, opt_key | opt_data_sized | opt_json | opt_scan, 1, -1,
     "velkor scan [-k KEY | -K KEYFILE | --key-env NAME] [--data-sized] [--all] [--json]\n"
     "                   [--extract DIR] [--carve DIR] [--nested] [--max-output SIZE]\n"
     "                   [--map FILE.svg] IMAGE..."},
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
    "  -l, --label LABEL      label, at most 31 bytes (pack, required)\n"
    "  -s, --sublabel TEXT    sublabel, at most 7 bytes (default empty)\n"
    "  -m, --magic MAGIC      start or asar1 (default start)\n"
    "  -p, --prefix N         first key byte, 0..255, decimal or 0x hex (default 0)\n"
    "      --data-sized       give each field a cipher table as large as the field\n"
    "      --json             check, info: print one JSON object per file;\n"
    "                         scan: one per find\n"
    "      --all              scan: report failed candidates too (and carve them)\n"
    "      --extract DIR      scan: write each find's payload to DIR (created if missing)\n"
    "      --carve DIR        scan: write each find whole, header included, to DIR\n"
    "      --nested           scan: also write finds inside a find already written\n"
    "      --max-output SIZE  scan: write at most SIZE bytes per image (K, M, G, T:\n"
    "                         binary multiples; each file counts at least 4 KiB)\n"
    "      --map FILE.svg     scan: draw the images and their finds as an SVG picture\n"
    "  -h, --help             print this help and exit\n"
    "      --version          print the version and exit\n"
    "\n"
    "FILE, IN or IMAGE may be - for standard input, OUT - for standard output.\n"
    "\n"
    "Exit status: 0 success, 1 failure, 2 bad command line.  scan: 0 when at\n"
    "least one find verified, 1 when none did or on a failure, 3 when a scan was\n"
    "incomplete (candidates dropped from an image that cannot be read again) or\n"
    "writing stopped at --max-output; 3 goes before 1 and 0.\n";

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
    case long_max_output: return opt_scan;
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
            s.key = optarg;
            break;
        case 'K':
            s.key_file = optarg;
            break;
        case long_key_env:
            s.key_env = optarg;
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
        const int sources = (s.key != nullptr) + (s.key_file != nullptr) + (s.key_env != nullptr);
        if (sources == 0 && cmd->id != cmd_info && cmd->id != cmd_scan)
            usage_error(cmd, "a key is needed (-k KEY, -K KEYFILE or --key-env NAME)");
        if (sources > 1)
            usage_error(cmd, "give the key once, with -k, -K or --key-env");
    }
    if ((cmd->options & opt_label) && s.label == nullptr)
        usage_error(cmd, "a label is needed (-l LABEL)");
    return s;
}

// The key text from -k, from the environment variable that --key-env
// names, or the first line of the -K file: the bytes before its first LF,
// less one CR that ends them (so CR LF ends a line, and so does a lone CR
// at the end of the file).  Any way, the key must hold 1 to 254 bytes and
// no NUL: an empty key is what -k "$KEY" gives when the variable is unset,
// or a key file when the command meant to write it failed.  A key that
// breaks these rules is a bad command line (status 2), wherever it came
// from.
//
// The key file is opened as every input is (io.h): "-" is a file of that
// name, -K /dev/stdin reads standard input.  It is read only as far as its
// first line can reach (254 bytes and CR LF): /dev/zero or a runaway pipe
// is refused at once.  It must not be an input: whatever the key line took
// from a shared stream would silently be missing from the payload, or the
// key line would become part of it.  Nor may it be the output, which the
// caller checks with the key file's identity, left in *key_file.
std::string load_key(const command *cmd, const settings &s, std::span<const velkor_io::file_id> inputs,
                     velkor_io::file_id *key_file)
{
    std::string key;
    std::string from; // where the key came from, for messages
    if (s.key != nullptr) {
        key = s.key;
    } else if (s.key_env != nullptr) {
        // Built piecewise: g++ 12 warns falsely on "$" + std::string.
        from = velkor_text::plain_text(s.key_env);
        from.insert(from.begin(), '$');
        from += ": ";
        if (*s.key_env == '\0' || strchr(s.key_env, '=') != nullptr)
            usage_error(cmd, "%snot a variable name", from.c_str());
        const char *value = getenv(s.key_env);
        if (value == nullptr)
            usage_error(cmd, "%sthe variable is not set", from.c_str());
        key = value;
    } else {
        from = velkor_text::plain_text(s.key_file) + ": ";
        velkor_io::input in;
        if (!in.open_file(s.key_file))
            velkor_io::fail_refused(s.key_file, in.refusal());
        for (const velkor_io::file_id &input : inputs)
            if (in.id().same(input))
                usage_error(cmd, "%sthe key file is the input file", from.c_str());
        if (key_file != nullptr)
            *key_file = in.id();
        char buf[max_key + 2];
        size_t got = 0;
        bool line_end = false;
        while (got < sizeof buf && !line_end) {
            const ssize_t n = in.read_some(buf + got, sizeof buf - got);
            if (n < 0)
                err(1, "%s", s.key_file);
            if (n == 0)
                break;
            line_end = memchr(buf + got, '\n', static_cast<size_t>(n)) != nullptr;
            got += static_cast<size_t>(n);
        }
        // No line end within reach: too long, whatever the bytes are.
        const auto *nl = static_cast<const char *>(memchr(buf, '\n', got));
        if (nl == nullptr && got == sizeof buf)
            usage_error(cmd, "%sthe key is longer than %zu bytes", from.c_str(), max_key);
        key.assign(buf, nl != nullptr ? static_cast<size_t>(nl - buf) : got);
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

} // namespace velkor_cli
