// SPDX-License-Identifier: MIT
// Cleanup at the end of the program: the one temporary file an output may
// have beside its target is removed by exit() and by every signal that
// would end the program.
#include "internal.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

namespace velkor_io {
namespace detail {
namespace {

// The temporary file to remove: its directory's descriptor and a copy of
// its name.  A copy in static memory rather than a pointer into the
// output's string, so that a handler run by a crash does not read a name
// from a heap that may be damaged.  Set and cleared with the signals
// blocked, so the handler never sees them half written.
volatile sig_atomic_t pending_armed = 0;
int pending_dir = -1;
char pending_name[NAME_MAX + 1];

// Signals that end the process by default, can be caught and are sent
// from outside (or by abort()): blocked while the pending file changes.
// SIGXFSZ is left out: it is ignored, so a size limit fails the write.
const int async_signals[] = {
    SIGHUP,  SIGINT,    SIGQUIT, SIGPIPE, SIGTERM, SIGALRM, SIGUSR1, SIGUSR2, SIGPOLL, SIGPROF,
    SIGVTALRM, SIGXCPU, SIGTRAP, SIGABRT, SIGSYS,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
};

// The faults a bad instruction raises.  A temporary file is never the
// output, only its unfinished replacement, so a crash removes it too;
// the process then still dies by the signal, with its core.
const int fault_signals[] = {SIGILL, SIGBUS, SIGFPE, SIGSEGV};

void remove_pending()
{
    // Only ever a name this program made: hidden, and without a slash.
    if (pending_armed && pending_name[0] == '.' && strchr(pending_name, '/') == nullptr)
        unlinkat(pending_dir, pending_name, 0);
    pending_armed = 0;
}

void on_terminating_signal(int sig)
{
    const int saved = errno;
    remove_pending();
    // End as the signal would have ended us, so the parent sees it.
    signal(sig, SIG_DFL);
    raise(sig);
    errno = saved;
}

void add_async_signals(sigset_t &set)
{
    for (int s : async_signals)
        sigaddset(&set, s);
    for (int s = SIGRTMIN; s <= SIGRTMAX; s++)
        sigaddset(&set, s);
}

// Catches sig unless it is ignored (nohup), or, with keep_handler, unless
// someone has already set a handler of their own (a sanitizer's report of
// a crash is worth more than the removal of a temporary file).
void catch_signal(int sig, bool keep_handler)
{
    struct sigaction old {};
    if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN)
        return;
    if (keep_handler && ((old.sa_flags & SA_SIGINFO) != 0 || old.sa_handler != SIG_DFL))
        return;
    struct sigaction sa {};
    sa.sa_handler = on_terminating_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(sig, &sa, nullptr);
}

} // namespace

void arm_pending(int dir, const std::string &name)
{
    if (name.size() >= sizeof pending_name)
        return; // never: temporary names are short
    memcpy(pending_name, name.c_str(), name.size() + 1);
    pending_dir = dir;
    pending_armed = 1;
}

void disarm_pending() { pending_armed = 0; }

signals_blocked::signals_blocked()
{
    sigset_t set;
    sigemptyset(&set);
    add_async_signals(set);
    sigprocmask(SIG_BLOCK, &set, &old_);
}

signals_blocked::~signals_blocked() { sigprocmask(SIG_SETMASK, &old_, nullptr); }

} // namespace detail

void setup_exit_and_signals()
{
    using namespace detail;
    // exit() skips destructors: a program that reports a failure with
    // err(3) while an output is open must still not leave its temporary
    // file behind.
    atexit(remove_pending);
    signal(SIGXFSZ, SIG_IGN);
    for (int s : async_signals)
        catch_signal(s, false);
    for (int s = SIGRTMIN; s <= SIGRTMAX; s++)
        catch_signal(s, false);
    for (int s : fault_signals)
        catch_signal(s, true);
}

} // namespace velkor_io
