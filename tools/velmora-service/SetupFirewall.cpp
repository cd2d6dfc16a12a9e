// The firewall rule of setup: netsh's advfirewall, run without a window.
#include <windows.h>

#include <algorithm>
#include <vector>

#include "Service/Service.h"
#include "SetupInternal.h"
#include "WinText.h"

namespace velmora {
namespace svc {

namespace {

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

}  // namespace

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

}  // namespace svc
}  // namespace velmora
