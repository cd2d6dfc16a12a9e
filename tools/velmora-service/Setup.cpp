#include "Setup.h"

#include <windows.h>

#include <vector>

#include "EventLog.h"
#include "Messages.h"
#include "SetupInternal.h"
#include "WinText.h"

namespace velmora {
namespace svc {

const wchar_t kDisplayName[] = L"Velmora discovery responder";
const wchar_t kAccount[] = L"NT SERVICE\\Velmora";

void Warn(const std::wstring& strText, Warnings& vecWarning)
{
    Print(L"warning: " + strText + L"\n", true);
    vecWarning.push_back(strText);
}

namespace {

constexpr DWORD kStartWaitMs = 30000;
constexpr DWORD kStopWaitMs = 40000;      // the daemon's 20 s, its end, and more

class ScHandle {
public:
    explicit ScHandle(SC_HANDLE h = nullptr) : m_h(h) {}
    ~ScHandle()
    {
        if (m_h != nullptr)
            ::CloseServiceHandle(m_h);
    }
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
    SC_HANDLE Get() const { return m_h; }
    void Reset(SC_HANDLE h)
    {
        if (m_h != nullptr)
            ::CloseServiceHandle(m_h);
        m_h = h;
    }
    explicit operator bool() const { return m_h != nullptr; }

private:
    SC_HANDLE m_h;
};

int Fail(const std::wstring& strWhat, DWORD nErr)
{
    std::wstring strHint;
    if (nErr == ERROR_ACCESS_DENIED)
        strHint = L" (run it from an administrator's console)";
    Print(L"velmora-service: " + strWhat + L": " + ErrorText(nErr) + strHint + L"\n", true);
    return kExitFailed;
}

// Each warning as event 7 of the Application log (the source must exist).
void ReportWarnings(const Warnings& vecWarning)
{
    if (vecWarning.empty())
        return;
    CEventLog log;
    for (const std::wstring& strText : vecWarning)
        log.Report(EVENTLOG_WARNING_TYPE, MSG_SETUP_WARNING, {strText});
}

// The service, through the service manager opened into scm.
SC_HANDLE OpenVelmora(DWORD nAccess, ScHandle& scm)
{
    scm.Reset(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    return scm ? ::OpenServiceW(scm.Get(), kServiceName, nAccess) : nullptr;
}

bool Query(SC_HANDLE hService, SERVICE_STATUS_PROCESS& status)
{
    DWORD nNeeded = 0;
    return ::QueryServiceStatusEx(hService, SC_STATUS_PROCESS_INFO,
                                  reinterpret_cast<BYTE*>(&status), sizeof(status), &nNeeded) != 0;
}

// Polls until the state is no longer nPending (or, with nPending 0, until
// STOPPED), at most nTimeoutMs.
bool WaitWhile(SC_HANDLE hService, DWORD nPending, DWORD nTimeoutMs, SERVICE_STATUS_PROCESS& status)
{
    const ULONGLONG nEnd = ::GetTickCount64() + nTimeoutMs;
    for (;;) {
        if (!Query(hService, status))
            return false;
        const bool bDone = nPending != 0 ? status.dwCurrentState != nPending
                                         : status.dwCurrentState == SERVICE_STOPPED;
        if (bDone)
            return true;
        if (::GetTickCount64() >= nEnd)
            return false;
        ::Sleep(100);
    }
}

std::wstring StateText(DWORD nState)
{
    switch (nState) {
    case SERVICE_STOPPED: return L"stopped";
    case SERVICE_START_PENDING: return L"starting";
    case SERVICE_STOP_PENDING: return L"stopping";
    case SERVICE_RUNNING: return L"running";
    default: return L"state " + Number(nState);
    }
}

std::wstring ExitText(const SERVICE_STATUS_PROCESS& status)
{
    if (status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR)
        return L"service error " + Number(status.dwServiceSpecificExitCode) +
               (status.dwServiceSpecificExitCode == 1   ? L" (the daemon kept failing: restarts given up)"
                : status.dwServiceSpecificExitCode == 2 ? L" (the daemon could not be started)"
                                                        : L"");
    return ErrorText(status.dwWin32ExitCode);
}

}  // namespace

std::wstring DefaultFolder()
{
    const std::wstring strBeside = ProgramFolder() + L"\\Velmora";
    return IsFolder(strBeside) ? strBeside : ProgramFolder();
}

int Install(const SetupPlace& place)
{
    if (!IsFolder(place.strFolder))
        return Fail(place.strFolder, ERROR_PATH_NOT_FOUND);
    if (CheckLayout(place.strPrograms, place.strFolder) != kExitDone)
        return kExitFailed;
    ScHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (!scm)
        return Fail(L"cannot open the service manager", ::GetLastError());
    const std::wstring strCommand = ServiceCommand(place.strPrograms, place.strFolder);
    ScHandle service(::CreateServiceW(scm.Get(), kServiceName, kDisplayName, SERVICE_ALL_ACCESS,
                                      SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                      SERVICE_ERROR_NORMAL, strCommand.c_str(), nullptr, nullptr,
                                      nullptr, kAccount, nullptr));
    if (!service && ::GetLastError() == ERROR_SERVICE_EXISTS) {
        service.Reset(::OpenServiceW(scm.Get(), kServiceName, SERVICE_ALL_ACCESS));
        if (service && !::ChangeServiceConfigW(service.Get(), SERVICE_WIN32_OWN_PROCESS,
                                               SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                               strCommand.c_str(), nullptr, nullptr, nullptr,
                                               kAccount, nullptr, kDisplayName))
            return Fail(L"cannot change the service Velmora", ::GetLastError());
    }
    if (!service)
        return Fail(L"cannot create the service Velmora", ::GetLastError());
    Print(L"service Velmora installed: " + strCommand + L"\n");
    return Configure(place);
}

int Configure(const SetupPlace& place)
{
    if (CheckLayout(place.strPrograms, place.strFolder) != kExitDone)
        return kExitFailed;
    ScHandle scm;
    ScHandle service(OpenVelmora(SERVICE_CHANGE_CONFIG | SERVICE_QUERY_CONFIG | SERVICE_START, scm));
    if (!service)
        return Fail(L"cannot open the service Velmora", ::GetLastError());
    Warnings vecWarning;
    ConfigureService(service.Get(), place, vecWarning);
    const DWORD nErr = RegisterEventSource(place.strPrograms + L"\\velmora-service.exe");
    if (nErr != 0)
        Warn(L"event source Velmora not registered: " + ErrorText(nErr), vecWarning);
    PrepareFolder(place, vecWarning);
    // Without these rights any user could change what runs as the service:
    // no install goes on without them.
    if (!SecureFolders(place)) {
        vecWarning.push_back(L"the rights of " + place.strPrograms + L" and " + place.strFolder +
                             L" were not set: the install is undone");
        ReportWarnings(vecWarning);
        return kExitFailed;
    }
    AddFirewallRule(place, vecWarning);
    ReportWarnings(vecWarning);
    Print(L"service Velmora configured for " + place.strFolder +
          (vecWarning.empty() ? L"\n"
                              : L" (" + Number(vecWarning.size()) + L" warnings)\n"));
    return kExitDone;
}

int Unconfigure()
{
    // netsh fails as well when there is no rule: that is no warning.
    DeleteFirewallRule();
    Print(L"firewall rule \"" + std::wstring(kFirewallRule) + L"\" removed\n");
    const DWORD nErr = UnregisterEventSource();
    if (nErr != 0) {
        Warnings vecWarning;   // the source is still there to take it
        Warn(L"event source Velmora not removed: " + ErrorText(nErr), vecWarning);
        ReportWarnings(vecWarning);
        return kExitDone;
    }
    Print(L"event source Velmora removed\n");
    return kExitDone;
}

int Uninstall()
{
    ScHandle scm;
    ScHandle service(OpenVelmora(DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS, scm));
    if (!service) {
        if (::GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST)
            return Fail(L"cannot open the service Velmora", ::GetLastError());
        Print(L"service Velmora is not installed\n");
    } else {
        SERVICE_STATUS_PROCESS status = {};
        SERVICE_STATUS stopStatus = {};
        if (::ControlService(service.Get(), SERVICE_CONTROL_STOP, &stopStatus) &&
            !WaitWhile(service.Get(), 0, kStopWaitMs, status))
            Print(L"warning: the service did not stop within 40 s\n", true);
        if (!::DeleteService(service.Get()) && ::GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE)
            return Fail(L"cannot delete the service Velmora", ::GetLastError());
        Print(L"service Velmora removed (the daemon folder and its files stay)\n");
    }
    return Unconfigure();
}

int Start()
{
    ScHandle scm;
    ScHandle service(OpenVelmora(SERVICE_START | SERVICE_QUERY_STATUS, scm));
    if (!service)
        return Fail(L"cannot open the service Velmora", ::GetLastError());
    if (!::StartServiceW(service.Get(), 0, nullptr) &&
        ::GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
        return Fail(L"cannot start the service Velmora", ::GetLastError());
    SERVICE_STATUS_PROCESS status = {};
    if (!WaitWhile(service.Get(), SERVICE_START_PENDING, kStartWaitMs, status) ||
        status.dwCurrentState != SERVICE_RUNNING) {
        Print(L"velmora-service: the service did not start: " + StateText(status.dwCurrentState) +
                  L", " + ExitText(status) + L" (see the Application event log)\n",
              true);
        return kExitFailed;
    }
    Print(L"service Velmora running, pid " + Number(status.dwProcessId) + L"\n");
    return kExitDone;
}

int Stop()
{
    ScHandle scm;
    ScHandle service(OpenVelmora(SERVICE_STOP | SERVICE_QUERY_STATUS, scm));
    if (!service)
        return Fail(L"cannot open the service Velmora", ::GetLastError());
    SERVICE_STATUS stopStatus = {};
    if (!::ControlService(service.Get(), SERVICE_CONTROL_STOP, &stopStatus)) {
        if (::GetLastError() == ERROR_SERVICE_NOT_ACTIVE) {
            Print(L"service Velmora is not running\n");
            return kExitNotRunning;
        }
        return Fail(L"cannot stop the service Velmora", ::GetLastError());
    }
    SERVICE_STATUS_PROCESS status = {};
    if (!WaitWhile(service.Get(), 0, kStopWaitMs, status)) {
        Print(L"velmora-service: the service is still " + StateText(status.dwCurrentState) +
                  L" after 40 s\n",
              true);
        return kExitFailed;
    }
    Print(L"service Velmora stopped\n");
    return kExitDone;
}

int Status()
{
    ScHandle scm;
    ScHandle service(OpenVelmora(SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG, scm));
    if (!service) {
        if (::GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST)
            return Fail(L"cannot open the service Velmora", ::GetLastError());
        Print(L"service Velmora: not installed\n");
        return kExitNotRunning;
    }
    SERVICE_STATUS_PROCESS status = {};
    if (!Query(service.Get(), status))
        return Fail(L"cannot query the service Velmora", ::GetLastError());
    std::wstring strText = L"service Velmora: " + StateText(status.dwCurrentState);
    if (status.dwProcessId != 0)
        strText += L", pid " + Number(status.dwProcessId);
    if (status.dwCurrentState == SERVICE_STOPPED)
        strText += L", last exit: " + ExitText(status);
    DWORD nNeeded = 0;
    (void)::QueryServiceConfigW(service.Get(), nullptr, 0, &nNeeded);
    std::vector<BYTE> vecConfig(nNeeded > 0 ? nNeeded : 1);
    auto* pConfig = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(vecConfig.data());
    if (nNeeded > 0 &&
        ::QueryServiceConfigW(service.Get(), pConfig, nNeeded, &nNeeded) &&
        pConfig->lpBinaryPathName != nullptr)
        strText += L"\ncommand: " + std::wstring(pConfig->lpBinaryPathName);
    Print(strText + L"\n");
    return status.dwCurrentState == SERVICE_RUNNING ? kExitDone : kExitNotRunning;
}

}  // namespace svc
}  // namespace velmora
