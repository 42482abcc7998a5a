// SPDX-License-Identifier: MIT
// What the programs take from POSIX and glibc that Windows lacks, in the
// same names, so that their sources build for Windows unchanged: included
// before every source of tool/ by the Windows build (tool/CMakeLists.txt),
// and by nothing else.
//
// err(3) and its kin print "program: text: reason" as glibc does, the
// reason from velkor_io::error_text(); the program's name is argv[0]'s
// last component without ".exe" (main.cpp sets it); getenv() gives UTF-8
// whatever the code page; getopt_long() is mingw-w64's, but, as glibc's, a
// long option given a value it does not take ("--json=1") comes back as
// '?' rather than ':'.
#pragma once

#include <cstdlib>
#include <cstring> // mingw-w64's <sys/stat.h> uses memset without it
#include <getopt.h>

extern "C" {
[[noreturn]] void err(int status, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
[[noreturn]] void errx(int status, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void warn(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void warnx(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

extern const char *velkor_program_short_name;
const char *velkor_getenv(const char *name);
int velkor_getopt_long(int argc, char *const *argv, const char *options, const struct option *longopts,
                       int *longindex);
}

// For the headers that ask for std::getenv.
namespace std {
using ::velkor_getenv;
}

#define program_invocation_short_name velkor_program_short_name
#define getenv velkor_getenv
#define getopt_long velkor_getopt_long
