#include "Setup.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cwctype>
#include <vector>

#include "EventLog.h"
#include "Messages.h"
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
// The service SID of "Velmora": S-1-5-80- and the SHA-1 of the upper-case
// name in UTF-16LE as five little-endian numbers (what "sc showsid Velmora"
// prints). Written out, since the name does not resolve before the service
// exists and Wine resolves no service accounts at all.
const wchar_t kServiceSid[] = L"S-1-5-80-1990703558-2279695104-3027641266-3612483169-4283009413";
// The files of the programs' folder that get its rights; the rest of that
// folder (a server installation's own folders) is left alone.
const wchar_t* const kProgramFiles[] = {L"velmora.exe",      L"velmoractl.exe",
                                        L"velmora-search.exe", L"velmora-service.exe",
                                        L"README.txt",       kDefaultSettings};
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

using Warnings = std::vector<std::wstring>;

void Warn(const std::wstring& strText, Warnings& vecWarning)
{
    Print(L"warning: " + strText + L"\n", true);
    vecWarning.push_back(strText);
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

std::wstring Lower(std::wstring strText)
{
    for (wchar_t& c : strText)
        c = static_cast<wchar_t>(std::towlower(c));
    return strText;
}

// Whether strPath is strFolder or lies inside it (full paths, any case).
bool Within(const std::wstring& strPath, const std::wstring& strFolder)
{
    const std::wstring strP = Lower(strPath), strF = Lower(strFolder);
    if (strF.empty() || strP.compare(0, strF.size(), strF) != 0)
        return false;
    return strP.size() == strF.size() || strP[strF.size()] == L'\\' || strF.back() == L'\\';
}

// Refuses a layout in which the service could change its own programs (the
// zip's folder, where programs and daemon data share a folder) or one whose
// rights would be set on a whole drive. kExitDone or, printed, kExitFailed.
int CheckLayout(const std::wstring& strPrograms, const std::wstring& strFolder)
{
    if (Within(strPrograms, strFolder)) {
        Print(L"velmora-service: the daemon folder " + strFolder +
                  L" holds the programs (velmora-service.exe and velmora.exe), and the service "
                  L"may write there, so it could replace them. Move the four .exe files and "
                  L"README.txt one folder up (the Velmora folder with Velmora.xml then is the "
                  L"daemon folder beside them) and run velmora-service install from there, or "
                  L"install the MSI\n",
              true);
        return kExitFailed;
    }
    wchar_t szVolume[MAX_PATH];
    const auto trimmed = [](std::wstring strPath) {
        while (!strPath.empty() && strPath.back() == L'\\')
            strPath.pop_back();
        return Lower(strPath);
    };
    if (::GetVolumePathNameW(strPrograms.c_str(), szVolume, MAX_PATH) &&
        trimmed(szVolume) == trimmed(strPrograms)) {
        Print(L"velmora-service: the programs are in " + strPrograms +
                  L", a drive's root, whose rights setup will not replace: put them in a "
                  L"folder of their own\n",
              true);
        return kExitFailed;
    }
    return kExitDone;
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

std::wstring ServiceCommand(const std::wstring& strPrograms, const std::wstring& strFolder)
{
    return Quote(strPrograms + L"\\velmora-service.exe") + L" run --folder " + Quote(strFolder);
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

void AddFirewallRule(const SetupPlace& place, Warnings& vecWarning)
{
    DeleteFirewallRule();
    const std::wstring strPorts = ConfiguredPorts(place.strFolder);
    const std::wstring strProfiles = place.bPublic ? L"domain,private,public" : L"domain,private";
    const DWORD nCode = RunNetsh(
        L"advfirewall firewall add rule name=" + Quote(kFirewallRule) +
        L" dir=in action=allow protocol=UDP profile=" + strProfiles +
        L" remoteip=localsubnet localport=" + strPorts +
        L" program=" + Quote(place.strPrograms + L"\\velmora.exe"));
    if (nCode != 0)
        Warn(L"the firewall rule for UDP ports " + strPorts + L" was not added (netsh: " +
                 ((nCode & 0x80000000u) != 0 ? ErrorText(nCode & 0x7FFFFFFFu)
                                             : L"exit code " + Number(nCode)) +
                 L")",
             vecWarning);
    else
        Print(L"firewall: inbound UDP " + strPorts + L" from the local subnet allowed for "
              L"velmora.exe (profiles " + strProfiles + L")\n");
}

// One entry of a new access list: a SID in text form, the rights, the ACE
// flags (how it is inherited).
struct Entry {
    const wchar_t* szSid;
    DWORD nAccess;
    BYTE nFlags;
};

constexpr DWORD kFull = FILE_ALL_ACCESS;
constexpr DWORD kReadExecute = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;
constexpr DWORD kModify = FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE | DELETE;
constexpr BYTE kTree = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
constexpr BYTE kOnlyHere = 0;
// SYSTEM, Administrators, Users.
const wchar_t kSystem[] = L"S-1-5-18";
const wchar_t kAdmins[] = L"S-1-5-32-544";
const wchar_t kUsers[] = L"S-1-5-32-545";

// Replaces the access list of strPath with one allowing vecEntry alone, in
// that order, protected from what its parent passes down. bPropagate:
// through SetNamedSecurityInfo, which also renews what its files and
// subfolders inherit; otherwise the folder alone is set and what lies in it
// keeps its rights. 0 or a Windows error.
DWORD SetProtectedAccess(const std::wstring& strPath, const std::vector<Entry>& vecEntry,
                         bool bPropagate)
{
    std::vector<PSID> vecSid;
    DWORD nErr = ERROR_SUCCESS;
    DWORD nSize = sizeof(ACL);
    for (const Entry& entry : vecEntry) {
        PSID pSid = nullptr;
        if (!::ConvertStringSidToSidW(entry.szSid, &pSid)) {
            nErr = ::GetLastError();
            break;
        }
        vecSid.push_back(pSid);
        nSize += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + ::GetLengthSid(pSid);
    }
    std::vector<DWORD> vecAcl((nSize + sizeof(DWORD) - 1) / sizeof(DWORD));
    auto* pAcl = reinterpret_cast<PACL>(vecAcl.data());
    if (nErr == ERROR_SUCCESS && !::InitializeAcl(pAcl, nSize, ACL_REVISION))
        nErr = ::GetLastError();
    for (size_t i = 0; nErr == ERROR_SUCCESS && i < vecSid.size(); ++i) {
        if (!::AddAccessAllowedAceEx(pAcl, ACL_REVISION, vecEntry[i].nFlags, vecEntry[i].nAccess,
                                     vecSid[i]))
            nErr = ::GetLastError();
    }
    const SECURITY_INFORMATION nInfo =
        DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
    if (nErr == ERROR_SUCCESS && bPropagate) {
        nErr = ::SetNamedSecurityInfoW(const_cast<wchar_t*>(strPath.c_str()), SE_FILE_OBJECT,
                                       nInfo, nullptr, nullptr, pAcl, nullptr);
    } else if (nErr == ERROR_SUCCESS) {
        SECURITY_DESCRIPTOR descriptor;
        if (!::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
            !::SetSecurityDescriptorDacl(&descriptor, TRUE, pAcl, FALSE) ||
            !::SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED) ||
            !::SetFileSecurityW(strPath.c_str(), nInfo, &descriptor))
            nErr = ::GetLastError();
    }
    for (PSID pSid : vecSid)
        ::LocalFree(pSid);
    return nErr;
}

// The rights described in docs/windows.md: the programs' folder and its
// programs for administrators alone to change; the daemon folder's data
// (control file, pid, status, logs, dumps) writable by the service, which
// may add files there but read only Velmora.xml. Every path failed is
// printed; false when any failed.
bool SecureFolders(const SetupPlace& place)
{
    const std::vector<Entry> vecPrograms = {
        {kSystem, kFull, kTree}, {kAdmins, kFull, kTree}, {kUsers, kReadExecute, kTree}};
    const std::vector<Entry> vecProgram = {
        {kSystem, kFull, kOnlyHere}, {kAdmins, kFull, kOnlyHere},
        {kUsers, kReadExecute, kOnlyHere}};
    std::vector<Entry> vecData = vecPrograms;
    vecData.push_back({kServiceSid, kReadExecute | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY,
                       kOnlyHere});
    vecData.push_back({kServiceSid, kModify, kTree | INHERIT_ONLY_ACE});
    std::vector<Entry> vecSettings = vecProgram;
    vecSettings.push_back({kServiceSid, FILE_GENERIC_READ, kOnlyHere});

    std::vector<std::pair<std::wstring, DWORD>> vecResult;
    vecResult.emplace_back(place.strPrograms, SetProtectedAccess(place.strPrograms, vecPrograms, false));
    for (const wchar_t* szName : kProgramFiles) {
        const std::wstring strPath = place.strPrograms + L"\\" + szName;
        if (IsFile(strPath))
            vecResult.emplace_back(strPath, SetProtectedAccess(strPath, vecProgram, true));
    }
    vecResult.emplace_back(place.strFolder, SetProtectedAccess(place.strFolder, vecData, true));
    const std::wstring strSettings = place.strFolder + L"\\Velmora.xml";
    if (IsFile(strSettings))
        vecResult.emplace_back(strSettings, SetProtectedAccess(strSettings, vecSettings, true));
    bool bOk = true;
    for (const auto& result : vecResult) {
        if (result.second == ERROR_SUCCESS)
            continue;
        Print(L"velmora-service: the rights of " + result.first + L" not set: " +
                  ErrorText(result.second) + L"\n",
              true);
        bOk = false;
    }
    if (bOk)
        Print(L"rights: " + place.strPrograms + L" and its programs for administrators, " +
              place.strFolder + L" writable by " + kAccount + L" (Velmora.xml read only)\n");
    return bOk;
}

void ConfigureService(SC_HANDLE hService, const SetupPlace& place, Warnings& vecWarning)
{
    // The command quoted, whatever the installer wrote.
    const std::wstring strCommand = ServiceCommand(place.strPrograms, place.strFolder);
    if (!::ChangeServiceConfigW(hService, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                strCommand.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr,
                                nullptr))
        Warn(L"service command not set to " + strCommand + L": " + ErrorText(::GetLastError()),
             vecWarning);
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
    // The fewest privileges: the daemon reads files and network input only.
    wchar_t szPrivileges[] = L"SeChangeNotifyPrivilege\0";
    SERVICE_REQUIRED_PRIVILEGES_INFOW privileges = {szPrivileges};
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
        {SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, &privileges, L"required privileges"},
    };
    for (const auto& step : aStep) {
        if (!::ChangeServiceConfig2W(hService, step.nLevel, step.pInfo))
            Warn(std::wstring(L"service ") + step.szWhat + L" not set: " +
                     ErrorText(::GetLastError()),
                 vecWarning);
    }
}

void PrepareFolder(const SetupPlace& place, Warnings& vecWarning)
{
    const std::wstring& strFolder = place.strFolder;
    if (!IsFolder(strFolder) && !::CreateDirectoryW(strFolder.c_str(), nullptr))
        Warn(L"cannot create " + strFolder + L": " + ErrorText(::GetLastError()), vecWarning);
    const std::wstring strSettings = strFolder + L"\\Velmora.xml";
    const std::wstring strDefault = place.strPrograms + L"\\" + kDefaultSettings;
    if (IsFile(strSettings)) {
        Print(L"settings: " + strSettings + L" (kept)\n");
    } else if (IsFile(strDefault)) {
        if (::CopyFileW(strDefault.c_str(), strSettings.c_str(), TRUE))
            Print(L"settings: " + strSettings + L" (the default settings)\n");
        else
            Warn(L"cannot copy the default settings to " + strSettings + L": " +
                     ErrorText(::GetLastError()),
                 vecWarning);
    } else {
        Warn(strSettings + L" is missing: the daemon runs with its built-in defaults",
             vecWarning);
    }
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
