// SPDX-License-Identifier: MIT
// What the Windows parts of tool/io share and nothing else sees: handles
// held for a scope, names as UTF-16, errors as errno, the walk of a name
// and its rule in Windows' terms (io.h, "On Windows"), the temporary file
// that Ctrl-C must remove, and whole reads and writes.
#pragma once

#include "io.h"

#include <cstdint>
#include <string>
#include <vector>

#include <windows.h>

namespace velkor_io::detail {

class handle_holder {
public:
    explicit handle_holder(HANDLE h = nullptr) : h_(h) {}
    ~handle_holder() { reset(); }
    handle_holder(const handle_holder &) = delete;
    handle_holder &operator=(const handle_holder &) = delete;
    HANDLE get() const { return h_; }
    bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
    HANDLE release()
    {
        HANDLE h = h_;
        h_ = nullptr;
        return h;
    }
    void reset(HANDLE h = nullptr)
    {
        if (valid())
            CloseHandle(h_);
        h_ = h;
    }

private:
    HANDLE h_;
};

// A UTF-8 name as UTF-16, decoded by lib/utf8.h; false with EILSEQ when
// it is not UTF-8.
bool to_wide(const char *utf8, std::wstring &wide);

// errno for a Windows error, or for an NT status.
void set_errno(DWORD error);
void set_errno_nt(long status);

// A C run-time descriptor that owns h (closed, and h with it, by close());
// -1 with errno, and h closed, on failure.
int to_fd(HANDLE h);
// The handle under a descriptor, or INVALID_HANDLE_VALUE.
HANDLE handle_of(int fd);

// Who owns an entry and who may add entries to it or remove them, as the
// rule sees them.  Security identifiers are kept as their bytes.
using sid_bytes = std::vector<uint8_t>;
struct security {
    bool known = false;  // false where the volume keeps no owners
    sid_bytes owner;
    bool anyone = false; // no access list: anyone may write
    std::vector<sid_bytes> writers; // those an access list lets write
};

// What the rule needs of a security descriptor: its owner, and, for a
// directory, its possible writers (the owner among them).
bool security_from(PSECURITY_DESCRIPTOR sd, bool directory, security &s);

// The rule of trust (io.h) for one entry, found in a directory, in
// Windows' terms: null when the entry may be stepped onto, followed, read
// or written; else why not.  `kind` is S_IFDIR, S_IFREG or 0 for a link.
const char *entry_refusal(const security &dir, const security &entry, unsigned kind);

// The rule for a directory that new files are made in: null when `dir`
// may be filled, else why not.
const char *fill_refusal(const security &dir);

// Whether sid is the effective user's, or root's (LocalSystem,
// Administrators, TrustedInstaller).
bool is_me(const sid_bytes &sid);
bool is_root(const sid_bytes &sid);

// What the walk found.
struct node_info {
    file_id id;
    DWORD attributes = 0;
    DWORD reparse_tag = 0;
    DWORD links = 0;
    uint64_t size = 0;
    security sec;
    bool directory() const { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
    // A symbolic link or a junction: a name that stands for another.
    bool link() const
    {
        return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && IsReparseTagNameSurrogate(reparse_tag);
    }
};

// The identity and type of an open file; with_security reads its owner
// and access list too (READ_CONTROL).
bool info_of(HANDLE h, node_info &info, bool with_security);
file_id id_of_handle(HANDLE h);

// Where a name leads.
struct walked {
    handle_holder dir;    // the directory that holds the last component
    std::wstring name;    // that component
    handle_holder node;   // the file itself when it exists (attributes only)
    bool exists = false;
    bool device = false;  // a device's name, not in any directory
    std::wstring device_path;
    node_info info;
    const char *why = nullptr; // set with EACCES: the rule that refused
};

enum class walk_end {
    output,    // the last component is a file to write (or to create)
    look,      // the same, only looked at: an input, or an output's identity
    directory, // the name is a directory's
};

// Walks `path` (UTF-8) to the file it names, relative to `base` (a
// directory handle) when given and the name is relative, by the rule io.h
// states.  The last component need not exist.
bool walk(const char *path, walked &w, walk_end end, HANDLE base = nullptr);

// Opens `name` in the directory `dir` (NtCreateFile relative to it),
// never following a reparse point; null with errno on failure.
HANDLE open_in_dir(HANDLE dir, const std::wstring &name, ACCESS_MASK access, ULONG share, ULONG disposition,
                   ULONG options, ULONG attributes = 0, PSECURITY_DESCRIPTOR sd = nullptr);

// Opens again, with `access`, the very file `w` holds: from its handle,
// never by its name; a device by its name.  Null with errno on failure.
HANDLE reopen(const walked &w, ACCESS_MASK access, ULONG share);

// The temporary file that Ctrl-C, exit() or a crash must remove, by its
// handle (which has DELETE access).  Call both inside a pending_guard.
void arm_pending(HANDLE h);
void disarm_pending();

// Keeps the console's handler from acting on the pending file while it
// changes.
class pending_guard {
public:
    pending_guard();
    ~pending_guard();
    pending_guard(const pending_guard &) = delete;
    pending_guard &operator=(const pending_guard &) = delete;
};

// Marks an open file to be deleted when its last handle closes.
bool delete_on_close(HANDLE h);

// Reads or writes all len bytes, at *at when given (advancing it, and
// leaving the file pointer where it was), else at the file pointer.
int64_t read_fully(HANDLE h, void *buf, size_t len, const uint64_t *at);
bool write_fully(HANDLE h, const uint8_t *p, size_t len, uint64_t *at);

} // namespace velkor_io::detail
