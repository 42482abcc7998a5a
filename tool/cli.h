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

struct settings {
    bool quiet = false;
    bool status_only = false; // check --status
    bool json = false;
    bool data_sized = false;
    const char *key = nullptr;
    const char *key_file = nullptr;
    const char *key_env = nullptr;       // --key-env: the variable's name
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
    const char *map_path = nullptr;      // scan --map
    std::vector<const char *> operands;
};

// Whether the command line gives a key, in any of the three ways.
inline bool has_key(const settings &s)
{
    return s.key != nullptr || s.key_file != nullptr || s.key_env != nullptr;
}

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

// The key text from -k, from the variable --key-env names, or from the -K
// file's first line (info and scan may have none: a tagged file needs no
// key); a key that is empty, longer than 254 bytes or holds a NUL, an
// unset variable, or a key file that is one of the `inputs`, is a command
// line error.  With -K,
// *key_file (when given) gets the key file's identity, which no output may
// have.
std::string load_key(const command *cmd, const settings &s, std::span<const velkor_io::file_id> inputs,
                     velkor_io::file_id *key_file = nullptr);

// The same, for a command with one input.
inline std::string load_key(const command *cmd, const settings &s, const velkor_io::file_id &input,
                            velkor_io::file_id *key_file = nullptr)
{
    return load_key(cmd, s, std::span(&input, 1), key_file);
}

} // namespace velkor_cli
