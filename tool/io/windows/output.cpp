// SPDX-License-Identifier: MIT
// Outputs on Windows: where the walk of a name ends, what may be written
// there, and the temporary file that replaces a regular file (io.h, "On
// Windows").
//
// The temporary file is reached by name exactly twice: created relative to
// the pinned directory handle, and renamed over the target by its own
// handle, relative to that same directory handle.  Everything else (data,
// attributes, access list, flush, removal) goes through its handle.
#include "internal.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include <aclapi.h>
#include <bcrypt.h>
#include <io.h>
#include <sddl.h>
#include <sys/stat.h>
#include <winternl.h>

namespace velkor_io {

using detail::handle_holder;
using detail::handle_of;
using detail::walked;

namespace {

constexpr ULONG share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// FileRenameInformationEx and its flags, which mingw-w64's headers lack.
// Its structure is FILE_RENAME_INFORMATION's, with flags in place of the
// boolean.
constexpr int rename_information_ex = 65;
constexpr ULONG rename_replace_if_exists = 0x1;
constexpr ULONG rename_posix_semantics = 0x2;

// Written in place into the file being read, a run would read its own
// output or overwrite what it has yet to read.  A console is a different
// matter: both ends of a session share one.  The same holds for a key
// file named as the output.
bool aliases(const file_id &out, const file_id &in) { return out.same(in) && out.mode != S_IFCHR; }

bool aliases_any(const file_id &out, const key_files &keys)
{
    for (const file_id &k : keys.ids)
        if (aliases(out, k))
            return true;
    return false;
}

// A fresh name for the temporary file: the program's name and six random
// letters.
std::wstring temporary_name()
{
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char r[6];
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, r, sizeof r, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
        // Only a guess at uniqueness is needed: creating it only if new decides.
        uint64_t seed = GetTickCount64() * 2654435761u ^ GetCurrentProcessId();
        for (auto &x : r) {
            seed = seed * 6364136223846793005u + 1442695040888963407u;
            x = static_cast<unsigned char>(seed >> 33);
        }
    }
    std::wstring prog;
    if (!detail::to_wide(std::string(program_invocation_short_name).substr(0, 32).c_str(), prog))
        prog = L"velkor";
    std::wstring s = L"." + prog + L".";
    for (unsigned char x : r)
        s += static_cast<wchar_t>(letters[x % (sizeof letters - 1)]);
    return s;
}

// A security descriptor that lets only the effective user, LocalSystem and
// Administrators at the file: the Windows form of mode 0600.  Null when it
// cannot be made.
PSECURITY_DESCRIPTOR private_descriptor()
{
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return nullptr;
    BYTE buf[512];
    DWORD len;
    const bool ok = GetTokenInformation(token, TokenUser, buf, sizeof buf, &len);
    CloseHandle(token);
    wchar_t *me = nullptr;
    if (!ok || !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER *>(buf)->User.Sid, &me))
        return nullptr;
    const std::wstring sddl = std::wstring(L"D:P(A;;FA;;;") + me + L")(A;;FA;;;SY)(A;;FA;;;BA)";
    LocalFree(me);
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd, nullptr))
        return nullptr;
    return sd;
}

// A new file's mode that lets no one but its owner in (0600, 0700).
bool private_mode(mode_t mode) { return (mode & 077) == 0; }

// The access list of an existing file, as a descriptor for its
// replacement, when the file has one of its own (protected, or with an
// entry not inherited from its directory); null when the replacement may
// simply inherit its directory's as the old file did.
PSECURITY_DESCRIPTOR own_descriptor(HANDLE old)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    PACL dacl = nullptr;
    if (GetSecurityInfo(old, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &sd) !=
        ERROR_SUCCESS)
        return nullptr;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision;
    bool own = GetSecurityDescriptorControl(sd, &control, &revision) && (control & SE_DACL_PROTECTED) != 0;
    for (DWORD k = 0; !own && dacl != nullptr && k < dacl->AceCount; k++) {
        void *ace;
        if (GetAce(dacl, k, &ace) && (static_cast<ACE_HEADER *>(ace)->AceFlags & INHERITED_ACE) == 0)
            own = true;
    }
    if (!own) {
        LocalFree(sd);
        return nullptr;
    }
    return sd;
}

constexpr long status_access_denied = static_cast<long>(0xC0000022L);

// Renames the open file `h` to `name` in the directory `dir`, by its handle,
// replacing what is there when `replace` is set.  With POSIX semantics
// first (Windows 10 1709 on), under which a file still open elsewhere with
// deletion shared (say, the input being replaced) is replaced too; without
// them, the plain rename.  An NT status.
long rename_in(HANDLE h, HANDLE dir, const std::wstring &name, bool replace)
{
    const size_t bytes = name.size() * sizeof(wchar_t);
    std::string buf(sizeof(FILE_RENAME_INFORMATION) + bytes, '\0');
    auto *rename = reinterpret_cast<FILE_RENAME_INFORMATION *>(buf.data());
    rename->RootDirectory = dir;
    rename->FileNameLength = static_cast<ULONG>(bytes);
    memcpy(rename->FileName, name.data(), bytes);
    IO_STATUS_BLOCK io;
    auto *flags = reinterpret_cast<ULONG *>(buf.data());
    *flags = (replace ? rename_replace_if_exists : 0) | rename_posix_semantics;
    NTSTATUS st = NtSetInformationFile(h, &io, rename, static_cast<ULONG>(buf.size()),
                                       static_cast<FILE_INFORMATION_CLASS>(rename_information_ex));
    if (st == static_cast<NTSTATUS>(0xC0000003L) /* STATUS_INVALID_INFO_CLASS */ ||
        st == static_cast<NTSTATUS>(0xC0000002L) /* STATUS_NOT_IMPLEMENTED */ ||
        st == static_cast<NTSTATUS>(0xC000000DL) /* STATUS_INVALID_PARAMETER */) {
        *flags = 0;
        rename->ReplaceIfExists = replace;
        st = NtSetInformationFile(h, &io, rename, static_cast<ULONG>(buf.size()), FileRenameInformation);
    }
    return st;
}

// Where a file open elsewhere (with deletion shared) cannot be replaced in
// one step: the old file is renamed aside under a hidden name, the new one
// takes its name, and the old one goes when its last handle closes, as it
// would on POSIX systems.  Should the second rename fail, the old file
// gets its name back.
long replace_open_file(HANDLE tmp, HANDLE dir, const std::wstring &name)
{
    HANDLE old = detail::open_in_dir(dir, name, DELETE, share_all, FILE_OPEN, 0);
    if (old == nullptr)
        return status_access_denied;
    long st = -1;
    for (int tries = 0; tries < 100; tries++) {
        st = rename_in(old, dir, temporary_name() + L".old", false);
        if (st != static_cast<long>(0xC0000035L) /* STATUS_OBJECT_NAME_COLLISION */)
            break;
    }
    if (NT_SUCCESS(st)) {
        st = rename_in(tmp, dir, name, false);
        if (NT_SUCCESS(st))
            detail::delete_on_close(old);
        else
            rename_in(old, dir, name, false);
    }
    CloseHandle(old);
    return st;
}

// Why a rename over the target failed: another program holding it open
// without sharing (EBUSY), or whatever the system said.
void rename_failed(HANDLE dir, const std::wstring &name, long status)
{
    detail::set_errno_nt(status);
    if (errno != EACCES)
        return;
    HANDLE probe = detail::open_in_dir(dir, name, DELETE, share_all, FILE_OPEN, 0);
    if (probe != nullptr)
        CloseHandle(probe);
    else if (errno != EBUSY)
        errno = EACCES;
}

} // namespace

file_id id_of_output(const char *path)
{
    if (strcmp(path, "-") == 0)
        return id_of_fd(1);
    walked w;
    if (!detail::walk(path, w, detail::walk_end::look) || !w.exists)
        return {};
    return w.info.id;
}

bool output::use_stdout()
{
    HANDLE h = handle_of(1);
    if (h == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return false;
    }
    fd_ = 1;
    in_place_ = true;
    close_fd_ = false;
    LARGE_INTEGER zero{}, at{};
    seekable_ = GetFileType(h) == FILE_TYPE_DISK && SetFilePointerEx(h, zero, &at, FILE_CURRENT);
    base_ = seekable_ ? static_cast<uint64_t>(at.QuadPart) : 0;
    return true;
}

int open_directory(const char *path, bool create, mode_t mode, const char **why)
{
    if (why != nullptr)
        *why = nullptr;
    walked w;
    if (!detail::walk(path, w, detail::walk_end::directory)) {
        if (why != nullptr)
            *why = w.why;
        return -1;
    }
    handle_holder dir;
    if (w.exists) {
        if (w.device || !w.info.directory()) {
            errno = ENOTDIR;
            return -1;
        }
        dir.reset(w.node.release());
    } else {
        if (!create) {
            errno = ENOENT;
            return -1;
        }
        PSECURITY_DESCRIPTOR sd = private_mode(mode) ? private_descriptor() : nullptr;
        dir.reset(detail::open_in_dir(w.dir.get(), w.name, FILE_LIST_DIRECTORY | FILE_TRAVERSE | READ_CONTROL,
                                      share_all, FILE_OPEN_IF, FILE_DIRECTORY_FILE, 0, sd));
        LocalFree(sd);
        if (!dir.valid())
            return -1;
    }
    // Whatever holds the name now must be a directory that may be filled.
    detail::node_info info;
    if (!detail::info_of(dir.get(), info, true) && !detail::info_of(dir.get(), info, false))
        return -1;
    if (!info.directory() || info.link()) {
        errno = ENOTDIR;
        return -1;
    }
    if (const char *reason = detail::fill_refusal(info.sec)) {
        if (why != nullptr)
            *why = reason;
        errno = EACCES;
        return -1;
    }
    return detail::to_fd(dir.release());
}

bool output::open(const char *path, const file_id &input, const key_files &keys, mode_t mode)
{
    fresh_mode_ = mode;
    return open_walked(nullptr, path, input, keys, false);
}

bool output::open_in(int dir, const char *path, const file_id &input, const key_files &keys, mode_t mode)
{
    fresh_mode_ = mode;
    return open_walked(dir >= 0 ? handle_of(dir) : nullptr, path, input, keys, false);
}

// bgntag's output.  On Windows an existing regular file is always replaced
// (io.h): truncated in place, a failed write would leave a partial file.
bool output::open_truncating(const char *path, const file_id &input)
{
    fresh_mode_ = 0666;
    return open_walked(nullptr, path, input, {}, true);
}

bool output::open_walked(void *dir, const char *path, const file_id &input, const key_files &keys,
                         bool)
{
    failed_beside_ = aliases_input_ = aliases_key_ = false;
    refusal_ = nullptr;
    const auto refuse_alias = [&](bool of_key) {
        (of_key ? aliases_key_ : aliases_input_) = true;
        errno = EEXIST;
        return false;
    };
    const file_id out1 = id_of_fd(1);
    if (strcmp(path, "-") == 0) {
        if (aliases_any(out1, keys))
            return refuse_alias(true);
        if (aliases(out1, input))
            return refuse_alias(false);
        return use_stdout();
    }

    walked w;
    if (!detail::walk(path, w, detail::walk_end::output, static_cast<HANDLE>(dir))) {
        refusal_ = w.why;
        return false;
    }
    const file_id target = w.exists ? w.info.id : file_id{};
    if (aliases_any(target, keys))
        return refuse_alias(true);
    if (w.exists && !w.device && w.info.directory()) {
        errno = EISDIR;
        return false;
    }
    if (target.same(out1)) {
        // The file standard output has open: through that handle, which
        // keeps its offset.
        if (aliases(target, input))
            return refuse_alias(false);
        return use_stdout();
    }
    if (w.device) {
        // A device (NUL, a console, a named pipe): written in place.
        if (aliases(target, input))
            return refuse_alias(false);
        return write_in_place(w);
    }
    if (w.exists && (w.info.attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        errno = EACCES;
        return false;
    }
    return begin_replacement(w);
}

bool output::write_in_place(walked &w)
{
    fd_ = detail::to_fd(w.node.release());
    if (fd_ < 0)
        return false;
    in_place_ = close_fd_ = true;
    seekable_ = false;
    return true;
}

// Creates the temporary file beside the target the walk found.
bool output::begin_replacement(walked &w)
{
    if (w.exists) {
        // The rename at commit would fail on a file another program holds
        // open without sharing: say so now, before anything is written.
        handle_holder probe(detail::reopen(w, DELETE | READ_CONTROL, share_all));
        if (!probe.valid())
            return false;
        old_attributes_ = w.info.attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                               FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
    }
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (w.exists) {
        handle_holder old(detail::reopen(w, READ_CONTROL, share_all));
        if (old.valid())
            sd = own_descriptor(old.get());
    } else if (private_mode(fresh_mode_)) {
        sd = private_descriptor();
        if (sd == nullptr) {
            errno = EACCES;
            return false;
        }
    }
    HANDLE tmp = nullptr;
    std::wstring tmp_name;
    for (int tries = 0; tries < 100; tries++) {
        tmp_name = temporary_name();
        // No one else may open it until it is the output.
        tmp = detail::open_in_dir(w.dir.get(), tmp_name, GENERIC_WRITE | DELETE, 0, FILE_CREATE,
                                  FILE_NON_DIRECTORY_FILE, FILE_ATTRIBUTE_HIDDEN, sd);
        if (tmp != nullptr || errno != EEXIST)
            break;
    }
    LocalFree(sd);
    if (tmp == nullptr) {
        failed_beside_ = w.exists;
        return false;
    }
    {
        detail::pending_guard g;
        detail::arm_pending(tmp);
    }
    fd_ = detail::to_fd(tmp);
    dir_fd_ = detail::to_fd(w.dir.release());
    if (fd_ < 0 || dir_fd_ < 0) {
        const int e = errno;
        discard();
        errno = e;
        return false;
    }
    // The names, as UTF-16 in bytes, for commit() and discard().
    name_.assign(reinterpret_cast<const char *>(w.name.data()), w.name.size() * sizeof(wchar_t));
    tmp_.assign(reinterpret_cast<const char *>(tmp_name.data()), tmp_name.size() * sizeof(wchar_t));
    replaces_ = w.exists;
    seekable_ = true;
    base_ = 0;
    return true;
}

bool output::write(const void *buf, size_t len) { return write_all(fd_, buf, len); }

bool output::write_at(uint64_t offset, const void *buf, size_t len)
{
    uint64_t at = base_ + offset;
    return detail::write_fully(handle_of(fd_), static_cast<const uint8_t *>(buf), len, &at);
}

bool output::commit()
{
    if (fd_ < 0) {
        errno = EBADF;
        return false;
    }
    if (in_place_) {
        const bool ok = !close_fd_ || _close(fd_) == 0;
        fd_ = -1;
        return ok;
    }
    HANDLE tmp = handle_of(fd_);
    // The data must be on disk before the name points at it; then the
    // replacement takes the old file's attributes (and loses "hidden",
    // unless the old file had it).
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = old_attributes_ != 0 ? old_attributes_ : FILE_ATTRIBUTE_NORMAL;
    bool ok = FlushFileBuffers(tmp) && SetFileInformationByHandle(tmp, FileBasicInfo, &basic, sizeof basic);
    if (!ok)
        detail::set_errno(GetLastError());
    if (ok) {
        const std::wstring name(reinterpret_cast<const wchar_t *>(name_.data()), name_.size() / sizeof(wchar_t));
        HANDLE dir = handle_of(dir_fd_);
        detail::pending_guard g;
        long st = rename_in(tmp, dir, name, true);
        if (st == status_access_denied)
            st = replace_open_file(tmp, dir, name);
        ok = NT_SUCCESS(st);
        if (ok) {
            detail::disarm_pending();
            tmp_.clear();
        } else {
            rename_failed(dir, name, st);
        }
    }
    if (!ok) {
        const int e = errno;
        discard();
        errno = e;
        return false;
    }
    const bool closed = _close(fd_) == 0;
    fd_ = -1;
    _close(dir_fd_);
    dir_fd_ = -1;
    return closed;
}

void output::discard()
{
    const int saved = errno;
    if (fd_ >= 0 && !tmp_.empty()) {
        detail::pending_guard g;
        detail::delete_on_close(handle_of(fd_));
        detail::disarm_pending();
        tmp_.clear();
    }
    if (fd_ >= 0 && (close_fd_ || !in_place_))
        _close(fd_);
    fd_ = -1;
    if (dir_fd_ >= 0)
        _close(dir_fd_);
    dir_fd_ = -1;
    errno = saved;
}

} // namespace velkor_io
