// SPDX-License-Identifier: MIT
// Cleanup at the end of the program on Windows: the one temporary file an
// output may have beside its target is removed by exit(), by the console's
// events that end the program (Ctrl-C, Ctrl-Break, closing the console,
// logging off, shutting down) and by a crash.
//
// The console's handler runs on a thread of its own while the program
// goes on, so the pending file is set, cleared and acted on under one
// lock; the handler takes it and never gives it back, marks the file for
// deletion (by its handle: no name is looked up) and ends the process as
// the default handler would, with STATUS_CONTROL_C_EXIT.  The file goes
// when the process's handles close.
#include "internal.h"

#include <cstdlib>

namespace velkor_io {
namespace detail {
namespace {

SRWLOCK pending_lock = SRWLOCK_INIT;
HANDLE pending = nullptr;

void remove_pending_locked()
{
    if (pending != nullptr)
        delete_on_close(pending);
    pending = nullptr;
}

void remove_pending_at_exit()
{
    AcquireSRWLockExclusive(&pending_lock);
    remove_pending_locked();
    ReleaseSRWLockExclusive(&pending_lock);
}

BOOL WINAPI on_console_event(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        AcquireSRWLockExclusive(&pending_lock);
        remove_pending_locked();
        TerminateProcess(GetCurrentProcess(), static_cast<UINT>(STATUS_CONTROL_C_EXIT));
        return TRUE;
    default:
        return FALSE;
    }
}

// A crash: the temporary file is never the output, only its unfinished
// replacement, so it goes too; the crash then takes its course.  No lock:
// the faulting thread may hold it.
LONG WINAPI on_crash(EXCEPTION_POINTERS *)
{
    if (pending != nullptr)
        delete_on_close(pending);
    return EXCEPTION_CONTINUE_SEARCH;
}

} // namespace

bool delete_on_close(HANDLE h)
{
    FILE_DISPOSITION_INFO gone{TRUE};
    return SetFileInformationByHandle(h, FileDispositionInfo, &gone, sizeof gone) != 0;
}

void arm_pending(HANDLE h) { pending = h; }

void disarm_pending() { pending = nullptr; }

pending_guard::pending_guard() { AcquireSRWLockExclusive(&pending_lock); }

pending_guard::~pending_guard() { ReleaseSRWLockExclusive(&pending_lock); }

} // namespace detail

void setup_exit_and_signals()
{
    using namespace detail;
    // exit() skips destructors: a program that reports a failure with
    // err(3) while an output is open must still not leave its temporary
    // file behind.
    atexit(remove_pending_at_exit);
    SetConsoleCtrlHandler(on_console_event, TRUE);
    SetUnhandledExceptionFilter(on_crash);
}

} // namespace velkor_io
