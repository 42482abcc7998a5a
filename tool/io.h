// io.h - the programs' door to the file system: inputs read in pieces,
// outputs written safely.
//
// An input is a file, a pipe, a device or standard input ("-"), read from
// the start to its end in pieces of the caller's size.
//
// An output is either replaced whole or written in place:
//
//  - A regular file, new or existing, is replaced: the bytes go to a
//    temporary file created beside the real target (symbolic links are
//    followed, so a link stays a link; a dangling link gets its target
//    created), reached only through its descriptor and through one pinned
//    directory descriptor, synced, and renamed over the target at commit().
//    Until then the target is untouched, and a failure, discard() or a
//    SIGINT, SIGTERM or SIGHUP removes the temporary file.  An existing
//    file keeps its owner and group where allowed and its permission bits,
//    set-id bits included; a new one gets 0666 less the umask.  Other hard
//    links to the old file keep the old content.
//  - Standard output (named "-", "/dev/stdout", "/proc/self/fd/1" or any
//    path that is the file descriptor 1 already has open), devices, FIFOs
//    and sockets are written in place and never removed.
//
// Errors come back as false with errno set; failed_beside() tells a
// temporary file that could not be made beside an existing file (so the
// target was left alone) from the other failures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <sys/types.h>
#include <unistd.h>

namespace velkor_io {

// Call once at the start of main: a file-size limit then fails a write
// with EFBIG instead of killing the program, and a terminating signal
// removes the temporary file before the program ends as the signal says.
void setup_exit_and_signals();

class output {
public:
    output() = default;
    output(const output &) = delete;
    output &operator=(const output &) = delete;
    ~output() { discard(); }

    // Prepares `path` for writing, as described above.  "-" is standard
    // output.
    bool open(const char *path);

    bool write(const void *buf, size_t len);
    // Writes at an offset, for a header known only at the end; only when
    // seekable().
    bool write_at(uint64_t offset, const void *buf, size_t len);
    bool seekable() const { return seekable_; }
    bool in_place() const { return in_place_; }

    // Makes the written bytes the output: sync and rename a replacement,
    // close an in-place output (standard output is flushed, not closed).
    bool commit();
    // Forgets the output: removes the temporary file of a replacement.
    // What an in-place output was given stays.
    void discard();

    // After a failed open(): no temporary file could be made beside the
    // existing file that was to be replaced.
    bool failed_beside() const { return failed_beside_; }

private:
    int fd_ = -1;
    int dir_fd_ = -1;
    bool in_place_ = false;
    bool close_fd_ = false;
    bool seekable_ = false;
    bool failed_beside_ = false;
    uint64_t base_ = 0;  // where an in-place standard output stood
    bool replaces_ = false; // an existing file, whose owner to keep
    uid_t old_uid_ = 0;
    gid_t old_gid_ = 0;
    mode_t mode_ = 0;    // the replacement's permission bits
    std::string name_;   // the target's name within dir_fd_
    std::string tmp_;    // the temporary file's name within dir_fd_
};

class input {
public:
    input() = default;
    input(const input &) = delete;
    input &operator=(const input &) = delete;
    ~input();

    // Opens `path` ("-" is standard input) for reading.  A directory is
    // refused with EISDIR.
    bool open(const char *path);
    // Reads the descriptor from its current offset on, and closes it.
    bool adopt(int fd);
    // Reads up to len bytes, fewer only at the end; 0 at the end, -1 with
    // errno on failure.
    ssize_t read(void *buf, size_t len);
    // A regular file's size when it was opened: what a single pass will
    // read, barring a file that changes meanwhile.  Pipes, devices and
    // other files have no known size.
    bool size_known() const { return size_known_; }
    uint64_t size() const { return size_; }
    // A regular file or a block device holds its bytes still: what was
    // read can be read again with read_at(), at offsets counted from where
    // reading began.  A pipe's or a character device's bytes are gone.
    bool rereadable() const { return rereadable_; }
    // Reads up to len bytes at offset, fewer only at the end; -1 with
    // errno on failure.  Only when rereadable().
    ssize_t read_at(void *buf, size_t len, uint64_t offset);

private:
    bool take_status();

    int fd_ = -1;
    bool close_fd_ = false;
    bool size_known_ = false;
    bool rereadable_ = false;
    uint64_t size_ = 0;
    uint64_t base_ = 0; // the descriptor's offset when reading began
};

// A file with no name in $TMPDIR (or /tmp), open for reading and writing:
// room for a pipe's bytes when the length must come first.  It disappears
// with its descriptor, whatever ends the program.  -1 with errno on failure.
int anonymous_file();

// Reads up to len bytes from fd, stopping short only at the end of the
// file; resumes after EINTR.  -1 with errno on failure.
ssize_t read_full(int fd, void *buf, size_t len);

// read_full() at an offset, with pread(2).
ssize_t read_full_at(int fd, void *buf, size_t len, uint64_t offset);

// Writes all len bytes to fd, resuming after EINTR and short writes.
bool write_all(int fd, const void *buf, size_t len);

} // namespace velkor_io
