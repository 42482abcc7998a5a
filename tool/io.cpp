// Safe outputs for both programs; see io.h for the contract.
//
// The temporary file is reached by name exactly three times: created with
// O_EXCL|O_NOFOLLOW, renamed over the target, or unlinked.  Everything
// else (owner, mode, data, sync) goes through its descriptor, so a name
// swapped for a symbolic link by someone who can write to the directory
// never redirects what we do to another file.  All three name operations
// are relative to one directory descriptor, opened once, so a directory
// renamed meanwhile does not move them elsewhere either.
#include "io.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstdint>
#include <cstring>

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velkor_io {
namespace {

// The one temporary file that a terminating signal must remove.  Set and
// cleared with the signals blocked, so the handler never sees it half
// written.
volatile sig_atomic_t pending_armed = 0;
int pending_dir = -1;
char pending_name[64];

const int cleanup_signals[] = {SIGINT, SIGTERM, SIGHUP};

void on_terminating_signal(int sig)
{
    const int saved = errno;
    if (pending_armed)
        unlinkat(pending_dir, pending_name, 0);
    // End as the signal would have ended us, so the parent sees it.
    signal(sig, SIG_DFL);
    raise(sig);
    errno = saved;
}

// exit() skips destructors: a program that reports a failure with err(3)
// while an output is open must still not leave its temporary file behind.
void remove_pending_at_exit()
{
    if (pending_armed)
        unlinkat(pending_dir, pending_name, 0);
    pending_armed = 0;
}

class signals_blocked {
public:
    signals_blocked()
    {
        sigset_t set;
        sigemptyset(&set);
        for (int s : cleanup_signals)
            sigaddset(&set, s);
        sigprocmask(SIG_BLOCK, &set, &old_);
    }
    ~signals_blocked() { sigprocmask(SIG_SETMASK, &old_, nullptr); }
    signals_blocked(const signals_blocked &) = delete;
    signals_blocked &operator=(const signals_blocked &) = delete;

private:
    sigset_t old_;
};

// Follows symbolic links from `path` to the file they finally name, which
// need not exist (a dangling link names its target).  Gives that file's
// directory and last component, and its status when it exists.
bool resolve(const char *path, std::string &dir, std::string &name, struct stat &st, bool &exists)
{
    std::string p = path;
    for (int depth = 0;; depth++) {
        if (depth == 40) {
            errno = ELOOP;
            return false;
        }
        if (lstat(p.c_str(), &st) != 0) {
            if (errno != ENOENT)
                return false;
            exists = false;
            break;
        }
        if (!S_ISLNK(st.st_mode)) {
            exists = true;
            break;
        }
        std::string link(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
        const ssize_t n = readlink(p.c_str(), link.data(), link.size());
        if (n < 0)
            return false;
        link.resize(static_cast<size_t>(n));
        if (link.empty() || link[0] == '/') {
            p = link;
        } else {
            const size_t slash = p.rfind('/');
            p = (slash == std::string::npos ? std::string() : p.substr(0, slash + 1)) + link;
        }
    }
    const size_t slash = p.rfind('/');
    dir = slash == std::string::npos ? "." : slash == 0 ? "/" : p.substr(0, slash);
    name = slash == std::string::npos ? p : p.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") {
        errno = EISDIR;
        return false;
    }
    return true;
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
    std::string s = std::string(".") + program_invocation_short_name + ".";
    for (unsigned char x : r)
        s += letters[x % (sizeof letters - 1)];
    return s;
}

// Writes all len bytes, at *at when given (advancing it), resuming after
// EINTR and short writes.
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

mode_t current_umask()
{
    const mode_t m = umask(0);
    umask(m);
    return m;
}

} // namespace

void setup_exit_and_signals()
{
    atexit(remove_pending_at_exit);
    signal(SIGXFSZ, SIG_IGN);
    for (int s : cleanup_signals) {
        struct sigaction old {};
        // A signal the caller ignores (nohup) stays ignored.
        if (sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            continue;
        struct sigaction sa {};
        sa.sa_handler = on_terminating_signal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        sigaction(s, &sa, nullptr);
    }
}

int anonymous_file()
{
    const char *tmp = getenv("TMPDIR");
    const std::string dir = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    int fd = ::open(dir.c_str(), O_RDWR | O_TMPFILE | O_CLOEXEC, 0600);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
        return fd;
    // No O_TMPFILE on this file system: a named file, unlinked at once.
    std::string name = dir + "/." + program_invocation_short_name + ".XXXXXX";
    fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd >= 0)
        unlink(name.c_str());
    return fd;
}

ssize_t read_full(int fd, void *buf, size_t len)
{
    auto p = static_cast<uint8_t *>(buf);
    size_t got = 0;
    while (got < len) {
        const ssize_t n = ::read(fd, p + got, len - got);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

ssize_t read_full_at(int fd, void *buf, size_t len, uint64_t offset)
{
    auto p = static_cast<uint8_t *>(buf);
    size_t got = 0;
    while (got < len) {
        const ssize_t n = pread(fd, p + got, len - got, static_cast<off_t>(offset + got));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

input::~input()
{
    if (close_fd_)
        close(fd_);
}

bool input::open(const char *path)
{
    if (strcmp(path, "-") == 0) {
        fd_ = 0;
    } else {
        fd_ = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd_ < 0)
            return false;
        close_fd_ = true;
    }
    return take_status();
}

bool input::adopt(int fd)
{
    if (close_fd_)
        close(fd_);
    fd_ = fd;
    close_fd_ = true;
    return take_status();
}

bool input::take_status()
{
    struct stat st;
    if (fstat(fd_, &st) != 0)
        return false;
    if (S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return false;
    }
    size_known_ = S_ISREG(st.st_mode);
    size_ = size_known_ ? static_cast<uint64_t>(st.st_size) : 0;
    // Standard input may be a file the shell has already read into.
    const bool still = size_known_ || S_ISBLK(st.st_mode);
    const off_t at = still ? lseek(fd_, 0, SEEK_CUR) : 0;
    rereadable_ = still && at >= 0;
    base_ = at > 0 ? static_cast<uint64_t>(at) : 0;
    if (at > 0)
        size_ = static_cast<uint64_t>(at) < size_ ? size_ - static_cast<uint64_t>(at) : 0;
    if (size_known_)
        posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
    return true;
}

ssize_t input::read(void *buf, size_t len)
{
    return read_full(fd_, buf, len);
}

ssize_t input::read_at(void *buf, size_t len, uint64_t offset)
{
    return read_full_at(fd_, buf, len, base_ + offset);
}

bool write_all(int fd, const void *buf, size_t len)
{
    return write_fully(fd, static_cast<const uint8_t *>(buf), len, nullptr);
}

bool output::open(const char *path)
{
    failed_beside_ = false;
    struct stat out1, st;
    const bool have_stdout = fstat(1, &out1) == 0;
    if (strcmp(path, "-") == 0 ||
        (have_stdout && stat(path, &st) == 0 && st.st_dev == out1.st_dev && st.st_ino == out1.st_ino)) {
        if (!have_stdout)
            return false;
        fd_ = 1;
        in_place_ = true;
        // pwrite(2) on a file opened for appending (>>) appends: such a
        // file takes the bytes in order only.
        const int flags = fcntl(1, F_GETFL);
        seekable_ = S_ISREG(out1.st_mode) && flags >= 0 && (flags & O_APPEND) == 0 &&
                    lseek(1, 0, SEEK_CUR) >= 0;
        base_ = seekable_ ? static_cast<uint64_t>(lseek(1, 0, SEEK_CUR)) : 0;
        return true;
    }

    std::string dir;
    bool exists = false;
    if (!resolve(path, dir, name_, st, exists))
        return false;
    if (exists && S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return false;
    }
    if (exists && !S_ISREG(st.st_mode)) {
        // A device, FIFO or socket: written in place, never replaced.
        fd_ = ::open(path, O_WRONLY | O_CLOEXEC);
        if (fd_ < 0)
            return false;
        in_place_ = close_fd_ = true;
        return true;
    }

    dir_fd_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd_ < 0)
        return false;
    {
        signals_blocked b;
        for (int tries = 0; tries < 100; tries++) {
            tmp_ = temporary_name();
            // 0600 until commit sets the final mode: no one else may open
            // it in the meantime and read what follows.
            fd_ = openat(dir_fd_, tmp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                         0600);
            if (fd_ >= 0 || errno != EEXIST)
                break;
        }
        if (fd_ >= 0 && tmp_.size() < sizeof pending_name) {
            memcpy(pending_name, tmp_.c_str(), tmp_.size() + 1);
            pending_dir = dir_fd_;
            pending_armed = 1;
        }
    }
    if (fd_ < 0) {
        const int e = errno;
        tmp_.clear();
        close(dir_fd_);
        dir_fd_ = -1;
        failed_beside_ = exists;
        errno = e;
        return false;
    }
    seekable_ = true;
    base_ = 0;
    // Owner and mode are set at commit: a write by anyone but root clears
    // the set-id bits again.
    replaces_ = exists;
    old_uid_ = st.st_uid;
    old_gid_ = st.st_gid;
    mode_ = exists ? st.st_mode & 07777 : 0666 & ~current_umask();
    return true;
}

bool output::write(const void *buf, size_t len)
{
    return write_all(fd_, buf, len);
}

bool output::write_at(uint64_t offset, const void *buf, size_t len)
{
    off_t at = static_cast<off_t>(base_ + offset);
    return write_fully(fd_, static_cast<const uint8_t *>(buf), len, &at);
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
        signals_blocked b;
        ok = renameat(dir_fd_, tmp_.c_str(), dir_fd_, name_.c_str()) == 0;
        if (ok) {
            pending_armed = 0;
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
        signals_blocked b;
        unlinkat(dir_fd_, tmp_.c_str(), 0);
        pending_armed = 0;
        tmp_.clear();
    }
    if (dir_fd_ >= 0)
        close(dir_fd_);
    dir_fd_ = -1;
    errno = saved;
}

} // namespace velkor_io
