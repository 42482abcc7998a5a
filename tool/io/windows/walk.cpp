// SPDX-License-Identifier: MIT
// The walk of a name on Windows, one component at a time, each opened
// relative to the directory handle before it and never through a reparse
// point, so the file that is checked is the file that is read or written:
// no name is looked up twice and no path is rebuilt from a link's text,
// which is only read to continue the walk from the link's own directory
// handle or from the root of the volume it names.
//
// What the walk may step onto is decided here and nowhere else, by the
// rule io.h states in Windows' terms: entry_refusal() for every entry on
// the way, the bound of safe transitions once another user's link is
// followed, and fill_refusal() for a directory that new files are made in.
#include "internal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cwctype>
#include <string>
#include <vector>

#include <aclapi.h>
#include <sddl.h>
#include <sys/stat.h>
#include <winioctl.h>
#include <winternl.h>

namespace velkor_io::detail {
namespace {

const char unsafe_link[] = "another user's link leads to what that user does not own";
constexpr ULONG share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ACCESS_MASK look_access = FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;

// What lets someone put an entry into a directory, or take one out: to
// add a file or a subdirectory, to delete a child, or to give themselves
// any of those by changing the access list or the owner.
constexpr ACCESS_MASK directory_write = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD | WRITE_DAC |
                                        WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

sid_bytes bytes_of(PSID sid)
{
    if (sid == nullptr || !IsValidSid(sid))
        return {};
    const auto *p = static_cast<const uint8_t *>(sid);
    return sid_bytes(p, p + GetLengthSid(sid));
}

sid_bytes well_known(WELL_KNOWN_SID_TYPE type)
{
    BYTE buf[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof buf;
    return CreateWellKnownSid(type, nullptr, buf, &size) ? bytes_of(buf) : sid_bytes{};
}

sid_bytes from_string(const wchar_t *text)
{
    PSID sid = nullptr;
    if (!ConvertStringSidToSidW(text, &sid))
        return {};
    sid_bytes b = bytes_of(sid);
    LocalFree(sid);
    return b;
}

// The process token's user and its default owner for new objects (for an
// elevated administrator, Administrators).
struct token_sids {
    sid_bytes user, owner;
    token_sids()
    {
        HANDLE token;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
            return;
        BYTE buf[512];
        DWORD len;
        if (GetTokenInformation(token, TokenUser, buf, sizeof buf, &len))
            user = bytes_of(reinterpret_cast<TOKEN_USER *>(buf)->User.Sid);
        if (GetTokenInformation(token, TokenOwner, buf, sizeof buf, &len))
            owner = bytes_of(reinterpret_cast<TOKEN_OWNER *>(buf)->Owner);
        CloseHandle(token);
    }
};

const token_sids &token()
{
    static const token_sids t;
    return t;
}

// "OWNER RIGHTS": an entry of the access list for whoever owns the file.
const sid_bytes &owner_rights()
{
    static const sid_bytes s = from_string(L"S-1-3-4");
    return s;
}

// Splits a whole name into the root of its volume, in the form that opens
// it ("\\?\C:\", "\\?\UNC\server\share\", "\\?\Volume{...}\"), and the
// rest.  Takes what GetFullPathNameW gives and a link's target alike.
bool split_root(const std::wstring &full, std::wstring &root, std::wstring &rest)
{
    std::wstring q;
    if (full.starts_with(L"\\\\?\\") || full.starts_with(L"\\??\\"))
        q = full.substr(4);
    else if (full.starts_with(L"\\\\"))
        q = L"UNC\\" + full.substr(2);
    else
        q = full;
    size_t end;
    if (q.size() >= 2 && q[1] == L':' && iswalpha(q[0]) && (q.size() == 2 || q[2] == L'\\')) {
        end = 2;
    } else if (_wcsnicmp(q.c_str(), L"UNC\\", 4) == 0) {
        const size_t server = q.find(L'\\', 4);
        if (server == std::wstring::npos)
            return false;
        end = q.find(L'\\', server + 1);
        if (end == std::wstring::npos)
            end = q.size();
    } else if (_wcsnicmp(q.c_str(), L"Volume{", 7) == 0) {
        end = q.find(L'\\');
        if (end == std::wstring::npos)
            end = q.size();
    } else {
        return false;
    }
    root = L"\\\\?\\" + q.substr(0, end) + L"\\";
    rest = end < q.size() ? q.substr(end + 1) : std::wstring();
    return true;
}

HANDLE open_root(const std::wstring &root)
{
    HANDLE h = CreateFileW(root.c_str(), look_access, share_all, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        set_errno(GetLastError());
        return nullptr;
    }
    return h;
}

bool keeps_owners(HANDLE h)
{
    DWORD flags = 0;
    if (!GetVolumeInformationByHandleW(h, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0))
        return true; // cannot tell: at the rule's strictest
    return (flags & FILE_PERSISTENT_ACLS) != 0;
}

// The whole name Windows makes of `name`: from the working directory, with
// "." and ".." taken by their text.
bool full_name(const std::wstring &name, std::wstring &full)
{
    DWORD size = MAX_PATH;
    for (;;) {
        full.assign(size, L'\0');
        const DWORD n = GetFullPathNameW(name.c_str(), size, full.data(), nullptr);
        if (n == 0) {
            set_errno(GetLastError());
            return false;
        }
        if (n < size) {
            full.resize(n);
            return true;
        }
        size = n;
    }
}

// The directory that holds the directory open at h: by h's final name,
// the one place where a name is looked up again (".." in a link's text,
// or above the directory a relative name starts from).
HANDLE open_parent(HANDLE h)
{
    std::wstring final(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetFinalPathNameByHandleW(h, final.data(), static_cast<DWORD>(final.size()),
                                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (n == 0) {
            set_errno(GetLastError());
            return nullptr;
        }
        if (n < final.size()) {
            final.resize(n);
            break;
        }
        final.assign(n + 1, L'\0');
    }
    std::wstring root, rest;
    if (!split_root(final, root, rest)) {
        errno = ENOENT;
        return nullptr;
    }
    while (!rest.empty() && rest.back() == L'\\')
        rest.pop_back();
    const size_t slash = rest.rfind(L'\\');
    const std::wstring parent = root + (slash == std::wstring::npos ? std::wstring() : rest.substr(0, slash));
    HANDLE p = CreateFileW(parent.c_str(), look_access, share_all, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (p == INVALID_HANDLE_VALUE) {
        set_errno(GetLastError());
        return nullptr;
    }
    return p;
}

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

// Splits a name into components, dropping empty ones and "."; pushed on
// the stack last first.  `directory` adds a final "." so that the walk
// ends on a directory, which an output cannot be.
void push_components(std::vector<std::wstring> &stack, const std::wstring &path, bool directory)
{
    std::vector<std::wstring> parts;
    size_t at = 0;
    while (at <= path.size()) {
        size_t sep = at;
        while (sep < path.size() && !is_separator(path[sep]))
            sep++;
        std::wstring part = path.substr(at, sep - at);
        if (!part.empty() && part != L".")
            parts.push_back(std::move(part));
        at = sep + 1;
    }
    if (directory)
        parts.push_back(L".");
    for (auto it = parts.rbegin(); it != parts.rend(); ++it)
        stack.push_back(std::move(*it));
}

// Whether a name, as typed, can only be a directory's: "out\", "out/.", ".".
bool names_directory(const std::wstring &p)
{
    return !p.empty() && (is_separator(p.back()) || p == L"." ||
                          (p.size() >= 2 && p.back() == L'.' && is_separator(p[p.size() - 2])));
}

// A symbolic link's or a junction's target: `absolute` for a whole name
// ("\??\C:\x" made "\\?\C:\x"), else text relative to the link's directory.
bool link_target(HANDLE h, std::wstring &target, bool &absolute)
{
    // The layout of the reparse data of a name surrogate.
    struct reparse_data {
        ULONG tag;
        USHORT data_length;
        USHORT reserved;
        USHORT substitute_offset, substitute_length, print_offset, print_length;
        ULONG flags; // symbolic links only
    };
    std::vector<uint8_t> buf(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
    DWORD got = 0;
    if (!DeviceIoControl(h, FSCTL_GET_REPARSE_POINT, nullptr, 0, buf.data(), static_cast<DWORD>(buf.size()),
                         &got, nullptr)) {
        set_errno(GetLastError());
        return false;
    }
    reparse_data head;
    if (got < offsetof(reparse_data, flags)) {
        errno = EINVAL;
        return false;
    }
    memcpy(&head, buf.data(), std::min<size_t>(got, sizeof head));
    size_t names;
    if (head.tag == IO_REPARSE_TAG_SYMLINK) {
        names = sizeof head;
        absolute = (head.flags & SYMLINK_FLAG_RELATIVE) == 0;
    } else if (head.tag == IO_REPARSE_TAG_MOUNT_POINT) {
        names = offsetof(reparse_data, flags);
        absolute = true;
    } else {
        // Another kind of name surrogate, whose target the walk cannot read.
        errno = EINVAL;
        return false;
    }
    if (names + head.substitute_offset + head.substitute_length > got || head.substitute_length == 0) {
        errno = EINVAL;
        return false;
    }
    target.assign(head.substitute_length / sizeof(wchar_t), L'\0');
    memcpy(target.data(), buf.data() + names + head.substitute_offset, head.substitute_length);
    return true;
}

} // namespace

bool is_me(const sid_bytes &sid)
{
    return !sid.empty() && (sid == token().user || sid == token().owner);
}

bool is_root(const sid_bytes &sid)
{
    static const sid_bytes system = well_known(WinLocalSystemSid);
    static const sid_bytes admins = well_known(WinBuiltinAdministratorsSid);
    static const sid_bytes installer =
        from_string(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464");
    return !sid.empty() && (sid == system || sid == admins || sid == installer);
}

bool security_from(PSECURITY_DESCRIPTOR sd, bool directory, security &s)
{
    s = security{};
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!GetSecurityDescriptorOwner(sd, &owner, &defaulted)) {
        set_errno(GetLastError());
        return false;
    }
    s.known = true;
    s.owner = bytes_of(owner);
    if (!directory)
        return true;
    BOOL present = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted)) {
        set_errno(GetLastError());
        return false;
    }
    if (!present || dacl == nullptr) {
        s.anyone = true;
        return true;
    }
    for (DWORD k = 0; k < dacl->AceCount; k++) {
        void *ace = nullptr;
        if (!GetAce(dacl, k, &ace))
            continue;
        const auto *head = static_cast<const ACE_HEADER *>(ace);
        if ((head->AceFlags & INHERIT_ONLY_ACE) != 0)
            continue;
        switch (head->AceType) {
        case ACCESS_ALLOWED_ACE_TYPE:
        case ACCESS_ALLOWED_CALLBACK_ACE_TYPE: {
            const auto *allowed = static_cast<const ACCESS_ALLOWED_ACE *>(ace);
            if ((allowed->Mask & directory_write) == 0)
                break;
            sid_bytes who = bytes_of(const_cast<DWORD *>(&allowed->SidStart));
            s.writers.push_back(who == owner_rights() ? s.owner : who);
            break;
        }
        case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
        case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
            // Not found on files; whoever it names, at the rule's strictest.
            if ((static_cast<const ACCESS_ALLOWED_OBJECT_ACE *>(ace)->Mask & directory_write) != 0)
                s.anyone = true;
            break;
        default:
            break; // denials are not counted on: at the rule's strictest
        }
    }
    // An owner may always rewrite the list.
    s.writers.push_back(s.owner);
    return true;
}

const char *entry_refusal(const security &dir, const security &entry, unsigned kind)
{
    if (!dir.known || !entry.known)
        return nullptr; // a volume that keeps no owners
    const sid_bytes &owner = entry.owner;
    if (is_me(owner) || is_root(owner))
        return nullptr;
    bool others = dir.anyone;
    for (const sid_bytes &w : dir.writers)
        if (w != owner && !is_me(w) && !is_root(w))
            others = true;
    if (!others)
        return nullptr;
    switch (kind) {
    case 0:
        return "another user's link in a directory others can write";
    case S_IFREG:
        return "a file of another user in a directory others can write";
    case S_IFDIR:
        return "a directory of another user in a directory others can write";
    default:
        return "another user's entry in a directory others can write";
    }
}

const char *fill_refusal(const security &dir)
{
    if (!dir.known)
        return nullptr;
    if (!is_me(dir.owner) && !is_root(dir.owner))
        return "the directory belongs to another user";
    bool others = dir.anyone;
    for (const sid_bytes &w : dir.writers)
        if (!is_me(w) && !is_root(w))
            others = true;
    // No sticky directories on Windows: no exception for them.
    return others ? "others can write to the directory" : nullptr;
}

file_id id_of_handle(HANDLE h)
{
    file_id id;
    switch (GetFileType(h)) {
    case FILE_TYPE_CHAR:
        id.mode = S_IFCHR;
        return id;
    case FILE_TYPE_PIPE:
        id.mode = S_IFIFO;
        return id;
    case FILE_TYPE_DISK:
        break;
    default:
        return id;
    }
    BY_HANDLE_FILE_INFORMATION bh;
    if (!GetFileInformationByHandle(h, &bh))
        return id; // a disk or volume opened whole, say
    id.mode = (bh.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? S_IFDIR : S_IFREG;
    id.dev = bh.dwVolumeSerialNumber;
    id.ino = uint64_t{bh.nFileIndexHigh} << 32 | bh.nFileIndexLow;
    // ReFS numbers its files with 128 bits; the 64 above are then not enough.
    FILE_ID_INFO full;
    if (GetFileInformationByHandleEx(h, FileIdInfo, &full, sizeof full)) {
        id.dev = full.VolumeSerialNumber;
        memcpy(&id.ino, full.FileId.Identifier, 8);
        memcpy(&id.ino_high, full.FileId.Identifier + 8, 8);
    }
    id.valid = true;
    return id;
}

bool info_of(HANDLE h, node_info &info, bool with_security)
{
    info = node_info{};
    FILE_ATTRIBUTE_TAG_INFO tag;
    BY_HANDLE_FILE_INFORMATION bh;
    if (!GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag) ||
        !GetFileInformationByHandle(h, &bh)) {
        set_errno(GetLastError());
        return false;
    }
    info.attributes = tag.FileAttributes;
    info.reparse_tag = (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? tag.ReparseTag : 0;
    info.links = bh.nNumberOfLinks;
    info.size = uint64_t{bh.nFileSizeHigh} << 32 | bh.nFileSizeLow;
    info.id = id_of_handle(h);
    if (!with_security)
        return true;
    PSECURITY_DESCRIPTOR sd = nullptr;
    const DWORD e = GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, nullptr, nullptr, &sd);
    if (e != ERROR_SUCCESS) {
        set_errno(e);
        return false;
    }
    const bool ok = security_from(sd, info.directory(), info.sec);
    LocalFree(sd);
    return ok;
}

HANDLE open_in_dir(HANDLE dir, const std::wstring &name, ACCESS_MASK access, ULONG share, ULONG disposition,
                   ULONG options, ULONG attributes, PSECURITY_DESCRIPTOR sd)
{
    if (name.size() * sizeof(wchar_t) > 0xFFFE) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    UNICODE_STRING us;
    us.Buffer = const_cast<wchar_t *>(name.c_str());
    us.Length = us.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &us, OBJ_CASE_INSENSITIVE, dir, sd);
    IO_STATUS_BLOCK io;
    HANDLE h = nullptr;
    const NTSTATUS st = NtCreateFile(&h, access | SYNCHRONIZE, &oa, &io, nullptr, attributes, share, disposition,
                                     options | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT, nullptr, 0);
    if (!NT_SUCCESS(st)) {
        set_errno_nt(st);
        return nullptr;
    }
    return h;
}

HANDLE reopen(const walked &w, ACCESS_MASK access, ULONG share)
{
    if (w.device) {
        HANDLE h = CreateFileW(w.device_path.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            set_errno(GetLastError());
            return nullptr;
        }
        return h;
    }
    // An empty name relative to a handle opens that very file again.
    UNICODE_STRING empty{0, 0, nullptr};
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &empty, 0, w.node.get(), nullptr);
    IO_STATUS_BLOCK io;
    HANDLE h = nullptr;
    const NTSTATUS st = NtCreateFile(&h, access | SYNCHRONIZE, &oa, &io, nullptr, 0, share, FILE_OPEN,
                                     FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, nullptr, 0);
    if (NT_SUCCESS(st))
        return h;
    if (RtlNtStatusToDosError(st) != ERROR_INVALID_NAME && RtlNtStatusToDosError(st) != ERROR_INVALID_PARAMETER &&
        RtlNtStatusToDosError(st) != ERROR_FILE_NOT_FOUND) {
        set_errno_nt(st);
        return nullptr;
    }
    // A system that cannot reopen a handle: the name once more, in the
    // pinned directory, and anything but the file checked is refused.
    h = open_in_dir(w.dir.get(), w.name, access, share, FILE_OPEN, FILE_NON_DIRECTORY_FILE);
    if (h != nullptr && !id_of_handle(h).same(w.info.id)) {
        CloseHandle(h);
        errno = EAGAIN;
        return nullptr;
    }
    return h;
}

bool walk(const char *path, walked &w, walk_end end, HANDLE base)
{
    std::wstring name;
    if (!to_wide(path, name))
        return false;
    if (name.empty()) {
        errno = ENOENT;
        return false;
    }
    const auto refuse = [&w](const char *why) {
        w.why = why;
        errno = EACCES;
        return false;
    };
    std::vector<std::wstring> stack;
    handle_holder cur;
    const bool relative = !is_separator(name[0]) && !(name.size() >= 2 && name[1] == L':');
    if (base != nullptr && !relative) {
        // Names made inside a directory (scan's) never leave it.
        errno = EINVAL;
        return false;
    }
    if (base != nullptr) {
        HANDLE dup;
        if (!DuplicateHandle(GetCurrentProcess(), base, GetCurrentProcess(), &dup, 0, FALSE,
                             DUPLICATE_SAME_ACCESS)) {
            set_errno(GetLastError());
            return false;
        }
        cur.reset(dup);
        push_components(stack, name, names_directory(name));
    } else {
        std::wstring full, root, rest;
        if (!full_name(name, full))
            return false;
        if (full.starts_with(L"\\\\.\\")) {
            // A device: NUL, CON, a named pipe, a disk opened whole.
            if (end == walk_end::directory) {
                errno = ENOTDIR;
                return false;
            }
            w.device = w.exists = true;
            w.device_path = full;
            w.info.id.mode = S_IFCHR;
            if (end == walk_end::output) {
                w.node.reset(reopen(w, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE));
                if (!w.node.valid())
                    return false;
                w.info.id = id_of_handle(w.node.get());
            }
            return true;
        }
        if (!split_root(full, root, rest)) {
            errno = ENOENT;
            return false;
        }
        cur.reset(open_root(root));
        if (!cur.valid())
            return false;
        push_components(stack, rest, names_directory(name));
    }

    bool owners = keeps_owners(cur.get());
    // The directory's security, read when first needed.
    security dir_sec;
    bool have_dir_sec = false;
    const auto dir_security = [&]() -> const security * {
        if (!have_dir_sec) {
            node_info di;
            if (!info_of(cur.get(), di, true))
                return nullptr;
            dir_sec = di.sec;
            have_dir_sec = true;
        }
        return &dir_sec;
    };
    // Once another user's link has been followed, everything further must
    // be that user's: `bound` holds their identifier.
    bool bounded = false;
    sid_bytes bound;
    const auto beyond_bound = [&](HANDLE h) {
        node_info i;
        return bounded && (!info_of(h, i, owners) || (i.sec.known && i.sec.owner != bound));
    };
    int links = 0;
    while (!stack.empty()) {
        const std::wstring part = std::move(stack.back());
        stack.pop_back();
        const bool last = stack.empty();
        if (part == L"." || part == L"..") {
            if (part == L"..") {
                cur.reset(open_parent(cur.get()));
                have_dir_sec = false;
                if (!cur.valid())
                    return false;
                if (beyond_bound(cur.get()))
                    return refuse(unsafe_link);
            }
            if (last) {
                if (end != walk_end::directory) {
                    errno = EISDIR;
                    return false;
                }
                if (!info_of(cur.get(), w.info, owners))
                    return false;
                w.node.reset(cur.release());
                w.exists = true;
                return true;
            }
            continue;
        }
        handle_holder node(open_in_dir(cur.get(), part, look_access, share_all, FILE_OPEN, 0));
        if (!node.valid()) {
            if (errno == ENOENT && last) {
                w.dir.reset(cur.release());
                w.name = part;
                w.exists = false;
                return true;
            }
            return false;
        }
        node_info info;
        if (!info_of(node.get(), info, owners))
            return false;
        if (owners) {
            const security *ds = dir_security();
            if (ds == nullptr)
                return false;
            if (bounded && info.sec.known && info.sec.owner != bound)
                return refuse(unsafe_link);
            const unsigned kind = info.link() ? 0u : info.directory() ? S_IFDIR : S_IFREG;
            if (const char *why = entry_refusal(*ds, info.sec, kind))
                return refuse(why);
        }
        if (info.link()) {
            if (++links > 40) {
                errno = ELOOP;
                return false;
            }
            if (!bounded && info.sec.known && !is_me(info.sec.owner) && !is_root(info.sec.owner)) {
                bounded = true;
                bound = info.sec.owner;
            }
            std::wstring target;
            bool absolute = false;
            if (!link_target(node.get(), target, absolute))
                return false;
            if (absolute) {
                std::wstring root, rest;
                if (!split_root(target, root, rest)) {
                    errno = ENOENT;
                    return false;
                }
                cur.reset(open_root(root));
                have_dir_sec = false;
                if (!cur.valid())
                    return false;
                owners = keeps_owners(cur.get());
                if (beyond_bound(cur.get()))
                    return refuse(unsafe_link);
                target = rest;
            }
            push_components(stack, target, false);
            continue;
        }
        if (last) {
            w.dir.reset(cur.release());
            w.name = part;
            w.node.reset(node.release());
            w.exists = true;
            w.info = info;
            return true;
        }
        if (!info.directory()) {
            errno = ENOTDIR;
            return false;
        }
        cur.reset(node.release());
        dir_sec = info.sec;
        have_dir_sec = owners;
    }
    errno = EISDIR;
    return false;
}

} // namespace velkor_io::detail
