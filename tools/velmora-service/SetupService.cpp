// The service's settings that the service manager's CreateService (or the
// MSI's ServiceInstall) leaves out, set on the service Configure opens.
#include <windows.h>

#include "SetupInternal.h"
#include "WinText.h"

namespace velmora {
namespace svc {

const wchar_t kDescription[] =
    L"Answers the discovery requests (UDP, JSON and binary forms) of clients on the local "
    L"network for this server installation.";

namespace {

constexpr DWORD kPreshutdownMs = 30000;
constexpr DWORD kFailureResetSeconds = 24 * 60 * 60;
constexpr DWORD kRestartAfterMs = 5000;

}  // namespace

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

}  // namespace svc
}  // namespace velmora
