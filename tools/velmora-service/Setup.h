// The console commands of velmora-service: the service's registration with
// the service manager and what goes with it (event source, failure actions,
// the account's write access to the daemon folder, the firewall rule, the
// default settings), and its start, stop and status. Each prints what it did
// or why it failed, and returns the exit status.
#pragma once

#include <string>

namespace velmora {
namespace svc {

enum ExitStatus { kExitDone = 0, kExitFailed = 1, kExitUsage = 2, kExitNotRunning = 3 };

extern const wchar_t kDisplayName[];
extern const wchar_t kDescription[];
extern const wchar_t kAccount[];          // "NT SERVICE\Velmora"

// The daemon folder when none is named: "Velmora" beside this program when
// it exists (the MSI's layout), else this program's folder (the zip's).
std::wstring DefaultFolder();

// Where setup works: the programs' folder (velmora-service.exe, velmora.exe
// and the others), the daemon folder, and whether the firewall rule also
// covers the Public profile.
struct SetupPlace {
    std::wstring strPrograms;
    std::wstring strFolder;
    bool bPublic = false;
};

// Creates the service (or points the existing one at the daemon folder),
// then Configure. The MSI creates the service itself and runs only Configure.
int Install(const SetupPlace& place);
// What the MSI cannot do: the quoted command, description, delayed start,
// failure actions, preshutdown time, service SID, required privileges, event
// source, Velmora.xml from the default settings when the folder has none,
// the folders' rights, the firewall rule. A layout where the service could
// write its own programs, or rights that cannot be set, fail; other problems
// are warnings (printed and logged as event 7): the service still runs.
int Configure(const SetupPlace& place);
// Removes the event source and the firewall rule.
int Unconfigure();
// Stops and deletes the service, then Unconfigure. Files stay.
int Uninstall();
int Start();
int Stop();
int Status();

}  // namespace svc
}  // namespace velmora
