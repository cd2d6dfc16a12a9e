// What the parts of setup share: Setup.cpp runs the commands, and calls the
// steps kept in SetupService.cpp (the service's settings), SetupFolders.cpp
// (the folders, their settings file and their rights) and SetupFirewall.cpp
// (the firewall rule).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "Setup.h"

namespace velmora {
namespace svc {

inline constexpr wchar_t kFirewallRule[] = L"Velmora discovery responder";

// The warnings of one command: each printed when it happens, all logged as
// event 7 at its end.
using Warnings = std::vector<std::wstring>;
void Warn(const std::wstring& strText, Warnings& vecWarning);

// One argument of a command line, quoted so that Windows' parsing gives it
// back unchanged (a trailing backslash is doubled).
std::wstring Quote(const std::wstring& strArg);
// The service's command line: velmora-service.exe run --folder <folder>.
std::wstring ServiceCommand(const std::wstring& strPrograms, const std::wstring& strFolder);
// The quoted command and the settings of Setup.h's Configure, each one that
// fails a warning.
void ConfigureService(SC_HANDLE hService, const SetupPlace& place, Warnings& vecWarning);

// Refuses a layout in which the service could change its own programs (the
// zip's folder, where programs and daemon data share a folder) or one whose
// rights would be set on a whole drive. kExitDone or, printed, kExitFailed.
int CheckLayout(const std::wstring& strPrograms, const std::wstring& strFolder);
// Creates the daemon folder when missing and gives it Velmora.xml from the
// default settings when it has none; what fails is a warning.
void PrepareFolder(const SetupPlace& place, Warnings& vecWarning);
// The rights described in docs/windows.md: the programs' folder and its
// programs for administrators alone to change; the daemon folder's data
// (control file, pid, status, logs, dumps) writable by the service, which
// may add files there but read only Velmora.xml. Every path failed is
// printed; false when any failed.
bool SecureFolders(const SetupPlace& place);

// The inbound rule for velmora.exe on the UDP ports of the daemon folder's
// Velmora.xml, from the local subnet, replacing an older one; a failure is
// a warning.
void AddFirewallRule(const SetupPlace& place, Warnings& vecWarning);
// Removes the rule, if there is one.
void DeleteFirewallRule();

}  // namespace svc
}  // namespace velmora
