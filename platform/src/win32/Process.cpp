// The running process on Windows: its id, and the console's stop events
// (Ctrl-C, Ctrl-Break, closing the console window, shutdown) turned into a
// stop request, as the stop signals are on Linux. A logoff is taken and
// ignored: as the service's daemon the process outlives every user's
// session, and the default handler would end it. Windows has no hang-up
// signal (closing the console is a stop event here), so there is nothing to
// install and no hang-up ever arrives.
#include "nox/Process.h"

#include <windows.h>

#include <atomic>

namespace nox {

namespace {

std::atomic<bool> g_bStopRequested{false};

BOOL WINAPI OnConsoleEvent(DWORD nEvent)
{
    switch (nEvent) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        g_bStopRequested = true;
        return TRUE;
    case CTRL_LOGOFF_EVENT:
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        // The system ends the process as soon as this returns: wait here
        // while the main thread stops the service and ends the process (the
        // system's own timeout ends it otherwise).
        g_bStopRequested = true;
        ::Sleep(INFINITE);
        return TRUE;
    default:
        return FALSE;
    }
}

}  // namespace

int Process::Id()
{
    return static_cast<int>(::GetCurrentProcessId());
}

void Process::InstallStopSignals()
{
    (void)::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool Process::StopRequested()
{
    return g_bStopRequested.load();
}

void Process::InstallHangupSignal()
{
}

bool Process::TakeHangup()
{
    return false;
}

}  // namespace nox
