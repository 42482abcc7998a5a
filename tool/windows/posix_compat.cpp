// SPDX-License-Identifier: MIT
// The POSIX and glibc parts that posix_compat.h declares, for Windows.
#include "io.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include <windows.h>

// The real ones, which the wrappers below call.
#undef getenv
#undef getopt_long

extern "C" {

const char *velkor_program_short_name = "velkor";

namespace {

void report(const char *fmt, va_list ap, const int *error)
{
    fprintf(stderr, "%s: ", velkor_program_short_name);
    if (fmt != nullptr)
        vfprintf(stderr, fmt, ap);
    if (error != nullptr)
        fprintf(stderr, fmt != nullptr ? ": %s" : "%s", velkor_io::error_text(*error));
    fputc('\n', stderr);
}

} // namespace

void err(int status, const char *fmt, ...)
{
    const int e = errno;
    va_list ap;
    va_start(ap, fmt);
    report(fmt, ap, &e);
    va_end(ap);
    exit(status);
}

void errx(int status, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    report(fmt, ap, nullptr);
    va_end(ap);
    exit(status);
}

void warn(const char *fmt, ...)
{
    const int e = errno;
    va_list ap;
    va_start(ap, fmt);
    report(fmt, ap, &e);
    va_end(ap);
    errno = e;
}

void warnx(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    report(fmt, ap, nullptr);
    va_end(ap);
}

const char *velkor_getenv(const char *name)
{
    const int wide_len = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, nullptr, 0);
    if (wide_len <= 0)
        return nullptr;
    std::wstring wname(static_cast<size_t>(wide_len), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, wname.data(), wide_len);
    const wchar_t *value = _wgetenv(wname.c_str());
    if (value == nullptr)
        return nullptr;
    const int len = WideCharToMultiByte(CP_UTF8, 0, value, -1, nullptr, 0, nullptr, nullptr);
    if (len <= 0)
        return nullptr;
    // Never freed: getenv()'s result lives as long as the program may use
    // it, and the programs ask for one variable.
    auto *utf8 = new std::string(static_cast<size_t>(len), '\0');
    WideCharToMultiByte(CP_UTF8, 0, value, -1, utf8->data(), len, nullptr, nullptr);
    return utf8->c_str();
}

int velkor_getopt_long(int argc, char *const *argv, const char *options, const struct option *longopts,
                       int *longindex)
{
    const int c = getopt_long(argc, argv, options, longopts, longindex);
    // mingw-w64's reports "--json=1" as a missing value; glibc, as an
    // option that takes none.
    if (c == ':' && optind > 0 && optind <= argc) {
        const char *typed = argv[optind - 1];
        if (strncmp(typed, "--", 2) == 0 && strchr(typed, '=') != nullptr)
            return '?';
    }
    return c;
}

} // extern "C"
