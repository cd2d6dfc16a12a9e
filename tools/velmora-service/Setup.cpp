#include "Setup.h"

#include <windows.h>
#include <aclapi.h>

#include <algorithm>
#include <vector>

#include "EventLog.h"
#include "Service/Service.h"
#include "WinText.h"

namespace velmora {
namespace svc {

const wchar_t kDisplayName[] = L"Velmora discovery responder";
const wchar_t kDescription[] =
    L"Answers the discovery requests (UDP, JSON and binary forms) of clients on the local "
    L"network for this server installation.";
const wchar_t kAccount[] = L"NT SERVICE\\Velmora";

namespace {

const wchar_t kFirewallRule[] = L"Velmora discovery responder";
const wchar_t kDefaultSettings[] = L"Velmora.default.xml";
constexpr DWORD kStartWaitMs = 30000;
constexpr DWORD kStopWaitMs = 40000;      // the daemon's 20 s, its end, and more
constexpr DWORD kPreshutdownMs = 30000;
constexpr DWORD kFailureResetSeconds = 24 * 60 * 60;
constexpr DWORD kRestartAfterMs = 5000;

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

void Warn(const std::wstring& strText, int& nWarnings)
{
    Print(L"warning: " + strText + L"\n", true);
    ++nWarnings;
}

// One argument of a command line, quoted so that Windows' parsing gives it
// back unchanged (a trailing backslash is doubled).
std::wstring Quote(const std::wstring& strArg)
{
    std::wstring strOut = L"\"" + strArg;
    if (!strArg.empty() && strArg.back() == L'\\')
        strOut += L'\\';
    return strOut + L"\"";
}

std::wstring ServiceCommand(const std::wstring& strFolder)
{
    return Quote(ProgramPath()) + L" run --folder " + Quote(strFolder);
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

// The UDP ports of Velmora.xml in strFolder as the daemon would read them
// ("37810,47810,..."), each once.
std::wstring ConfiguredPorts(const std::wstring& strFolder)
{
    std::vector<wchar_t> vecOld(MAX_PATH * 2);
    const DWORD nOld = ::GetCurrentDirectoryW(static_cast<DWORD>(vecOld.size()), vecOld.data());
    CServerConfig config;
    if (::SetCurrentDirectoryW(strFolder.c_str()))
        (void)config.LoadServerConf();   // a bad file: the defaults, as the daemon would
    if (nOld > 0 && nOld < vecOld.size())
        (void)::SetCurrentDirectoryW(vecOld.data());
    std::vector<int> vecPort;
    std::wstring strPorts;
    for (const ListenAddr& addr : config.m_vecListenAddr) {
        if (std::find(vecPort.begin(), vecPort.end(), addr.m_nPort) != vecPort.end())
            continue;
        vecPort.push_back(addr.m_nPort);
        strPorts += (strPorts.empty() ? L"" : L",") + Number(static_cast<unsigned>(addr.m_nPort));
    }
    return strPorts;
}

// netsh with its arguments, no window, output discarded; its exit code, or
// a Windows error with bit 31 set when it could not be run.
DWORD RunNetsh(const std::wstring& strArgs)
{
    wchar_t szSystem[MAX_PATH];
    const UINT nLen = ::GetSystemDirectoryW(szSystem, MAX_PATH);
    const std::wstring strProgram =
        (nLen > 0 && nLen < MAX_PATH ? std::wstring(szSystem, nLen) : L"C:\\Windows\\System32") +
        L"\\netsh.exe";
    std::wstring strCommand = Quote(strProgram) + L" " + strArgs;
    STARTUPINFOW start = {};
    start.cb = sizeof(start);
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(strProgram.c_str(), &strCommand[0], nullptr, nullptr, FALSE,
                          CREATE_NO_WINDOW, nullptr, nullptr, &start, &process))
        return 0x80000000u | ::GetLastError();
    ::CloseHandle(process.hThread);
    DWORD nCode = 0x80000000u | WAIT_TIMEOUT;
    if (::WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0)
        (void)::GetExitCodeProcess(process.hProcess, &nCode);
    else
        (void)::TerminateProcess(process.hProcess, 1);
    ::CloseHandle(process.hProcess);
    return nCode;
}

void DeleteFirewallRule()
{
    (void)RunNetsh(L"advfirewall firewall delete rule name=" + Quote(kFirewallRule));
}

void AddFirewallRule(const std::wstring& strFolder, int& nWarnings)
{
    DeleteFirewallRule();
    const std::wstring strPorts = ConfiguredPorts(strFolder);
    const DWORD nCode = RunNetsh(
        L"advfirewall firewall add rule name=" + Quote(kFirewallRule) +
        L" dir=in action=allow protocol=UDP profile=any localport=" + strPorts +
        L" program=" + Quote(ProgramFolder() + L"\\velmora.exe"));
    if (nCode != 0)
        Warn(L"the firewall rule for UDP ports " + strPorts + L" was not added (netsh: " +
                 ((nCode & 0x80000000u) != 0 ? ErrorText(nCode & 0x7FFFFFFFu)
                                             : L"exit code " + Number(nCode)) +
                 L")",
             nWarnings);
    else
        Print(L"firewall: inbound UDP " + strPorts + L" allowed for velmora.exe\n");
}

// Modify access (read, write, delete, inherited by files and subfolders) for
// the service's account on the daemon folder. 0 or a Windows error.
DWORD GrantFolderAccess(const std::wstring& strFolder)
{
    BYTE aSid[SECURITY_MAX_SID_SIZE];
    DWORD nSid = sizeof(aSid);
    wchar_t szDomain[256];
    DWORD nDomain = 256;
    SID_NAME_USE use;
    if (!::LookupAccountNameW(nullptr, kAccount, aSid, &nSid, szDomain, &nDomain, &use))
        return ::GetLastError();
    PACL pOld = nullptr;
    PSECURITY_DESCRIPTOR pDescriptor = nullptr;
    DWORD nErr = ::GetNamedSecurityInfoW(strFolder.c_str(), SE_FILE_OBJECT,
                                         DACL_SECURITY_INFORMATION, nullptr, nullptr, &pOld,
                                         nullptr, &pDescriptor);
    if (nErr != ERROR_SUCCESS)
        return nErr;
    EXPLICIT_ACCESSW access = {};
    access.grfAccessPermissions =
        FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE | DELETE;
    access.grfAccessMode = GRANT_ACCESS;
    access.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_UNKNOWN;
    access.Trustee.ptstrName = reinterpret_cast<wchar_t*>(aSid);
    PACL pNew = nullptr;
    nErr = ::SetEntriesInAclW(1, &access, pOld, &pNew);
    if (nErr == ERROR_SUCCESS)
        nErr = ::SetNamedSecurityInfoW(const_cast<wchar_t*>(strFolder.c_str()), SE_FILE_OBJECT,
                                       DACL_SECURITY_INFORMATION, nullptr, nullptr, pNew,
                                       nullptr);
    if (pNew != nullptr)
        ::LocalFree(pNew);
    ::LocalFree(pDescriptor);
    return nErr;
}

void ConfigureService(SC_HANDLE hService, int& nWarnings)
{
    SERVICE_DESCRIPTIONW description = {const_cast<wchar_t*>(kDescription)};
    SERVICE_DELAYED_AUTO_START_INFO delayed = {TRUE};
    SC_ACTION aAction[3] = {{SC_ACTION_RESTART, kRestartAfterMs},
                            {SC_ACTION_RESTART, kRestartAfterMs},
                            {SC_ACTION_NONE, 0}};
    SERVICE_FAILURE_ACTIONSW failure = {kFailureResetSeconds, nullptr, nullptr, 3, aAction};
    // Also a stop with a service error (restarts given up) counts as a failure.
    SERVICE_FAILURE_ACTIONS_FLAG failureFlag = {TRUE};
    SERVICE_PRESHUTDOWN_INFO preshutdown = {kPreshutdownMs};
    SERVICE_SID_INFO sid = {SERVICE_SID_TYPE_UNRESTRICTED};
    const struct {
        DWORD nLevel;
        void* pInfo;
        const wchar_t* szWhat;
    } aStep[] = {
        {SERVICE_CONFIG_DESCRIPTION, &description, L"description"},
        {SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &delayed, L"delayed automatic start"},
        {SERVICE_CONFIG_FAILURE_ACTIONS, &failure, L"failure actions"},
        {SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &failureFlag, L"failure actions on error stops"},
        {SERVICE_CONFIG_PRESHUTDOWN_INFO, &preshutdown, L"preshutdown time"},
        {SERVICE_CONFIG_SERVICE_SID_INFO, &sid, L"service SID"},
    };
    for (const auto& step : aStep) {
        if (!::ChangeServiceConfig2W(hService, step.nLevel, step.pInfo))
            Warn(std::wstring(L"service ") + step.szWhat + L" not set: " +
                     ErrorText(::GetLastError()),
                 nWarnings);
    }
}

void PrepareFolder(const std::wstring& strFolder, int& nWarnings)
{
    if (!IsFolder(strFolder) && !::CreateDirectoryW(strFolder.c_str(), nullptr))
        Warn(L"cannot create " + strFolder + L": " + ErrorText(::GetLastError()), nWarnings);
    const std::wstring strSettings = strFolder + L"\\Velmora.xml";
    const std::wstring strDefault = ProgramFolder() + L"\\" + kDefaultSettings;
    if (IsFile(strSettings)) {
        Print(L"settings: " + strSettings + L" (kept)\n");
    } else if (IsFile(strDefault)) {
        if (::CopyFileW(strDefault.c_str(), strSettings.c_str(), TRUE))
            Print(L"settings: " + strSettings + L" (the default settings)\n");
        else
            Warn(L"cannot copy the default settings to " + strSettings + L": " +
                     ErrorText(::GetLastError()),
                 nWarnings);
    } else {
        Warn(strSettings + L" is missing: the daemon runs with its built-in defaults",
             nWarnings);
    }
    const DWORD nErr = GrantFolderAccess(strFolder);
    if (nErr != 0)
        Warn(std::wstring(L"write access for ") + kAccount + L" to " + strFolder +
                 L" not granted: " + ErrorText(nErr),
             nWarnings);
}

}  // namespace

std::wstring DefaultFolder()
{
    const std::wstring strBeside = ProgramFolder() + L"\\Velmora";
    return IsFolder(strBeside) ? strBeside : ProgramFolder();
}

int Install(const std::wstring& strFolder)
{
    if (!IsFolder(strFolder))
        return Fail(strFolder, ERROR_PATH_NOT_FOUND);
    ScHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (!scm)
        return Fail(L"cannot open the service manager", ::GetLastError());
    const std::wstring strCommand = ServiceCommand(strFolder);
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
    return Configure(strFolder);
}

int Configure(const std::wstring& strFolder)
{
    ScHandle scm;
    ScHandle service(OpenVelmora(SERVICE_CHANGE_CONFIG | SERVICE_QUERY_CONFIG | SERVICE_START, scm));
    if (!service)
        return Fail(L"cannot open the service Velmora", ::GetLastError());
    int nWarnings = 0;
    ConfigureService(service.Get(), nWarnings);
    const DWORD nErr = RegisterEventSource(ProgramPath());
    if (nErr != 0)
        Warn(L"event source Velmora not registered: " + ErrorText(nErr), nWarnings);
    PrepareFolder(strFolder, nWarnings);
    AddFirewallRule(strFolder, nWarnings);
    Print(L"service Velmora configured for " + strFolder +
          (nWarnings > 0 ? L" (" + Number(static_cast<unsigned>(nWarnings)) + L" warnings)\n"
                         : L"\n"));
    return kExitDone;
}

int Unconfigure()
{
    DeleteFirewallRule();
    const DWORD nErr = UnregisterEventSource();
    if (nErr != 0)
        Print(L"warning: event source Velmora not removed: " + ErrorText(nErr) + L"\n", true);
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
