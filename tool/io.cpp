// Safe outputs for both programs; see io.h for the contract.
//
// The output's name is walked one component at a time, each opened with
// O_PATH|O_NOFOLLOW relative to the directory before it, so the file that
// is checked is the file that is written: no name is looked up twice and
// no path is rebuilt from a link's text.  A link's text is only ever read
// to continue that walk from the link's own directory descriptor.
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

#include <string>
#include <vector>

#include <err.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace velkor_io {
namespace {

// The one temporary file that a terminating signal must remove: a
// directory descriptor and a name owned by the output that made it.  Set
// and cleared with the signals blocked, so the handler never sees them
// half written.
volatile sig_atomic_t pending_armed = 0;
int pending_dir = -1;
const char *pending_name = nullptr;

// Every signal whose default action ends the process and that can be
// caught.  SIGXFSZ is ignored instead, so a size limit fails the write.
const int cleanup_signals[] = {SIGHUP,  SIGINT,  SIGPIPE, SIGTERM,  SIGALRM, SIGUSR1,
                               SIGUSR2, SIGPOLL, SIGPROF, SIGVTALRM, SIGXCPU};

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

void arm_pending(int dir, const std::string &name)
{
    pending_name = name.c_str();
    pending_dir = dir;
    pending_armed = 1;
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

// The kernel's protected-links rule, applied whatever the system's
// setting: in a sticky world-writable directory (/tmp), follow only a link
// of our own or of the directory's owner.  Anyone else's link there may
// have been planted to turn our write onto a file of their choosing.
bool may_follow(const struct stat &dir, const struct stat &link)
{
    if (link.st_uid == geteuid())
        return true;
    if ((dir.st_mode & (S_ISVTX | S_IWOTH)) != (S_ISVTX | S_IWOTH))
        return true;
    return link.st_uid == dir.st_uid;
}

bool on_procfs(int fd)
{
    struct statfs fs;
    return fstatfs(fd, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
}

// The text of the link open (O_PATH) at fd, however long.
bool link_text(int fd, std::string &text)
{
    std::string buf(256, '\0');
    for (;;) {
        const ssize_t n = readlinkat(fd, "", buf.data(), buf.size());
        if (n < 0)
            return false;
        if (static_cast<size_t>(n) < buf.size()) {
            text.assign(buf.data(), static_cast<size_t>(n));
            return true;
        }
        if (buf.size() >= 65536) {
            errno = ENAMETOOLONG;
            return false;
        }
        buf.resize(buf.size() * 2);
    }
}

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

// Where an output's name leads.
struct walked {
    fd_holder dir;      // the directory that holds the last component (O_PATH)
    std::string name;   // that component
    fd_holder node;     // the file itself when it exists: O_PATH, or open
                        // for writing when the kernel opened a /proc link
    bool exists = false;
    bool opened = false; // node came from a /proc link, open O_WRONLY
    struct stat st {};  // node's status
};

// The root directory, for names that start with "/".  Through
// /proc/self/root where there is one: an emulator that maps absolute names
// into a system root of its own (qemu's -L) maps "/" itself too, and the
// walk would then go on in the wrong tree.
int open_root()
{
    const int fd = ::open("/proc/self/root", O_PATH | O_DIRECTORY | O_CLOEXEC);
    return fd >= 0 ? fd : ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
}

// Splits a path into components, dropping empty ones and ".".
void push_components(std::vector<std::string> &stack, const std::string &path)
{
    // The stack holds components last first.
    std::vector<std::string> parts;
    size_t at = 0;
    while (at <= path.size()) {
        size_t slash = path.find('/', at);
        if (slash == std::string::npos)
            slash = path.size();
        std::string part = path.substr(at, slash - at);
        if (!part.empty() && part != ".")
            parts.push_back(std::move(part));
        at = slash + 1;
    }
    // A trailing slash or dot names a directory: keep it as "." so the
    // walk ends on a directory, which an output cannot be.
    if (!path.empty() && (path.back() == '/' || path.ends_with("/.") || path == "."))
        parts.push_back(".");
    for (auto it = parts.rbegin(); it != parts.rend(); ++it)
        stack.push_back(std::move(*it));
}

// Walks `path` to the file it names, following links as described in
// io.h.  The last component need not exist (a dangling link names its
// target).  A last component that is a /proc link is opened for writing,
// or with `look_only` just looked at (O_PATH), which neither blocks on a
// FIFO nor truncates anything.
bool walk(const char *path, walked &w, bool look_only = false, int base = -1)
{
    if (*path == '\0') {
        errno = ENOENT;
        return false;
    }
    std::vector<std::string> stack;
    push_components(stack, path);
    // A relative name starts from `base` when given, else from the
    // working directory.
    fd_holder cur(path[0] == '/' ? open_root()
                  : base >= 0    ? openat(base, ".", O_PATH | O_DIRECTORY | O_CLOEXEC)
                                 : ::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (cur.get() < 0)
        return false;
    int links = 0;
    while (!stack.empty()) {
        const std::string part = std::move(stack.back());
        stack.pop_back();
        const bool last = stack.empty();
        if (part == "." || part == "..") {
            if (last) {
                errno = EISDIR;
                return false;
            }
            if (part == "..")
                cur.reset(openat(cur.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
            if (cur.get() < 0)
                return false;
            continue;
        }
        fd_holder node(openat(cur.get(), part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (node.get() < 0) {
            if (errno == ENOENT && last) {
                w.dir.reset(cur.release());
                w.name = part;
                w.exists = false;
                return true;
            }
            return false;
        }
        struct stat st;
        if (fstat(node.get(), &st) != 0)
            return false;
        if (S_ISLNK(st.st_mode)) {
            if (++links > 40) {
                errno = ELOOP;
                return false;
            }
            if (on_procfs(cur.get())) {
                // /proc/self/fd/N and its kin name no path: only the
                // kernel can open what they lead to.
                if (last) {
                    w.node.reset(openat(cur.get(), part.c_str(),
                                        (look_only ? O_PATH : O_WRONLY | O_NOCTTY) | O_CLOEXEC));
                    if (w.node.get() < 0 || fstat(w.node.get(), &w.st) != 0)
                        return false;
                    w.dir.reset(cur.release());
                    w.name = part;
                    w.exists = w.opened = true;
                    return true;
                }
                cur.reset(openat(cur.get(), part.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
                if (cur.get() < 0)
                    return false;
                continue;
            }
            struct stat dst;
            if (fstat(cur.get(), &dst) != 0)
                return false;
            if (!may_follow(dst, st)) {
                errno = EACCES;
                return false;
            }
            std::string text;
            if (!link_text(node.get(), text))
                return false;
            if (text.empty()) {
                errno = ENOENT;
                return false;
            }
            if (text[0] == '/') {
                cur.reset(open_root());
                if (cur.get() < 0)
                    return false;
            }
            push_components(stack, text);
            if (stack.empty()) { // the link's text was "/"
                errno = EISDIR;
                return false;
            }
            continue;
        }
        if (last) {
            w.dir.reset(cur.release());
            w.name = part;
            w.node.reset(node.release());
            w.exists = true;
            w.st = st;
            return true;
        }
        if (!S_ISDIR(st.st_mode)) {
            errno = ENOTDIR;
            return false;
        }
        cur.reset(node.release());
    }
    errno = EISDIR;
    return false;
}

// Opens for writing the FIFO, device or socket that the walk holds as an
// O_PATH descriptor: through /proc/self/fd, which reopens that very file.
// Without /proc, open the name once more but refuse anything that is not
// the file checked.
// Written in place into the file being read, a run would read its own
// output (tag never ends) or overwrite what it has yet to read.  A terminal
// or socket is a different matter: both ends of a session share one.
bool aliases(const file_id &out, const file_id &in)
{
    return out.same(in) && !S_ISCHR(out.mode) && !S_ISSOCK(out.mode);
}

int reopen_for_writing(const walked &w)
{
    const std::string self = "/proc/self/fd/" + std::to_string(w.node.get());
    int fd = ::open(self.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0 || errno != ENOENT)
        return fd;
    fd = openat(w.dir.get(), w.name.c_str(), O_WRONLY | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || st.st_dev != w.st.st_dev || st.st_ino != w.st.st_ino)) {
        close(fd);
        errno = EAGAIN;
        return -1;
    }
    return fd;
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
    std::string name = dir + "/." + std::string(program_invocation_short_name).substr(0, 32) + ".XXXXXX";
    fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd >= 0)
        unlink(name.c_str());
    return fd;
}

namespace {

// Reads up to len bytes, at *at when given, stopping short only at the end
// of the file; resumes after EINTR.
ssize_t read_fully(int fd, void *buf, size_t len, const uint64_t *at)
{
    auto p = static_cast<uint8_t *>(buf);
    size_t got = 0;
    while (got < len) {
        const ssize_t n = at != nullptr ? pread(fd, p + got, len - got, static_cast<off_t>(*at + got))
                                        : ::read(fd, p + got, len - got);
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

} // namespace

piece_buf::piece_buf() : p(static_cast<uint8_t *>(malloc(piece)))
{
    if (p == nullptr)
        err(1, "malloc");
}

piece_buf::~piece_buf() { free(p); }

ssize_t read_full(int fd, void *buf, size_t len) { return read_fully(fd, buf, len, nullptr); }

ssize_t read_full_at(int fd, void *buf, size_t len, uint64_t offset)
{
    return read_fully(fd, buf, len, &offset);
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
    id_ = file_id::of(st);
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

bool input::device_size(uint64_t &size) const
{
    uint64_t bytes = 0;
    if (!S_ISBLK(id_.mode) || ioctl(fd_, BLKGETSIZE64, &bytes) != 0)
        return false;
    size = bytes > base_ ? bytes - base_ : 0;
    return true;
}

bool write_all(int fd, const void *buf, size_t len)
{
    return write_fully(fd, static_cast<const uint8_t *>(buf), len, nullptr);
}

file_id id_of_fd(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 ? file_id::of(st) : file_id{};
}

file_id id_of_output(const char *path)
{
    if (strcmp(path, "-") == 0)
        return id_of_fd(1);
    walked w;
    if (!walk(path, w, true) || !w.exists)
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

void open_failed(const output &out, const char *shown)
{
    if (out.aliases_input())
        errx(1, "%s: input file is output file", shown);
    if (out.failed_beside())
        errx(1, "%s: cannot write a temporary file beside it: %s", shown, strerror(errno));
    err(1, "%s", shown);
}

int open_directory(const char *path, bool create)
{
    walked w;
    if (!walk(path, w, true))
        return -1;
    if (!w.exists) {
        if (!create) {
            errno = ENOENT;
            return -1;
        }
        if (mkdirat(w.dir.get(), w.name.c_str(), 0777) != 0 && errno != EEXIST)
            return -1;
        // Whatever now holds the name must be a directory, not a link.
        return openat(w.dir.get(), w.name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (!S_ISDIR(w.st.st_mode)) {
        errno = ENOTDIR;
        return -1;
    }
    return w.node.release();
}

bool output::open(const char *path, const file_id &input) { return open_in(-1, path, input); }

bool output::open_in(int dir, const char *path, const file_id &input)
{
    failed_beside_ = aliases_input_ = false;
    const auto refuse_alias = [&] {
        aliases_input_ = true;
        errno = EEXIST;
        return false;
    };
    struct stat out1;
    const bool have_stdout = fstat(1, &out1) == 0;
    if (strcmp(path, "-") == 0) {
        if (!have_stdout)
            return false;
        if (aliases(file_id::of(out1), input))
            return refuse_alias();
        return use_stdout(out1);
    }

    walked w;
    if (!walk(path, w, false, dir))
        return false;
    const file_id target = w.exists ? file_id::of(w.st) : file_id{};
    if (have_stdout && target.same(file_id::of(out1))) {
        // The file standard output has open: through descriptor 1, which
        // keeps the offset and the append mode the shell gave it.
        if (aliases(target, input))
            return refuse_alias();
        return use_stdout(out1);
    }
    if (w.exists && S_ISDIR(w.st.st_mode)) {
        errno = EISDIR;
        return false;
    }
    if (w.opened || (w.exists && !S_ISREG(w.st.st_mode))) {
        // Written in place, never replaced: a file reached through /proc,
        // a device, a FIFO or a socket.
        if (aliases(target, input))
            return refuse_alias();
        if (w.opened) {
            fd_ = w.node.release();
        } else {
            fd_ = reopen_for_writing(w);
            if (fd_ < 0)
                return false;
        }
        in_place_ = close_fd_ = true;
        if (w.opened && S_ISREG(w.st.st_mode)) {
            // As cp(1) does: the output is the new content, all of it.
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
    return begin_replacement(w.dir.get(), w.name.c_str(), w.exists ? &w.st : nullptr);
}

int output::open_if_same(const char *path, const file_id &file)
{
    failed_beside_ = aliases_input_ = false;
    walked w;
    if (!walk(path, w, true))
        return -1;
    if (w.opened || !w.exists || !S_ISREG(w.st.st_mode) || !file_id::of(w.st).same(file))
        return 0;
    return begin_replacement(w.dir.get(), w.name.c_str(), &w.st) ? 1 : -1;
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
        if (fd_ >= 0)
            arm_pending(dir_fd_, tmp_);
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
    mode_ = old != nullptr ? old->st_mode & 07777 : 0666 & ~current_umask();
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
