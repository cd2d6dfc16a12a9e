// velmora-service: Velmora as a Windows service. The service manager runs
// "velmora-service run --folder DIR", which supervises velmora.exe in DIR;
// from a console it installs, configures, starts, stops and removes the
// service. Without a command it prints its usage and exits 2: it never waits
// for a service manager that did not start it.
#include <windows.h>

#include <string>

#include "ServiceRun.h"
#include "Setup.h"
#include "WinText.h"
#include "nox/PrintLog.h"

using namespace velmora::svc;

namespace {

#define VELMORA_WIDE2(text) L##text
#define VELMORA_WIDE(text) VELMORA_WIDE2(text)

const wchar_t kUsage[] =
    L"Usage: velmora-service COMMAND [--folder DIR] [--public]\n"
    L"Velmora as the Windows service \"Velmora\" (run these as an administrator):\n"
    L"  install [--folder DIR]  register the service for the daemon folder DIR (default:\n"
    L"                          the Velmora folder beside this program, else its own\n"
    L"                          folder), with delayed automatic start, restart on\n"
    L"                          failure, its event source, the folders' rights and a\n"
    L"                          firewall rule for the Domain and Private profiles\n"
    L"                          (--public: also Public); it refuses a daemon folder\n"
    L"                          that holds the programs\n"
    L"  uninstall               stop and remove the service (the folder's files stay)\n"
    L"  start, stop             start or stop the service and wait for it\n"
    L"  status                  its state, process id and command\n"
    L"  -V, --version           this program's version\n"
    L"The service manager runs \"velmora-service run --folder DIR\"; \"configure\" and\n"
    L"\"unconfigure\" are the steps the MSI runs (from velmora-setup.dll).\n"
    L"Exit status: 0 done, 1 failed, 2 usage error, 3 not running or not installed.\n";

int Usage(const std::wstring& strErr)
{
    if (!strErr.empty())
        Print(L"velmora-service: " + strErr + L"\n", true);
    Print(kUsage, true);
    return kExitUsage;
}

int Run(const std::wstring& strFolder)
{
    const unsigned long nErr = RunService(strFolder);
    if (nErr == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
        Print(L"velmora-service: \"run\" is for the service manager; "
              L"use \"velmora-service start\"\n",
              true);
        return kExitUsage;
    }
    if (nErr != 0) {
        Print(L"velmora-service: the service dispatcher failed: " + ErrorText(nErr) + L"\n", true);
        return kExitFailed;
    }
    return kExitDone;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    nox::PrintLog::instance().SetStderr(false);   // the settings loader's lines stay quiet
    if (argc < 2)
        return Usage(L"");
    const std::wstring strCommand = argv[1];
    if (strCommand == L"--help" || strCommand == L"-h" || strCommand == L"/?") {
        Print(kUsage);
        return kExitDone;
    }
    if (strCommand == L"--version" || strCommand == L"-V") {
        Print(L"velmora-service " VELMORA_WIDE(VELMORA_VERSION) L"\n");
        return kExitDone;
    }
    std::wstring strFolder;
    bool bPublic = false;
    for (int i = 2; i < argc; ++i) {
        const std::wstring strArg = argv[i];
        if ((strArg == L"--folder" || strArg == L"-C") && i + 1 < argc)
            strFolder = FullPath(argv[++i]);
        else if (strArg == L"--public" && (strCommand == L"install" || strCommand == L"configure"))
            bPublic = true;
        else
            return Usage(L"unexpected argument \"" + strArg + L"\"");
    }
    const bool bTakesFolder =
        strCommand == L"install" || strCommand == L"configure" || strCommand == L"run";
    if (!strFolder.empty() && !bTakesFolder)
        return Usage(L"\"" + strCommand + L"\" takes no folder");
    if (strFolder.empty())
        strFolder = DefaultFolder();
    if (strCommand == L"run")
        return Run(strFolder);
    const SetupPlace place = {ProgramFolder(), strFolder, bPublic};
    if (strCommand == L"install")
        return Install(place);
    if (strCommand == L"configure")
        return Configure(place);
    if (strCommand == L"unconfigure")
        return Unconfigure();
    if (strCommand == L"uninstall")
        return Uninstall();
    if (strCommand == L"start")
        return Start();
    if (strCommand == L"stop")
        return Stop();
    if (strCommand == L"status")
        return Status();
    return Usage(L"unknown command \"" + strCommand + L"\"");
}
