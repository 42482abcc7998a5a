// SPDX-License-Identifier: MIT
// Outputs: where the walk of a name ends, what may be written there, and
// the temporary file that replaces a regular file.
//
// The temporary file is reached by name exactly three times: created with
// O_EXCL|O_NOFOLLOW, renamed over the target, or unlinked.  Everything
// else (owner, mode, data, sync) goes through its descriptor, so a name
// swapped for a symbolic link by someone who can write to the directory
// never redirects what we do to another file.  All three name operations
// are relative to one directory descriptor, opened once, so a directory
// renamed meanwhile does not move them elsewhere either.
#include "internal.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <err.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velkor_io {

using detail::fd_holder;
using detail::walked;

namespace {

// Written in place into the file being read, a run would read its own
// output (tag never ends) or overwrite what it has yet to read.  A terminal
// or socket is a different matter: both ends of a session share one.  The
// same holds for a key file named as the output.
bool aliases(const file_id &out, const file_id &in)
{
    return out.same(in) && !S_ISCHR(out.mode) && !S_ISSOCK(out.mode);
}

bool aliases_any(const file_id &out, const key_files &keys)
{
    for (const file_id &k : keys.ids)
        if (aliases(out, k))
            return true;
    return false;
}

// A fresh name for the temporary file: the program's name and six random
// letters, hidden from ls.
std::string temporary_name()
{
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char r[6];
    if (getrandom(r, sizeof r, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof r)) {
        // Only a guess at uniqueness is needed: O_EXCL decides.
        auto seed = static_cast<unsigned long>(getpid()) * 2654435761u ^
                    static_cast<unsigned long>(reinterpret_cast<uintptr_t>(&r));
        for (auto &x : r) {
            seed = seed * 6364136223846793005u + 1442695040888963407u;
            x = static_cast<unsigned char>(seed >> 33);
        }
    }
    // However long the program's name (a link can make it anything), the
    // temporary name stays well within NAME_MAX.
    const std::string prog = std::string(program_invocation_short_name).substr(0, 32);
    std::string s = "." + prog + ".";
    for (unsigned char x : r)
        s += letters[x % (sizeof letters - 1)];
    return s;
}

mode_t current_umask()
{
    const mode_t m = umask(0);
    umask(m);
    return m;
}

// A directory name as given, less what only says "a directory": trailing
// slashes and "/." ("out/", "out/." and "out" are one directory, which
// may still have to be made).
std::string without_trailing(const char *path)
{
    std::string p = path;
    for (;;) {
        if (p.size() > 1 && p.back() == '/')
            p.pop_back();
        else if (p.size() > 2 && p.ends_with("/."))
            p.resize(p.size() - 2);
        else
            return p;
    }
}

} // namespace

namespace detail {

bool write_fully(int fd, const uint8_t *p, size_t len, off_t *at)
{
    while (len > 0) {
        const ssize_t n = at != nullptr ? pwrite(fd, p, len, *at) : ::write(fd, p, len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
        if (at != nullptr)
            *at += n;
    }
    return true;
}

} // namespace detail

bool write_all(int fd, const void *buf, size_t len)
{
    return detail::write_fully(fd, static_cast<const uint8_t *>(buf), len, nullptr);
}

bool write_all_at(int fd, const void *buf, size_t len, uint64_t offset)
{
    auto at = static_cast<off_t>(offset);
    return detail::write_fully(fd, static_cast<const uint8_t *>(buf), len, &at);
}

file_id id_of_output(const char *path)
{
    if (strcmp(path, "-") == 0)
        return id_of_fd(1);
    walked w;
    if (!detail::walk(path, w, detail::walk_end::look) || !w.exists)
        return {};
    return file_id::of(w.st);
}

bool output::use_stdout(const struct stat &out1)
{
    fd_ = 1;
    in_place_ = true;
    close_fd_ = false;
    // pwrite(2) on a file opened for appending (>>) appends: such a file
    // takes the bytes in order only.
    const int flags = fcntl(1, F_GETFL);
    const off_t at = lseek(1, 0, SEEK_CUR);
    seekable_ = S_ISREG(out1.st_mode) && flags >= 0 && (flags & O_APPEND) == 0 && at >= 0;
    base_ = seekable_ ? static_cast<uint64_t>(at) : 0;
    return true;
}

int open_directory(const char *path, bool create, mode_t mode, const char **why)
{
    const char *refusal = nullptr;
    const auto refuse = [&](int fd, const char *reason) {
        if (fd >= 0)
            close(fd);
        refusal = reason;
        errno = EACCES;
        return -1;
    };
    const int fd = [&] {
        walked w;
        if (!detail::walk(without_trailing(path).c_str(), w, detail::walk_end::directory))
            return w.why != nullptr ? refuse(-1, w.why) : -1;
        if (w.exists) {
            if (!S_ISDIR(w.st.st_mode)) {
                errno = ENOTDIR;
                return -1;
            }
            return w.node.release();
        }
        if (!create) {
            errno = ENOENT;
            return -1;
        }
        if (mkdirat(w.dir.get(), w.name.c_str(), mode) != 0 && errno != EEXIST)
            return -1;
        // Whatever now holds the name must be a directory, not a link;
        // whose it is, is checked below, as for one that was there.
        return openat(w.dir.get(), w.name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }();
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) != 0)
        return refuse(fd, nullptr);
    if (fd >= 0) {
        if (const char *reason = detail::fill_refusal(st))
            refuse(fd, reason);
    }
    if (why != nullptr)
        *why = refusal;
    return refusal != nullptr ? -1 : fd;
}

bool output::open(const char *path, const file_id &input, const key_files &keys, mode_t mode)
{
    return open_in(-1, path, input, keys, mode);
}

bool output::open_in(int dir, const char *path, const file_id &input, const key_files &keys, mode_t mode)
{
    fresh_mode_ = mode;
    return open_walked(dir, path, input, keys, false);
}

bool output::open_truncating(const char *path, const file_id &input)
{
    fresh_mode_ = 0666;
    return open_walked(-1, path, input, {}, true);
}

bool output::open_walked(int dir, const char *path, const file_id &input, const key_files &keys,
                         bool truncating)
{
    failed_beside_ = aliases_input_ = aliases_key_ = false;
    refusal_ = nullptr;
    const auto refuse_alias = [&](bool of_key) {
        (of_key ? aliases_key_ : aliases_input_) = true;
        errno = EEXIST;
        return false;
    };
    struct stat out1;
    const bool have_stdout = fstat(1, &out1) == 0;
    if (strcmp(path, "-") == 0) {
        if (!have_stdout)
            return false;
        if (aliases_any(file_id::of(out1), keys))
            return refuse_alias(true);
        if (aliases(file_id::of(out1), input))
            return refuse_alias(false);
        return use_stdout(out1);
    }

    walked w;
    if (!detail::walk(path, w, detail::walk_end::output, dir)) {
        refusal_ = w.why;
        return false;
    }
    const file_id target = w.exists ? file_id::of(w.st) : file_id{};
    if (aliases_any(target, keys))
        return refuse_alias(true);
    if (w.exists && S_ISDIR(w.st.st_mode)) {
        errno = EISDIR;
        return false;
    }
    if (truncating) {
        // bgntag's way: the input's own file is replaced, as it is read
        // whole before any byte is written, and so is a file with another
        // hard link, which may be someone else's file under a name they
        // made; any other regular file is truncated in place and a new one
        // made with mode 0644.
        if (w.exists && !w.opened && S_ISREG(w.st.st_mode) && (target.same(input) || w.st.st_nlink > 1))
            return begin_replacement(w.dir.get(), w.name.c_str(), &w.st);
        if (!w.exists) {
            fd_ = openat(w.dir.get(), w.name.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0644);
            if (fd_ < 0)
                return false;
            in_place_ = close_fd_ = seekable_ = true;
            return true;
        }
        return write_in_place(w);
    }
    if (have_stdout && target.same(file_id::of(out1))) {
        // The file standard output has open: through descriptor 1, which
        // keeps the offset and the append mode the shell gave it.
        if (aliases(target, input))
            return refuse_alias(false);
        return use_stdout(out1);
    }
    if (w.opened || (w.exists && !S_ISREG(w.st.st_mode))) {
        // Written in place, never replaced: a file reached through /proc,
        // a device, a FIFO or a socket.
        if (aliases(target, input))
            return refuse_alias(false);
        return write_in_place(w);
    }
    return begin_replacement(w.dir.get(), w.name.c_str(), w.exists ? &w.st : nullptr);
}

// Opens the existing file the walk ended on for writing where it is; a
// regular file is truncated first, as cp(1) does.
bool output::write_in_place(walked &w)
{
    if (w.opened) {
        fd_ = w.node.release();
    } else {
        fd_ = detail::reopen(w, O_WRONLY);
        if (fd_ < 0)
            return false;
    }
    in_place_ = close_fd_ = true;
    if (S_ISREG(w.st.st_mode)) {
        if (ftruncate(fd_, 0) != 0) {
            const int e = errno;
            discard();
            errno = e;
            return false;
        }
        seekable_ = true;
    }
    return true;
}

// Creates the temporary file beside the target `name` in `dir` (an O_PATH
// descriptor of the directory), `old` being the target's status when it
// exists.
bool output::begin_replacement(int dir, const char *name, const struct stat *old)
{
    // A real descriptor, so that the rename can be synced.
    dir_fd_ = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd_ < 0)
        return false;
    name_ = name;
    {
        detail::signals_blocked b;
        for (int tries = 0; tries < 100; tries++) {
            tmp_ = temporary_name();
            // 0600 until commit sets the final mode: no one else may open
            // it in the meantime and read what follows.
            fd_ = openat(dir_fd_, tmp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                         0600);
            if (fd_ >= 0 || errno != EEXIST)
                break;
        }
        if (fd_ >= 0)
            detail::arm_pending(dir_fd_, tmp_);
    }
    if (fd_ < 0) {
        const int e = errno;
        tmp_.clear();
        close(dir_fd_);
        dir_fd_ = -1;
        failed_beside_ = old != nullptr;
        errno = e;
        return false;
    }
    seekable_ = true;
    base_ = 0;
    // Owner and mode are set at commit: a write by anyone but root clears
    // the set-id bits again.
    replaces_ = old != nullptr;
    old_uid_ = old != nullptr ? old->st_uid : 0;
    old_gid_ = old != nullptr ? old->st_gid : 0;
    mode_ = old != nullptr ? old->st_mode & 07777 : fresh_mode_ & ~current_umask();
    // Set-id bits go on new content only when the old file was ours and
    // had no other name: through a second hard link, anyone who could
    // make that link would get a set-id program of their choosing.
    if (old != nullptr && (old->st_nlink != 1 || old->st_uid != geteuid()))
        mode_ &= ~mode_t{S_ISUID | S_ISGID};
    return true;
}

bool output::write(const void *buf, size_t len)
{
    return write_all(fd_, buf, len);
}

bool output::write_at(uint64_t offset, const void *buf, size_t len)
{
    off_t at = static_cast<off_t>(base_ + offset);
    return detail::write_fully(fd_, static_cast<const uint8_t *>(buf), len, &at);
}

bool output::commit()
{
    if (fd_ < 0) {
        errno = EBADF;
        return false;
    }
    if (in_place_) {
        // A failed close can mean the data never arrived (NFS, quotas).
        const bool ok = !close_fd_ || close(fd_) == 0;
        fd_ = -1;
        return ok;
    }
    // Owner first: a change of owner clears the set-id bits, which the
    // mode then puts back.  Not allowed to give the file away, keep at
    // least the group where we may.
    bool ok = !replaces_ || fchown(fd_, old_uid_, old_gid_) == 0 ||
              (errno == EPERM && (fchown(fd_, static_cast<uid_t>(-1), old_gid_) == 0 || errno == EPERM));
    ok = ok && fchmod(fd_, mode_) == 0;
    // The data must be on disk before the name points at it.
    ok = ok && fsync(fd_) == 0;
    const int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0)
        ok = false;
    if (ok) {
        detail::signals_blocked b;
        ok = renameat(dir_fd_, tmp_.c_str(), dir_fd_, name_.c_str()) == 0;
        if (ok) {
            detail::disarm_pending();
            tmp_.clear();
        }
    }
    if (!ok) {
        const int e = errno;
        discard();
        errno = e;
        return false;
    }
    // Make the rename itself durable.  Some file systems cannot sync a
    // directory; the file is in place either way.
    fsync(dir_fd_);
    close(dir_fd_);
    dir_fd_ = -1;
    return true;
}

void output::discard()
{
    const int saved = errno;
    if (fd_ >= 0 && (close_fd_ || !in_place_))
        close(fd_);
    fd_ = -1;
    if (!tmp_.empty()) {
        detail::signals_blocked b;
        unlinkat(dir_fd_, tmp_.c_str(), 0);
        detail::disarm_pending();
        tmp_.clear();
    }
    if (dir_fd_ >= 0)
        close(dir_fd_);
    dir_fd_ = -1;
    errno = saved;
}

} // namespace velkor_io
