// SPDX-License-Identifier: MIT
// io.h - the programs' door to the file system: inputs read in pieces,
// outputs written safely, and the one rule of trust by which every name is
// walked.  The parts live in tool/io/: walk.cpp (names and the rule),
// output.cpp, input.cpp and signals.cpp for POSIX systems, the same four in
// tool/io/windows/ for Windows, and common.cpp for what both share.  What
// follows is said in POSIX terms; "On Windows", below, says what it means
// there.
//
// Every name the programs open, input or output, key file, image, map or
// directory, is resolved one component at a time through descriptors
// (openat with O_PATH|O_NOFOLLOW), never by rebuilding a path from link
// text, and the file found is then reached only through what that walk
// opened: an input is looked at first (O_PATH, which never blocks), judged,
// and only then opened for reading, with O_NOCTTY, through /proc/self/fd.
// Only "-" (standard input or output) bypasses the walk.
//
// The programs may run as root beside directories that others can write,
// so what another user owns is trusted by one rule, applied whatever the
// system's settings.  It generalises the kernel's protected_symlinks,
// protected_regular, protected_fifos and protected_hardlinks and systemd's
// safe path resolution (CHASE_SAFE):
//
//  1. An entry (a link, file, FIFO, directory or any other) is not
//     stepped onto, followed, read, written or replaced when its owner X
//     is neither the effective user nor root and its directory D has a
//     possible writer other than X, the effective user and root.  D's
//     possible writers are its owner when D has u+w, and anyone at all
//     when D has g+w or o+w (the group's members are not looked up: at the
//     rule's strictest).  But in a sticky D an entry of D's owner is
//     allowed: there only its owner, D's owner and root can remove or
//     replace it.  So root's 0777 directory, or a 1777 one like /tmp,
//     refuses X's entries, while X's own 0755 directory does not.  This
//     holds for every component of the name, the directories on the way
//     and the last one, and is decided on what O_PATH found, before
//     anything is opened, so a FIFO without a peer stops nothing.
//  2. Safe transitions: once a link of someone other than the effective
//     user and root is followed, everything further must be that link
//     owner's: each directory it passes (".." and, for an absolute link,
//     the root directory too) and the file it ends on, if that exists.
//     The effective user's links, and root's, lead anywhere.
//  3. A directory that new files are made in (open_directory()) must
//     belong to the effective user or root, and, when anyone but its owner
//     may write to it, be sticky; inside it rule 1 decides.
//  4. An existing regular file with more than one link is never written
//     in place (velkor replaces every regular file; bgntag replaces such a
//     one), and set-id bits are carried onto a replacement only when the
//     old file had one link and belonged to the effective user.
//
// Each refusal fails with EACCES, and refusal() says which rule refused;
// nothing is read, written or created.
//
// Where an output's walk ends, it is written so:
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
//    (set-id bits as rule 4 says); a new one gets the mode open() is
//    given (0666, or 0600 for what holds deciphered bytes) less the umask.  Other
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
//
// On Windows the same door and the same rule, in Windows' terms:
//
//  - Names are UTF-8 (the programs take their arguments as UTF-16 and
//    convert them once); one that is not is refused with EILSEQ.  A name
//    is first made whole as Windows makes every name (GetFullPathNameW:
//    the working directory, "." and ".." taken by their text, "/" read as
//    "\"), then walked from its volume's root one component at a time,
//    each opened relative to the directory handle before it without
//    following a reparse point (NtCreateFile with FILE_OPEN_REPARSE_POINT).
//    A device's name (NUL, CON, \\.\PIPE\..., \\.\PhysicalDrive0) is not
//    in any directory and is opened as it is.
//  - Links are the reparse points that stand for another name: symbolic
//    links and junctions.  Their text is read (FSCTL_GET_REPARSE_POINT) and
//    the walk goes on from the link's own directory handle, or from the
//    root of the volume it names; any other reparse point is a file.
//  - An owner is a security identifier.  Root is any of LocalSystem,
//    Administrators (what an elevated administrator makes belongs to that
//    group) and TrustedInstaller; the effective user is the process
//    token's user.  A directory's possible writers are its owner and every
//    identifier that an allowing entry of its access list grants to add a
//    file or a subdirectory, to delete a child, or to change the list or
//    the owner, whatever groups we belong to; a directory without a list
//    may be written by anyone.  Rules 1 to 3 then read as above, but
//    Windows has no sticky directories: rule 1 has no exception for them,
//    and rule 3 refuses any directory that anyone but its owner, the
//    effective user and root may write to.  Where the file system keeps no
//    owners (FAT, exFAT: FILE_PERSISTENT_ACLS unset), nothing can be
//    planted as a link and every entry counts as one's own.  Rule 4 holds
//    with the file's link count; there are no set-id bits.
//  - What the walk found is reached only through the handle it opened:
//    reopened for reading or writing from that handle (an empty name
//    relative to it), never looked up again by name.
//  - A replacement is a hidden temporary file made relative to the pinned
//    directory handle, written, flushed (FlushFileBuffers) and renamed over
//    the target by its handle, relative to that same directory handle
//    (FileRenameInformation with ReplaceIfExists), so no name is looked up
//    outside it.  It keeps the old file's attributes and, where the old
//    file had its own, its access list; it is owned by the effective user.
//    A file with the read-only attribute is refused (EACCES), as Windows
//    refuses to replace it.  A file another program holds open without
//    sharing it is refused before anything is written, or, if that program
//    opened it meanwhile, at the rename, with EBUSY and the words "the file
//    is open in another program"; the target keeps its bytes either way.
//    A new file for deciphered bytes (mode 0600) gets an access list of
//    its own that grants only the effective user, LocalSystem and
//    Administrators.  open_truncating() replaces every existing regular
//    file too: truncated in place, a failed write would leave part of it.
//    Where the rename with POSIX semantics is not to be had and the old
//    file is still open elsewhere with deletion shared (say, by this
//    program, as its input), the old file is renamed aside under a hidden
//    name, the new one takes its name, and the old one goes when its last
//    handle closes.
//  - The temporary file is removed by exit(), by Ctrl-C, Ctrl-Break,
//    closing the console, logging off and shutting down
//    (SetConsoleCtrlHandler), and by a crash (SetUnhandledExceptionFilter).
//  - What does not apply: /proc links (standard output is "-" or any name
//    of the file it has open), FIFOs (a named pipe's name, \\.\PIPE\x, is
//    a device, written in place), signals and set-id bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/types.h>
#if !defined(_WIN32)
#include <unistd.h>
#endif

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

// What identifies an open file: its device and inode; on Windows its
// volume's serial number and its 128-bit file identifier (ino and ino_high).
// mode holds the file's type (S_IFREG, S_IFDIR, S_IFCHR, S_IFIFO on Windows).
struct file_id {
    uint64_t dev = 0;
    uint64_t ino = 0;
    uint64_t ino_high = 0;
    mode_t mode = 0;
    bool valid = false;
#if !defined(_WIN32)
    static file_id of(const struct stat &st) { return {st.st_dev, st.st_ino, 0, st.st_mode, true}; }
#endif
    bool same(const file_id &o) const
    {
        return valid && o.valid && dev == o.dev && ino == o.ino && ino_high == o.ino_high;
    }
};

// What ends the directories of a name: "/", and on Windows a backslash
// and a drive's colon ("C:name") too.
#if defined(_WIN32)
inline constexpr const char separators[] = "/\\:";
#else
inline constexpr const char separators[] = "/";
#endif

// The key files a run read (-K and --keys may each be given more than
// once), none of which an output may be.  A single file_id converts.
struct key_files {
    std::vector<file_id> ids;
    key_files() = default;
    key_files(const file_id &id) // NOLINT: one key file is the usual case
    {
        add(id);
    }
    void add(const file_id &id)
    {
        if (id.valid)
            ids.push_back(id);
    }
    // Whether `f` is one of them.
    bool hold(const file_id &f) const
    {
        for (const file_id &k : ids)
            if (k.same(f))
                return true;
        return false;
    }
};

// The identity of the file open on fd; invalid when fstat fails.
file_id id_of_fd(int fd);

// The identity of the existing file that output::open(path) would write
// to, found by the same walk with nothing opened for writing, created or
// truncated ("-" is standard output); invalid when there is none.
file_id id_of_output(const char *path);

// The identity of the file that input::open(path) would read, found by
// the same walk with nothing opened ("-" is standard input); invalid when
// there is none or the rule refuses it.
file_id id_of_input(const char *path);

class output {
public:
    output() = default;
    output(const output &) = delete;
    output &operator=(const output &) = delete;
    ~output() { discard(); }

    // Prepares `path` for writing, as described above.  "-" is standard
    // output.  `input`, when valid, is the file being read: an output
    // written in place must not be that file.  `keys` are the key files,
    // none of which an output may be.  A new file gets `mode` less the
    // umask; a replaced one keeps its own.
    bool open(const char *path, const file_id &input = {}, const key_files &keys = {}, mode_t mode = 0666);
    // The same, with a relative `path` taken from the directory `dir` (a
    // descriptor, as open_directory() gives) rather than the working
    // directory.
    bool open_in(int dir, const char *path, const file_id &input = {}, const key_files &keys = {},
                 mode_t mode = 0666);

    // bgntag's output, for a program that has read its whole input first:
    // walked and refused as above, then the input's own regular file and
    // any regular file with more than one link are replaced, any other
    // regular file truncated and written in place, a missing one created
    // with mode 0644 less the umask, and anything else written in place.
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
    int fd_ = -1;     // on Windows, C run-time descriptors over handles
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
    mode_t fresh_mode_ = 0666; // a new file's, before the umask
    std::string name_;   // the target's name within dir_fd_
    std::string tmp_;    // the temporary file's name within dir_fd_
#if defined(_WIN32)
    uint32_t old_attributes_ = 0; // the replaced file's, kept

    bool open_walked(void *dir, const char *path, const file_id &input, const key_files &keys,
                     bool truncating);
    bool use_stdout();
    bool write_in_place(detail::walked &w);
    bool begin_replacement(detail::walked &w);
#else
    uid_t old_uid_ = 0;
    gid_t old_gid_ = 0;
    mode_t mode_ = 0;    // the replacement's permission bits

    bool open_walked(int dir, const char *path, const file_id &input, const key_files &keys,
                     bool truncating);
    bool use_stdout(const struct stat &out1);
    bool write_in_place(detail::walked &w);
    bool begin_replacement(int dir, const char *name, const struct stat *old);
#endif
};

class input {
public:
    input() = default;
    input(const input &) = delete;
    input &operator=(const input &) = delete;
    ~input();

    // Opens `path` ("-" is standard input) for reading, walked by the
    // rule above.  A directory is refused with EISDIR.
    bool open(const char *path);
    // The same, but "-" is a file of that name, as for bgntag and -K.
    bool open_file(const char *path);
    // Reads the descriptor from its current offset on, and closes it.
    bool adopt(int fd);
    // Reads up to len bytes, fewer only at the end; 0 at the end, -1 with
    // errno on failure.
    ssize_t read(void *buf, size_t len);
    // One read(2), resumed after EINTR: what is there, for a reader that
    // must not wait for more than a pipe already holds.
    ssize_t read_some(void *buf, size_t len);
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
    // After a failed open() with EACCES: the rule that refused the name,
    // in words, or null when it was the system's own refusal.
    const char *refusal() const { return refusal_; }

private:
    bool take_status();

    int fd_ = -1;
    bool close_fd_ = false;
    bool size_known_ = false;
    bool rereadable_ = false;
    uint64_t size_ = 0;
    uint64_t base_ = 0; // the descriptor's offset when reading began
    file_id id_;
    const char *refusal_ = nullptr;
};

// Ends the program, as err(3) does with status 1, with why out.open() or
// out.open_in() failed: the input or the key file named as the output, no
// room for a temporary file beside an existing file, a rule that refused
// the name, or errno.  `shown` names the output.  (A key file named on the
// command line as the output is a bad command line, status 2: the
// caller's to report first.)
[[noreturn]] void open_failed(const output &out, const char *shown);

// The same message, as warn(3) prints it, and the program goes on: for a
// run that writes many files and reports each one it could not.
void warn_open_failed(const output &out, const char *shown);

// The reason those two give, after "shown: ".
std::string open_failure(const output &out);

// Ends the program, as err(3) does with status 1: `shown`, errno's text
// and, when not null, the rule `why` that refused it.
[[noreturn]] void fail_refused(const char *shown, const char *why);

// The same message, as warn(3) prints it, and the program goes on.
void warn_refused(const char *shown, const char *why);

// errno's text and, when not null, the rule `why` in parentheses: the
// reason fail_refused() gives, for a report of its own.
std::string refused_text(const char *why);

// errno's text, as err(3) prints it: strerror(), but on Windows EBUSY is
// a file that another program holds open without sharing it.
const char *error_text(int e);

// The directory that `path` names ("out", "out/", "." and ".." alike),
// walked as an output's name is, created with `mode` less the umask when it
// is missing and `create` is set.  Rule 3 above decides whether it may be
// filled: it must be the effective user's or root's (not one another user
// made first under the name), and sticky where others may write to it;
// else EACCES.  An O_PATH descriptor for output::open_in(), or -1 with
// errno, and in *why (when given) the rule that refused, or null.
int open_directory(const char *path, bool create, mode_t mode, const char **why = nullptr);

// The mode, before the umask, of a new file that holds deciphered bytes
// (unpack's output, every file scan --extract writes): no one but its
// owner (and root) may read what was deciphered.
constexpr mode_t deciphered_mode = 0600;

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
// (On Windows a file in the temporary folder, GetTempPathW, deleted when
// closed.)
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
