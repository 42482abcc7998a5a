// SPDX-License-Identifier: MIT
// Small helpers shared by the tests: scratch directories, whole-file I/O
// and running a program with its output captured.  testutil.cpp has what
// every system runs; what needs POSIX (fork, users, device nodes, limits,
// signals) is in testutil_posix.cpp and declared here for POSIX systems
// only, so a test that uses it cannot be built for Windows by mistake;
// testutil_windows.cpp runs programs on Windows.
// Paths are strings: UTF-8 on Windows, bytes elsewhere.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace testutil {

using bytes = std::vector<uint8_t>;

// A path as the tests spell it, for std::filesystem: on Windows the string
// is UTF-8 whatever the code page (as the library takes names there).
std::filesystem::path fs_path(const std::string &path);

// A fresh directory under $TMPDIR (or /tmp), removed with its content.
class scratch_dir {
public:
    scratch_dir();
    ~scratch_dir();
    scratch_dir(const scratch_dir &) = delete;
    scratch_dir &operator=(const scratch_dir &) = delete;
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }
    // Names of the entries in the directory, sorted.
    std::vector<std::string> entries() const;

private:
    std::string path_;
};

// Names of the entries in a directory, sorted.
std::vector<std::string> entries_of(const std::string &dir);

// The system's description of an error number, as err(3) prints it.
std::string sys_msg(int err);

bytes read_file(const std::string &path);
void write_file(const std::string &path, const bytes &data);
bool exists(const std::string &path);
bytes random_bytes(size_t n, uint32_t seed);
bytes to_bytes(const std::string &s);

// The tagged file of payload, made with the library as bgntag makes it
// (golden_test and stream_test hold bgntag to the same bytes): cheaper
// than starting a program per file, which costs seconds under an emulator.
bytes tagged(const bytes &payload);

// Forged tagged headers back to back, each claiming the rest of the
// image (or, with `claim`, that many bytes), as big-endian lengths.
bytes forged_headers(size_t count, uint32_t claim = 0);

// The device that reads as empty and takes any write: /dev/null, or NUL.
#if defined(_WIN32)
inline constexpr const char null_device[] = "NUL";
#else
inline constexpr const char null_device[] = "/dev/null";
#endif

// Whether the programs under test were built with the sanitizers, whose
// own handlers take the faults (SIGSEGV, SIGBUS) and end the program their
// way.
bool sanitized();

struct result {
    int status = -1; // exit status, or 128 + signal (on Windows the exit code)
    std::string out;
    std::string err;
};

#if defined(_WIN32)

// Nothing can run in a Windows child before it starts (there is no fork):
// this stands where POSIX systems take a function to run there, so that
// run(argv, {}, &input) builds for both, and anything but {} for none.
struct no_setup {};

// Run argv[0] with the given arguments, through CreateProcessW with the
// arguments quoted as the C run-time splits them.  Standard input is NUL,
// or a pipe that delivers `input` and ends.
result run(const std::vector<std::string> &argv, no_setup = {}, const bytes *input = nullptr);

// Sets `name` to `value` (or, when null, removes it) in the environment
// that the programs this process runs inherit.
void set_env(const std::string &name, const char *value);

} // namespace testutil

// The POSIX calls the tests make that Windows' C run-time lacks or has
// narrower, in the same names, for UTF-8 names: a directory (the mode is
// not Windows'), and a file's length set past 4 GiB, sparse where the file
// system allows.
int mkdir(const char *path, unsigned mode);
int truncate(const char *path, int64_t length);

namespace testutil {

#else

// A node for the full device (writes fail with ENOSPC) inside `dir`: a
// private twin of /dev/full, so that a faulty build can never remove or
// replace the system's node.  Empty where no device node can be made (not
// root): the caller skips.
std::string full_device(const scratch_dir &dir);

// The user id the tests drop to when permission bits must apply.
constexpr unsigned unprivileged_id = 65534;

// In a child: give up root (supplementary groups first, then group, then
// user) so that permission bits bind; does nothing when not root.  Exits
// the child with status 126 if a step fails.
void drop_privileges();

// Hands a path to unprivileged_id when we are root (so a dropped child may
// use it); does nothing otherwise.
void give_away(const std::string &path);

// Run argv[0] with the given arguments (no shell).  `in_child`, if set, runs
// in the child just before exec: for rlimits, signal dispositions, user ids.
// Standard input is /dev/null, or a pipe that delivers `input` and ends.
result run(const std::vector<std::string> &argv,
           const std::function<void()> &in_child = {}, const bytes *input = nullptr);

// Start argv[0] with a pipe as its standard input, its output discarded,
// and return at once: for a program to signal half-way.  The signals a
// test sends (INT, TERM, HUP, PIPE) act by default; `in_child`, if set,
// runs in the child after that, just before exec.
struct started {
    int pid = -1;
    int stdin_fd = -1; // the write end: feed it, close it to end the input
};
started start(const std::vector<std::string> &argv, const std::function<void()> &in_child = {});

// Wait for a started program: its exit status, or 128 + signal.
int wait_for(const started &s);

// Why an address-space limit (RLIMIT_AS) cannot bound the programs under
// test in this build: the sanitizers, Valgrind and an emulator reserve far
// more address space of their own.  Null when it can.
const char *address_limit_unusable();

// Why signal `sig`, sent to a program under test, cannot end it as the
// kernel would: an emulator (qemu's user mode) and Valgrind keep the
// highest real-time signal for themselves, and Valgrind ignores SIGSTKFLT
// where the kernel's default ends the process.  Null when it can.
const char *signal_not_as_the_kernels(int sig);

// In a child: limit the address space to `most` bytes, where that means
// anything (see above).
void limit_address_space(uint64_t most);

// The child-side setup for a write that must fail part-way: a file-size
// limit of `limit` bytes, with SIGXFSZ ignored so write(2) reports EFBIG.
void limit_file_size(uint64_t limit);

#endif

} // namespace testutil
