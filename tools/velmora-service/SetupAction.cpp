// velmora-setup.dll: the MSI's custom actions, kept in the package's Binary
// table so that they run whether or not the installed files are still there.
// Each is deferred and runs as the system; every line it prints goes to the
// installer's log (msiexec /l*v), and warnings also to the Event Log (id 7).
//   VelmoraConfigure    CustomActionData "<1 for the Public profile>|<INSTALLDIR>"
//   VelmoraUnconfigure  removes the firewall rule and the event source
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>
#include <vector>

#include "Setup.h"
#include "WinText.h"
#include "nox/PrintLog.h"

using namespace velmora::svc;

namespace {

MSIHANDLE g_hInstall = 0;

void ToInstallerLog(const std::wstring& strText, bool /*bError*/)
{
    std::wstring strLine = strText;
    while (!strLine.empty() && (strLine.back() == L'\n' || strLine.back() == L'\r'))
        strLine.pop_back();
    const MSIHANDLE hRecord = ::MsiCreateRecord(1);
    if (hRecord == 0)
        return;
    (void)::MsiRecordSetStringW(hRecord, 0, L"velmora-setup: [1]");
    (void)::MsiRecordSetStringW(hRecord, 1, strLine.c_str());
    (void)::MsiProcessMessage(g_hInstall, INSTALLMESSAGE_INFO, hRecord);
    (void)::MsiCloseHandle(hRecord);
}

std::wstring ActionData(MSIHANDLE hInstall)
{
    wchar_t szEmpty[1] = L"";
    DWORD nSize = 0;
    if (::MsiGetPropertyW(hInstall, L"CustomActionData", szEmpty, &nSize) != ERROR_MORE_DATA)
        return std::wstring();
    std::vector<wchar_t> vecData(nSize + 1);
    nSize = static_cast<DWORD>(vecData.size());
    if (::MsiGetPropertyW(hInstall, L"CustomActionData", vecData.data(), &nSize) != ERROR_SUCCESS)
        return std::wstring();
    return std::wstring(vecData.data(), nSize);
}

// Runs fn with Print going to the installer's log.
template <typename Fn>
UINT Logged(MSIHANDLE hInstall, Fn fn)
{
    g_hInstall = hInstall;
    nox::PrintLog::instance().SetStderr(false);   // the settings loader's lines stay quiet
    SetPrintSink(ToInstallerLog);
    const int nExit = fn();
    SetPrintSink(nullptr);
    return nExit == kExitDone ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall VelmoraConfigure(MSIHANDLE hInstall)
{
    return Logged(hInstall, [hInstall]() {
        const std::wstring strData = ActionData(hInstall);
        const size_t nBar = strData.find(L'|');
        if (nBar == std::wstring::npos) {
            Print(L"no install folder in \"" + strData + L"\"\n", true);
            return static_cast<int>(kExitFailed);
        }
        SetupPlace place;
        place.bPublic = strData.compare(0, nBar, L"1") == 0;
        place.strPrograms = FullPath(strData.substr(nBar + 1));
        place.strFolder = place.strPrograms + L"\\Velmora";
        return Configure(place);
    });
}

extern "C" __declspec(dllexport) UINT __stdcall VelmoraUnconfigure(MSIHANDLE hInstall)
{
    return Logged(hInstall, []() { return Unconfigure(); });
}
