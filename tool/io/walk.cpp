// SPDX-License-Identifier: MIT
// The walk of a name, one component at a time, each opened with
// O_PATH|O_NOFOLLOW relative to the directory before it, so the file that
// is checked is the file that is read or written: no name is looked up
// twice and no path is rebuilt from a link's text.  A link's text is only
// ever read to continue the walk from the link's own directory descriptor.
//
// What the walk may step onto is decided here and nowhere else, by the
// rule io.h states: entry_refusal() for every entry on the way, the bound
// of safe transitions once another user's link is followed, and
// fill_refusal() for a directory that new files are made in.
#include "internal.h"

#include <cerrno>
#include <string>
#include <vector>

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace velkor_io::detail {
namespace {

const char unsafe_link[] = "another user's link leads to what that user does not own";

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

} // namespace

const char *entry_refusal(const struct stat &dir, const struct stat &entry)
{
    const uid_t owner = entry.st_uid, me = geteuid();
    if (owner == me || owner == 0)
        return nullptr;
    // Only the owner of a sticky directory and root may remove or rename
    // its owner's entries there.
    if ((dir.st_mode & S_ISVTX) != 0 && owner == dir.st_uid)
        return nullptr;
    // Who else may have put the entry there: anyone at all when the group
    // or others may write (the group's members are not looked up), else
    // the directory's owner when it may.
    const bool anyone = (dir.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    const bool its_owner = (dir.st_mode & S_IWUSR) != 0 && dir.st_uid != owner && dir.st_uid != me &&
                           dir.st_uid != 0;
    if (!anyone && !its_owner)
        return nullptr;
    switch (entry.st_mode & S_IFMT) {
    case S_IFLNK:
        return "another user's link in a directory others can write";
    case S_IFREG:
        return "a file of another user in a directory others can write";
    case S_IFIFO:
        return "a FIFO of another user in a directory others can write";
    case S_IFDIR:
        return "a directory of another user in a directory others can write";
    default:
        return "another user's entry in a directory others can write";
    }
}

const char *fill_refusal(const struct stat &dir)
{
    // Another user may always make their directory writable again, and
    // in a sticky one their own entries would be allowed.
    const uid_t me = geteuid();
    if (dir.st_uid != me && dir.st_uid != 0)
        return "the directory belongs to another user";
    if ((dir.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (dir.st_mode & S_ISVTX) == 0)
        return "others can write to the directory, which is not sticky";
    return nullptr;
}

int reopen(const walked &w, int flags)
{
    const std::string self = "/proc/self/fd/" + std::to_string(w.node.get());
    int fd = ::open(self.c_str(), flags | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0 || errno != ENOENT)
        return fd;
    fd = openat(w.dir.get(), w.name.c_str(), flags | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || st.st_dev != w.st.st_dev || st.st_ino != w.st.st_ino)) {
        close(fd);
        errno = EAGAIN;
        return -1;
    }
    return fd;
}

bool walk(const char *path, walked &w, walk_end end, int base)
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
    const auto refuse = [&w](const char *why) {
        w.why = why;
        errno = EACCES;
        return false;
    };
    // Once another user's link has been followed, everything further must
    // be that user's: `bound` holds their uid.
    bool bounded = false;
    uid_t bound = 0;
    const auto beyond_bound = [&](int fd) {
        struct stat st;
        return bounded && (fstat(fd, &st) != 0 || st.st_uid != bound);
    };
    int links = 0;
    while (!stack.empty()) {
        const std::string part = std::move(stack.back());
        stack.pop_back();
        const bool last = stack.empty();
        if (part == "." || part == "..") {
            if (part == "..") {
                cur.reset(openat(cur.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
                if (cur.get() < 0)
                    return false;
                if (beyond_bound(cur.get()))
                    return refuse(unsafe_link);
            }
            if (last) {
                if (end != walk_end::directory) {
                    errno = EISDIR;
                    return false;
                }
                if (fstat(cur.get(), &w.st) != 0)
                    return false;
                w.node.reset(cur.release());
                w.exists = true;
                return true;
            }
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
        struct stat st, dst;
        if (fstat(node.get(), &st) != 0 || fstat(cur.get(), &dst) != 0)
            return false;
        if (bounded && st.st_uid != bound)
            return refuse(unsafe_link);
        if (const char *why = entry_refusal(dst, st))
            return refuse(why);
        if (S_ISLNK(st.st_mode)) {
            if (++links > 40) {
                errno = ELOOP;
                return false;
            }
            if (on_procfs(cur.get())) {
                // /proc/self/fd/N and its kin name no path: only the
                // kernel can open what they lead to.
                if (last) {
                    const int how = end == walk_end::output      ? O_WRONLY | O_NOCTTY
                                    : end == walk_end::directory ? O_PATH | O_DIRECTORY
                                                                 : O_PATH;
                    w.node.reset(openat(cur.get(), part.c_str(), how | O_CLOEXEC));
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
            if (!bounded && st.st_uid != geteuid() && st.st_uid != 0) {
                bounded = true;
                bound = st.st_uid;
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
                if (beyond_bound(cur.get()))
                    return refuse(unsafe_link);
            }
            // Never empty: "/" leaves a "." behind.
            push_components(stack, text);
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

} // namespace velkor_io::detail
