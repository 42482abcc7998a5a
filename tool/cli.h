// SPDX-License-Identifier: MIT
// cli.h - velkor's command line: which commands there are, the options each
// takes, usage and help.  A bad command line ends the program with status 2.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "io.h"

namespace velkor_cli {

enum command_id { cmd_check, cmd_untag, cmd_tag, cmd_pack, cmd_unpack, cmd_info, cmd_scan };

struct command {
    const char *name;
    command_id id;
    unsigned options; // which options apply
    int min_operands, max_operands;
    const char *synopsis;
};

// Where a key comes from, in the order the command line gives them.
struct key_source {
    enum kind { text, file, env, list } how; // -k, -K, --key-env, --keys
    const char *value;                       // the text, file or variable's name
};

struct settings {
    bool quiet = false;
    bool status_only = false; // check --status
    bool json = false;
    bool csv = false;         // scan --csv
    bool data_sized = false;
    bool padded = false;      // check, untag, info --padded
    std::vector<key_source> keys;
    const char *label = nullptr;
    const char *sublabel = "";
    const char *magic = "start";
    uint8_t prefix = 0;
    bool all = false;                    // scan: failed candidates too
    const char *extract_dir = nullptr;   // scan --extract
    const char *carve_dir = nullptr;     // scan --carve
    bool nested = false;                 // scan --nested
    bool max_output_set = false;         // scan --max-output
    uint64_t max_output = 0;
    bool memory_limit_set = false;       // scan --memory-limit
    uint64_t memory_limit = 0;
    bool payloads = true;                // scan: not --no-payloads
    const char *map_path = nullptr;      // scan --map
    std::vector<const char *> operands;
};

// Whether the command line gives a key, in any of the four ways.
inline bool has_key(const settings &s) { return !s.keys.empty(); }

// The command called `name`, or null.
const command *find_command(const char *name);

// Parses argv[2..] (argv[1] is the command): options and operands in any
// order, "--" ending the options.  --help and --version print and exit.
settings parse_command_line(const command *cmd, int argc, char **argv);

// What is wrong, the usage of `cmd` (or of every command when null), and
// status 2.
[[noreturn]] void usage_error(const command *cmd, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));

[[noreturn]] void print_help();
[[noreturn]] void print_version();

// Flushes standard output; a failure there is reported and ends the
// program with status 1, since what velkor prints is its result.
void finish_stdout();

// The keys, in the order the command line gives them: the text of -k,
// the variable --key-env names, the first line of a -K file, and every
// non-empty line of a --keys file (LF or CR LF ends a line).  A key that
// is empty, longer than 254 bytes or holds a NUL, an unset variable, a
// --keys file without a key, more than VELKOR_SCAN_MAX_KEYS keys, or a key
// file that is one of the `inputs`, is a command line error.  The key
// files' identities, which no output may have, go to *key_files (when
// given).  Every key file is opened through velkor_io::input, as any input
// is.
std::vector<std::string> load_keys(const command *cmd, const settings &s,
                                   std::span<const velkor_io::file_id> inputs,
                                   velkor_io::key_files *key_files = nullptr);

// The one key of a command that takes one (pack), as load_keys() reads it.
inline std::string load_key(const command *cmd, const settings &s, const velkor_io::file_id &input,
                            velkor_io::key_files *key_files = nullptr)
{
    return load_keys(cmd, s, std::span(&input, 1), key_files).at(0);
}

} // namespace velkor_cli
