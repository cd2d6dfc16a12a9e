#include "nox/Process.h"

#include <signal.h>
#include <unistd.h>

namespace nox {

namespace {

volatile sig_atomic_t g_nStopRequested = 0;
volatile sig_atomic_t g_nHangups = 0;
int g_nHangupsTaken = 0;                    // main thread only

void OnStopSignal(int)
{
    g_nStopRequested = 1;
}

void OnHangup(int)
{
    g_nHangups = g_nHangups + 1;
}

}  // namespace

int Process::Id()
{
    return static_cast<int>(::getpid());
}

void Process::InstallStopSignals()
{
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a blocking sleep or read returns early
    (void)::sigaction(SIGTERM, &action, nullptr);
    (void)::sigaction(SIGINT, &action, nullptr);
}

bool Process::StopRequested()
{
    return g_nStopRequested != 0;
}

void Process::InstallHangupSignal()
{
    struct sigaction action {};
    action.sa_handler = OnHangup;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    (void)::sigaction(SIGHUP, &action, nullptr);
}

bool Process::TakeHangup()
{
    const int nSeen = g_nHangups;
    if (nSeen == g_nHangupsTaken)
        return false;
    g_nHangupsTaken = nSeen;
    return true;
}

}  // namespace nox
