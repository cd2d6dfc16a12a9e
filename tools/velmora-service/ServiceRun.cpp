#include "ServiceRun.h"

#include <windows.h>

#include "DaemonProcess.h"
#include "EventLog.h"
#include "Messages.h"
#include "RestartPolicy.h"
#include "StopSequence.h"
#include "WinText.h"

namespace velmora {
namespace svc {

namespace {

// Set by RunService before the dispatcher starts; the stop event is set by
// the control handler (dispatcher thread) and waited on by the service thread.
struct ServiceContext {
    std::wstring strFolder;
    std::wstring strProgram;
    SERVICE_STATUS_HANDLE hStatus = nullptr;
    HANDLE hStopEvent = nullptr;
};
ServiceContext g_service;

void Report(DWORD nState, DWORD nCheckpoint = 0, DWORD nWaitHint = 0, DWORD nSpecific = 0)
{
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = nState;
    if (nState == SERVICE_RUNNING)
        status.dwControlsAccepted =
            SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN;
    status.dwWin32ExitCode = nSpecific != 0 ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
    status.dwServiceSpecificExitCode = nSpecific;
    status.dwCheckPoint = nCheckpoint;
    status.dwWaitHint = nWaitHint;
    (void)::SetServiceStatus(g_service.hStatus, &status);
}

DWORD WINAPI OnControl(DWORD nControl, DWORD, void*, void*)
{
    switch (nControl) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
    case SERVICE_CONTROL_PRESHUTDOWN:
        (void)::SetEvent(g_service.hStopEvent);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

bool StopRequestedWithin(DWORD nMs)
{
    return ::WaitForSingleObject(g_service.hStopEvent, nMs) == WAIT_OBJECT_0;
}

bool StartDaemon(CDaemonProcess& daemon, CEventLog& log)
{
    std::wstring strErr;
    if (!daemon.Start(strErr)) {
        log.Report(EVENTLOG_ERROR_TYPE, MSG_START_FAILED,
                   {g_service.strProgram, g_service.strFolder, strErr});
        return false;
    }
    log.Report(EVENTLOG_INFORMATION_TYPE, MSG_STARTED, {g_service.strFolder, Number(daemon.Pid())});
    return true;
}

DWORD StopService(CDaemonProcess& daemon, CEventLog& log)
{
    const StopResult result = StopDaemon(daemon, [](unsigned nCheckpoint, unsigned nWaitHintMs) {
        Report(SERVICE_STOP_PENDING, nCheckpoint, nWaitHintMs);
    });
    if (result.bTerminated)
        log.Report(EVENTLOG_WARNING_TYPE, MSG_STOP_TIMED_OUT,
                   {Number(result.bQuitSent ? kStopTimeoutMs / 1000 : 0),
                    result.bQuitSent ? L"yes" : L"no"});
    log.Report(EVENTLOG_INFORMATION_TYPE, MSG_STOPPED, {Number(result.nExitCode)});
    daemon.Release();
    return kServiceOk;
}

// Runs the daemon until a stop control (kServiceOk) or until the restart
// policy gives up (kServiceGaveUp); kServiceStartFailed when the first
// start fails.
DWORD Supervise(CEventLog& log)
{
    CDaemonProcess daemon(g_service.strProgram, g_service.strFolder);
    if (!StartDaemon(daemon, log))
        return kServiceStartFailed;
    Report(SERVICE_RUNNING);
    CRestartPolicy policy;
    bool bRunning = true;
    unsigned long nLastExit = 0;
    for (;;) {
        if (bRunning) {
            const HANDLE aWait[2] = {g_service.hStopEvent, daemon.Handle()};
            if (::WaitForMultipleObjects(2, aWait, FALSE, INFINITE) == WAIT_OBJECT_0)
                return StopService(daemon, log);
            (void)daemon.WaitExit(0);
            nLastExit = daemon.ExitCode();
            daemon.Release();
        }
        if (!policy.OnUnexpectedExit(::GetTickCount64())) {
            log.Report(EVENTLOG_ERROR_TYPE, MSG_RESTART_GIVEN_UP,
                       {Number(CRestartPolicy::kMaxRestarts + 1),
                        Number(CRestartPolicy::kWindowMs / 60000), Number(nLastExit)});
            return kServiceGaveUp;
        }
        if (bRunning)
            log.Report(EVENTLOG_ERROR_TYPE, MSG_DAEMON_EXITED,
                       {Number(nLastExit), Number(CRestartPolicy::kRestartDelayMs / 1000)});
        if (StopRequestedWithin(CRestartPolicy::kRestartDelayMs)) {
            log.Report(EVENTLOG_INFORMATION_TYPE, MSG_STOPPED, {Number(nLastExit)});
            return kServiceOk;
        }
        bRunning = StartDaemon(daemon, log);
    }
}

void WINAPI ServiceMain(DWORD, wchar_t**)
{
    g_service.hStatus = ::RegisterServiceCtrlHandlerExW(kServiceName, OnControl, nullptr);
    if (g_service.hStatus == nullptr)
        return;
    Report(SERVICE_START_PENDING, 1, 10000);
    CEventLog log;
    const DWORD nExit = Supervise(log);
    Report(SERVICE_STOPPED, 0, 0, nExit);
}

}  // namespace

unsigned long RunService(const std::wstring& strFolder)
{
    g_service.strFolder = strFolder;
    g_service.strProgram = ProgramFolder() + L"\\velmora.exe";
    g_service.hStopEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (g_service.hStopEvent == nullptr)
        return ::GetLastError();
    wchar_t szName[] = L"Velmora";
    const SERVICE_TABLE_ENTRYW aTable[] = {{szName, ServiceMain}, {nullptr, nullptr}};
    return ::StartServiceCtrlDispatcherW(aTable) ? 0 : ::GetLastError();
}

}  // namespace svc
}  // namespace velmora
