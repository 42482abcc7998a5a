// SPDX-License-Identifier: MIT
// The programs' entry on Windows.  Windows hands a program its arguments
// as UTF-16; the programs take names as UTF-8, so each argument is
// converted once, here, and one that is not valid Unicode (an unpaired
// surrogate) is refused before anything else happens.  The standard
// streams are made binary, so that "-" carries bytes as they are and a
// message ends in "\n" as on Linux, and a console shows UTF-8.  Then the
// program's own main runs, renamed velkor_program_main by the build
// (tool/CMakeLists.txt).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

int velkor_program_main(int argc, char **argv);

namespace {

bool to_utf8(const wchar_t *wide, std::string &utf8)
{
    const int len = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, -1, nullptr, 0, nullptr, nullptr);
    if (len <= 0)
        return false;
    utf8.assign(static_cast<size_t>(len) - 1, '\0');
    return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, -1, utf8.data(), len, nullptr, nullptr) ==
           len;
}

// argv[0]'s last component, without ".exe": the name messages start with.
std::string short_name(const std::string &argv0)
{
    std::string name = argv0.substr(argv0.find_last_of("/\\:") + 1);
    if (name.size() > 4 && _stricmp(name.c_str() + name.size() - 4, ".exe") == 0)
        name.resize(name.size() - 4);
    return name;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    for (int fd : {0, 1, 2})
        _setmode(fd, _O_BINARY);
    for (DWORD which : {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE})
        if (GetFileType(GetStdHandle(which)) == FILE_TYPE_CHAR) {
            SetConsoleOutputCP(CP_UTF8);
            break;
        }

    static std::vector<std::string> args(static_cast<size_t>(argc));
    static std::string name;
    if (argc > 0 && to_utf8(argv[0], args[0]) && !(name = short_name(args[0])).empty())
        velkor_program_short_name = name.c_str();
    static std::vector<char *> pointers;
    for (int k = 0; k < argc; k++) {
        if (!to_utf8(argv[k], args[static_cast<size_t>(k)])) {
            fprintf(stderr, "%s: argument %d is not valid Unicode\n", velkor_program_short_name, k);
            return VELKOR_USAGE_STATUS;
        }
        pointers.push_back(args[static_cast<size_t>(k)].data());
    }
    pointers.push_back(nullptr);
    return velkor_program_main(argc, pointers.data());
}
