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

// Creates the service (or points the existing one at strFolder), then
// Configure. The MSI creates the service itself and runs only Configure.
int Install(const std::wstring& strFolder);
// What the MSI cannot do: description, delayed start, failure actions,
// preshutdown time, service SID, event source, folder access, firewall rule,
// Velmora.xml from the default settings when the folder has none. Problems
// other than a missing service are warnings: the service still runs.
int Configure(const std::wstring& strFolder);
// Removes the event source and the firewall rule.
int Unconfigure();
// Stops and deletes the service, then Unconfigure. Files stay.
int Uninstall();
int Start();
int Stop();
int Status();

}  // namespace svc
}  // namespace velmora
