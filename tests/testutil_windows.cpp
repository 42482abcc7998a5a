// SPDX-License-Identifier: MIT
// Running a program on Windows, with its output captured: CreateProcessW
// with pipes, each drained by a thread of its own.  Built for Windows only
// (tests/CMakeLists.txt); testutil_posix.cpp is the POSIX side.
#include "testutil.h"

#include <stdexcept>
#include <thread>

#include <windows.h>
#include <winioctl.h>

namespace testutil {
namespace {

std::wstring wide(const std::string &s)
{
    if (s.empty())
        return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

// One argument as the C run-time splits a command line back into argv:
// quoted when it holds a space, a tab or a quote (or is empty), with the
// backslashes before a quote, and at the end, doubled.
std::wstring quoted(const std::wstring &arg)
{
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos)
        return arg;
    std::wstring q = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            backslashes++;
            continue;
        }
        q.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        q += c;
    }
    q.append(2 * backslashes, L'\\');
    return q + L"\"";
}

// A pipe whose `child_end` (0: read, 1: write) the child inherits.
void make_pipe(HANDLE ends[2], int child_end)
{
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    if (!CreatePipe(&ends[0], &ends[1], &sa, 0))
        throw std::runtime_error("CreatePipe failed");
    SetHandleInformation(ends[1 - child_end], HANDLE_FLAG_INHERIT, 0);
}

void drain(HANDLE from, std::string &into)
{
    char chunk[4096];
    DWORD n;
    while (ReadFile(from, chunk, sizeof chunk, &n, nullptr) && n > 0)
        into.append(chunk, n);
}

// The Linux name of a file that wine shows as `windows_name`, by wine's
// own kernel32 export; empty where there is none (not wine).
std::string unix_name(const std::string &windows_name)
{
    using to_unix = char *(CDECL *)(const wchar_t *);
    static const auto convert = reinterpret_cast<to_unix>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
    if (convert == nullptr)
        return {};
    char *name = convert(fs_path(windows_name).c_str());
    if (name == nullptr)
        return {};
    std::string s = name;
    HeapFree(GetProcessHeap(), 0, name);
    return s;
}

bool windows_path(const std::string &s)
{
    return s.size() >= 3 && s[1] == ':' && (s[2] == '/' || s[2] == '\\');
}

std::string shell_quoted(const std::string &s)
{
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

result run_windows(const std::vector<std::string> &argv, const bytes *input);

// A Linux program (python3, for the tests that read JSON and SVG back),
// started by wine: wine hands it no pipes of ours and no handle to wait
// on, so a shell script that /bin/sh runs names its standard streams as
// files, gives the Windows names among its arguments in the Linux form,
// and leaves its exit status in a file of its own once it has ended.
result run_linux(const std::vector<std::string> &argv, const bytes *input)
{
    result r;
    scratch_dir io;
    write_file(io / "in", input != nullptr ? *input : bytes{});
    write_file(io / "out", {});
    write_file(io / "err", {});
    std::string script;
    for (const std::string &a : argv) {
        const std::string linux_name = windows_path(a) ? unix_name(a) : std::string();
        script.push_back(' ');
        script.append(shell_quoted(linux_name.empty() ? a : linux_name));
    }
    const std::pair<const char *, const char *> streams[] = {{" <", "in"}, {" >", "out"}, {" 2>", "err"}};
    for (const auto &[redirect, file] : streams) {
        script.append(redirect);
        script.append(shell_quoted(unix_name(io / file)));
    }
    const std::string status = shell_quoted(unix_name(io / "status"));
    script += "\necho $? >" + status + ".new && mv " + status + ".new " + status + "\n";
    write_file(io / "run.sh", to_bytes(script));
    const std::string sh_script = unix_name(io / "run.sh");
    if (sh_script.empty()) {
        r.status = 127;
        r.err = "cannot run " + argv[0] + " outside wine";
        return r;
    }
    run_windows({"/bin/sh", sh_script}, nullptr);
    for (int k = 0; k < 12000 && !exists(io / "status"); k++)
        Sleep(10);
    if (!exists(io / "status")) {
        r.status = 126;
        r.err = argv[0] + " did not end within 120 s";
        return r;
    }
    const bytes out = read_file(io / "out"), err = read_file(io / "err"), status_text = read_file(io / "status");
    r.status = std::stoi(std::string(status_text.begin(), status_text.end()));
    r.out.assign(out.begin(), out.end());
    r.err.assign(err.begin(), err.end());
    return r;
}

} // namespace

result run(const std::vector<std::string> &argv, no_setup, const bytes *input)
{
    return !argv.empty() && argv[0].starts_with("/") ? run_linux(argv, input) : run_windows(argv, input);
}

namespace {

result run_windows(const std::vector<std::string> &argv, const bytes *input)
{
    std::wstring line;
    for (const std::string &a : argv)
        line += (line.empty() ? L"" : L" ") + quoted(wide(a));

    HANDLE out[2], err[2], in[2] = {nullptr, nullptr};
    make_pipe(out, 1);
    make_pipe(err, 1);
    if (input != nullptr) {
        make_pipe(in, 0);
    } else {
        SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
        in[0] = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0,
                            nullptr);
    }
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in[0];
    si.hStdOutput = out[1];
    si.hStdError = err[1];
    PROCESS_INFORMATION pi;
    const BOOL started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                                        nullptr, &si, &pi);
    CloseHandle(out[1]);
    CloseHandle(err[1]);
    CloseHandle(in[0]);
    result r;
    if (!started) {
        CloseHandle(out[0]);
        CloseHandle(err[0]);
        if (in[1] != nullptr)
            CloseHandle(in[1]);
        r.status = 127;
        r.err = "cannot start " + argv[0];
        return r;
    }
    std::thread feeder;
    if (input != nullptr)
        feeder = std::thread([&] {
            size_t at = 0;
            DWORD n;
            while (at < input->size() &&
                   WriteFile(in[1], input->data() + at,
                             static_cast<DWORD>(std::min<size_t>(input->size() - at, 1 << 20)), &n, nullptr))
                at += n; // the reader may stop early: fine
            CloseHandle(in[1]);
        });
    std::thread err_reader([&] { drain(err[0], r.err); });
    drain(out[0], r.out);
    err_reader.join();
    if (feeder.joinable())
        feeder.join();
    CloseHandle(out[0]);
    CloseHandle(err[0]);
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    r.status = static_cast<int>(code);
    return r;
}

} // namespace

void set_env(const std::string &name, const char *value)
{
    SetEnvironmentVariableW(wide(name).c_str(), value != nullptr ? wide(value).c_str() : nullptr);
}

} // namespace testutil

int mkdir(const char *path, unsigned)
{
    return CreateDirectoryW(testutil::fs_path(path).c_str(), nullptr) ? 0 : -1;
}

int truncate(const char *path, int64_t length)
{
    HANDLE h = CreateFileW(testutil::fs_path(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    DWORD got;
    DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &got, nullptr); // where it can
    FILE_END_OF_FILE_INFO end;
    end.EndOfFile.QuadPart = length;
    const bool ok = SetFileInformationByHandle(h, FileEndOfFileInfo, &end, sizeof end);
    CloseHandle(h);
    return ok ? 0 : -1;
}
