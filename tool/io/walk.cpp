// SPDX-License-Identifier: MIT
// The walk of an output's name, one component at a time, each opened with
// O_PATH|O_NOFOLLOW relative to the directory before it, so the file that
// is checked is the file that is written: no name is looked up twice and
// no path is rebuilt from a link's text.  A link's text is only ever read
// to continue the walk from the link's own directory descriptor.
//
// The rules that decide what the walk may step onto are the kernel's and
// systemd's, applied here whatever the system's settings:
//  - protected symlinks: in a sticky world-writable directory, follow only
//    a link of our own or of the directory's owner;
//  - safe transitions (systemd's CHASE_SAFE): a link that belongs to
//    someone other than us and root leads only to what its owner owns;
//  - protected regular files and FIFOs (sticky_refusal(), checked by the
//    callers on the file the walk ends on).
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

const char planted_link[] = "another user's link in a sticky directory";
const char unsafe_link[] = "another user's link leads to what that user does not own";

// The kernel's protected-links rule: in a sticky world-writable directory
// (/tmp), follow only a link of our own or of the directory's owner.
// Anyone else's link there may have been planted to turn our write onto a
// file of their choosing.
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

const char *sticky_refusal(const struct stat &dir, const struct stat &node)
{
    if ((dir.st_mode & S_ISVTX) == 0 || !(S_ISREG(node.st_mode) || S_ISFIFO(node.st_mode)))
        return nullptr;
    if (node.st_uid == geteuid() || node.st_uid == dir.st_uid)
        return nullptr;
    // At the rule's strictest: group-writable sticky directories too.
    if ((dir.st_mode & (S_IWOTH | S_IWGRP)) == 0)
        return nullptr;
    return S_ISFIFO(node.st_mode) ? "a FIFO of another user in a sticky directory"
                                  : "a file of another user in a sticky directory";
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
        struct stat st;
        if (fstat(node.get(), &st) != 0)
            return false;
        if (bounded && st.st_uid != bound)
            return refuse(unsafe_link);
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
            struct stat dst;
            if (fstat(cur.get(), &dst) != 0)
                return false;
            if (!may_follow(dst, st))
                return refuse(planted_link);
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
