// Small helpers shared by the tests: scratch directories, whole-file I/O
// and running a program with its output captured.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testutil {

using bytes = std::vector<uint8_t>;

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

// A node for the full device (writes fail with ENOSPC) inside `dir`: a
// private twin of /dev/full where one can be made, so that a faulty build
// cannot remove the system's node (only root can remove it, and root can
// make the twin); /dev/full itself otherwise.  Empty if there is none.
std::string full_device(const scratch_dir &dir);

bytes read_file(const std::string &path);
void write_file(const std::string &path, const bytes &data);
bool exists(const std::string &path);
bytes random_bytes(size_t n, uint32_t seed);
bytes to_bytes(const std::string &s);

struct result {
    int status = -1; // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// Run argv[0] with the given arguments (no shell).  `in_child`, if set, runs
// in the child just before exec: for rlimits, signal dispositions, user ids.
result run(const std::vector<std::string> &argv,
           const std::function<void()> &in_child = {});

// The child-side setup for a write that must fail part-way: a file-size
// limit of `limit` bytes, with SIGXFSZ ignored so write(2) reports EFBIG.
void limit_file_size(uint64_t limit);

} // namespace testutil
