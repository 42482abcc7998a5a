// SPDX-License-Identifier: MIT
// What the parts of tool/io share and nothing else sees: descriptors held
// for a scope, the walk of a name and its rule, the temporary file that a
// signal must remove, and whole writes.
#pragma once

#include "io.h"

#include <string>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velkor_io::detail {

class fd_holder {
public:
    explicit fd_holder(int fd = -1) : fd_(fd) {}
    ~fd_holder() { reset(); }
    fd_holder(const fd_holder &) = delete;
    fd_holder &operator=(const fd_holder &) = delete;
    int get() const { return fd_; }
    int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// Where a name leads.
struct walked {
    fd_holder dir;      // the directory that holds the last component (O_PATH)
    std::string name;   // that component
    fd_holder node;     // the file itself when it exists: O_PATH, or open
                        // for writing when the kernel opened a /proc link
    bool exists = false;
    bool opened = false; // node came from a /proc link, open O_WRONLY
    struct stat st {};  // node's status
    const char *why = nullptr; // set with EACCES: the rule that refused
};

enum class walk_end {
    output,    // the last component is a file to write (or to create)
    look,      // the same, but a /proc link is only looked at (O_PATH): an
               // input, or an output's identity
    directory, // the name is a directory's; "." and ".." may end it
};

// Walks `path` to the file it names, relative to `base` (a directory
// descriptor) or, when base is -1, to the working directory, by the rule
// io.h states: every entry stepped onto, the last one included, passes
// entry_refusal(), and safe transitions bound what another user's link
// leads to.  The last component need not exist (a dangling link names its
// target).
bool walk(const char *path, walked &w, walk_end end, int base = -1);

// The rule of trust (io.h) for one entry: null when `entry`, found in the
// directory `dir`, may be stepped onto, followed, read or written; else
// why not.
const char *entry_refusal(const struct stat &dir, const struct stat &entry);

// The rule for a directory that new files are made in (open_directory()):
// null when `dir` may be filled, else why not.
const char *fill_refusal(const struct stat &dir);

// Opens, with `flags` (O_RDONLY or O_WRONLY), the file that the walk holds
// as an O_PATH descriptor: through /proc/self/fd, which reopens that very
// file.  Without /proc, the name is opened once more, and anything that is
// not the file checked is refused (EAGAIN).
int reopen(const walked &w, int flags);

// The temporary file a terminating signal or exit() must remove: a
// directory descriptor and a name that stays valid until disarmed.  Call
// both with the cleanup signals blocked.
void arm_pending(int dir, const std::string &name);
void disarm_pending();

// Blocks the asynchronous cleanup signals for its scope, so that the
// handler never sees the pending file half set.
class signals_blocked {
public:
    signals_blocked();
    ~signals_blocked();
    signals_blocked(const signals_blocked &) = delete;
    signals_blocked &operator=(const signals_blocked &) = delete;

private:
    sigset_t old_;
};

// Writes all len bytes, at *at when given (advancing it), resuming after
// EINTR and short writes.
bool write_fully(int fd, const uint8_t *p, size_t len, off_t *at);

} // namespace velkor_io::detail
