// SPDX-License-Identifier: MIT
// What every system's door shares: the words of a refusal or a failed
// open, standard input as an input, and the buffers the programs read and
// write in.
#include "io.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <err.h>
#include <unistd.h>

namespace velkor_io {

const char *error_text(int e)
{
#if defined(_WIN32)
    // Windows' sharing rules, which have no errno of their own (io.h).
    if (e == EBUSY)
        return "the file is open in another program";
#endif
    return strerror(e);
}

std::string refused_text(const char *why)
{
    std::string text = error_text(errno);
    if (why != nullptr)
        text = text + " (" + why + ")";
    return text;
}

void fail_refused(const char *shown, const char *why)
{
    errx(1, "%s: %s", shown, refused_text(why).c_str());
}

void warn_refused(const char *shown, const char *why)
{
    warnx("%s: %s", shown, refused_text(why).c_str());
}

std::string open_failure(const output &out)
{
    if (out.aliases_input())
        return "input file is output file";
    if (out.aliases_key())
        return "the key file is the output file";
    if (out.failed_beside())
        return std::string("cannot write a temporary file beside it: ") + error_text(errno);
    return refused_text(out.refusal());
}

void open_failed(const output &out, const char *shown)
{
    errx(1, "%s: %s", shown, open_failure(out).c_str());
}

void warn_open_failed(const output &out, const char *shown)
{
    warnx("%s: %s", shown, open_failure(out).c_str());
}

input::~input()
{
    if (close_fd_)
        close(fd_);
}

bool input::open(const char *path)
{
    if (strcmp(path, "-") != 0)
        return open_file(path);
    refusal_ = nullptr;
    fd_ = 0;
    return take_status();
}

piece_buf::piece_buf() : p(static_cast<uint8_t *>(malloc(piece)))
{
    if (p == nullptr)
        err(1, "malloc");
}

piece_buf::~piece_buf() { free(p); }

} // namespace velkor_io
