// SPDX-License-Identifier: MIT
// io.h - the programs' door to the file system: inputs read in pieces,
// outputs written safely.  The parts live in tool/io/: walk.cpp (names and
// the rules of trust), output.cpp, input.cpp and signals.cpp.
//
// An input is a file, a pipe, a device or standard input ("-"), read from
// the start to its end in pieces of the caller's size.
//
// An output name is resolved one component at a time through descriptors
// (openat with O_PATH|O_NOFOLLOW), never by rebuilding a path from link
// text, and the file found is then reached only through what that walk
// opened.  The programs may run as root beside directories that anyone can
// write to, so what another user owns is trusted no further than the
// kernel's protection rules and systemd's safe path resolution allow, and
// those rules are applied here whether or not the system enforces them:
//
//  - Protected symlinks: a link is not followed when it sits in a sticky,
//    world-writable directory and belongs neither to the effective user
//    nor to the directory's owner.
//  - Safe transitions: a link that belongs to someone other than the
//    effective user and root is followed only where everything it leads
//    to is that link owner's: each directory it passes (the root directory
//    too, for an absolute link) and the file it ends on, if that exists.
//  - Protected regular files and FIFOs: an existing regular file or FIFO
//    in a sticky directory that is world- or group-writable is not written
//    when it belongs neither to the effective user nor to the directory's
//    owner.  This is decided before anything is opened, so nothing blocks.
//  - Set-id bits are carried onto a replacement only when the old file had
//    one link and belonged to the effective user.
//
// Each refusal fails with EACCES, and refusal() says which rule refused;
// nothing is written or created.
//
//  - A link inside /proc (/dev/fd/N, /dev/stdout and the like lead there)
//    is opened by the kernel itself, and the file it names is written in
//    place: a pipe, a terminal, a deleted file.  A regular file so reached
//    is truncated first, as cp(1) does.
//  - A regular file, new or existing, is replaced: the bytes go to a
//    temporary file created beside the real target (so a link stays a
//    link, and a dangling link of one's own gets its target created),
//    reached only through its descriptor and the pinned directory
//    descriptor, synced, and renamed over the target at commit().  Until
//    then the target is untouched, and a failure, discard() or a
//    terminating signal removes the temporary file.  An existing file
//    keeps its owner and group where allowed and its permission bits
//    (set-id bits as above); a new one gets 0666 less the umask.  Other
//    hard links to the old file keep the old content.
//  - Standard output (named "-", or any name that leads to the file that
//    descriptor 1 has open) is written through descriptor 1, from its
//    offset.  A FIFO, device or socket is opened from the very descriptor
//    the walk checked and written in place.  Neither is ever removed.
//
// An output written in place that is the input file itself, or any output
// that is the key file, is refused before anything is written (EEXIST;
// aliases_input() and aliases_key() tell which).
//
// Errors come back as false with errno set; failed_beside() tells a
// temporary file that could not be made beside an existing file (so the
// target was left alone) from the other failures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace velkor_io {

namespace detail {
struct walked;
}

// Call once at the start of main: a file-size limit then fails a write
// with EFBIG instead of killing the program, and every signal that would
// end the program and can be caught (HUP, INT, QUIT, PIPE, TERM, ALRM,
// USR1, USR2, POLL, PROF, VTALRM, XCPU, TRAP, ABRT, SYS, STKFLT, PWR, the
// real-time signals, and the faults ILL, BUS, FPE and SEGV) removes the
// temporary file before the program ends as the signal says.  A signal
// ignored at the start stays ignored, and a fault that already has a
// handler (a sanitizer's) keeps it.
void setup_exit_and_signals();

// What identifies an open file: its device and inode.
struct file_id {
    dev_t dev = 0;
    ino_t ino = 0;
    mode_t mode = 0;
    bool valid = false;
    static file_id of(const struct stat &st) { return {st.st_dev, st.st_ino, st.st_mode, true}; }
    bool same(const file_id &o) const { return valid && o.valid && dev == o.dev && ino == o.ino; }
};

// The identity of the file open on fd; invalid when fstat fails.
file_id id_of_fd(int fd);

// The identity of the existing file that output::open(path) would write
// to, found by the same walk with nothing opened for writing, created or
// truncated ("-" is standard output); invalid when there is none.
file_id id_of_output(const char *path);

class output {
public:
    output() = default;
    output(const output &) = delete;
    output &operator=(const output &) = delete;
    ~output() { discard(); }

    // Prepares `path` for writing, as described above.  "-" is standard
    // output.  `input`, when valid, is the file being read: an output
    // written in place must not be that file.  `key`, when valid, is the
    // key file, which no output may be.
    bool open(const char *path, const file_id &input = {}, const file_id &key = {});
    // The same, with a relative `path` taken from the directory `dir` (a
    // descriptor, as open_directory() gives) rather than the working
    // directory.
    bool open_in(int dir, const char *path, const file_id &input = {}, const file_id &key = {});

    // bgntag's output, for a program that has read its whole input first:
    // walked and refused as above, then the input's own regular file is
    // replaced, any other regular file truncated and written in place, a
    // missing one created with mode 0644 less the umask, and anything else
    // written in place.
    bool open_truncating(const char *path, const file_id &input);

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
    // After a failed open(): the output would have been written in place
    // into the input file.
    bool aliases_input() const { return aliases_input_; }
    // After a failed open(): the output is the key file.
    bool aliases_key() const { return aliases_key_; }
    // After a failed open() with EACCES: the rule that refused the name,
    // in words, or null when it was the system's own refusal.
    const char *refusal() const { return refusal_; }

private:
    int fd_ = -1;
    int dir_fd_ = -1;
    bool in_place_ = false;
    bool close_fd_ = false;
    bool seekable_ = false;
    bool failed_beside_ = false;
    bool aliases_input_ = false;
    bool aliases_key_ = false;
    const char *refusal_ = nullptr;
    uint64_t base_ = 0;  // where an in-place standard output stood
    bool replaces_ = false; // an existing file, whose owner to keep
    uid_t old_uid_ = 0;
    gid_t old_gid_ = 0;
    mode_t mode_ = 0;    // the replacement's permission bits
    std::string name_;   // the target's name within dir_fd_
    std::string tmp_;    // the temporary file's name within dir_fd_

    bool open_walked(int dir, const char *path, const file_id &input, const file_id &key,
                     bool truncating);
    bool use_stdout(const struct stat &out1);
    bool write_in_place(detail::walked &w);
    bool begin_replacement(int dir, const char *name, const struct stat *old);
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
    // The file being read, for the checks that an output or a key file is
    // not that same file.
    const file_id &id() const { return id_; }
    // A regular file or a block device holds its bytes still: what was
    // read can be read again with read_at(), at offsets counted from where
    // reading began.  A pipe's or a character device's bytes are gone.
    bool rereadable() const { return rereadable_; }
    // Reads up to len bytes at offset, fewer only at the end; -1 with
    // errno on failure.  Only when rereadable().
    ssize_t read_at(void *buf, size_t len, uint64_t offset);
    // A block device's size from where reading began; false for any other
    // input, or when the size cannot be had.
    bool device_size(uint64_t &size) const;

private:
    bool take_status();

    int fd_ = -1;
    bool close_fd_ = false;
    bool size_known_ = false;
    bool rereadable_ = false;
    uint64_t size_ = 0;
    uint64_t base_ = 0; // the descriptor's offset when reading began
    file_id id_;
};

// Ends the program, as err(3) does with status 1, with why out.open() or
// out.open_in() failed: the input named as the output, no room for a
// temporary file beside an existing file, a rule that refused the name, or
// errno.  `shown` names the output.  (The key file named as the output is
// the caller's to report: it is a bad command line.)
[[noreturn]] void open_failed(const output &out, const char *shown);

// Ends the program, as err(3) does with status 1: `shown`, errno's text
// and, when not null, the rule `why` that refused it.
[[noreturn]] void fail_refused(const char *shown, const char *why);

// The directory that `path` names ("out", "out/", "." and ".." alike),
// walked as an output's name is, created with 0777 less the umask when it
// is missing and `create` is set.  It must belong to the effective user or
// to root: another user's directory (found, or made by them first) is
// refused with EACCES.  An O_PATH descriptor for output::open_in(), or -1
// with errno, and in *why (when given) the rule that refused, or null.
int open_directory(const char *path, bool create, const char **why = nullptr);

// The programs read and write in pieces of this size: large enough that
// system calls cost nothing next to the work on the bytes, small enough to
// stay in the caches while a piece is worked on (256 KiB measured faster
// than 1 MiB for every command).
constexpr size_t piece = size_t{1} << 18;

// A malloc'ed buffer of one piece; a failed allocation ends the program
// with "malloc" and status 1.
struct piece_buf {
    uint8_t *p;
    piece_buf();
    piece_buf(const piece_buf &) = delete;
    piece_buf &operator=(const piece_buf &) = delete;
    ~piece_buf();
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

// write_all() at an offset, with pwrite(2).
bool write_all_at(int fd, const void *buf, size_t len, uint64_t offset);

} // namespace velkor_io
