// The service itself, as the service manager runs it ("velmora-service run
// --folder DIR"): the daemon in DIR supervised, restarted after a failure,
// stopped with q on a stop, shutdown or preshutdown control.
#pragma once

#include <string>

namespace velmora {
namespace svc {

// Service-specific exit codes of the stopped service.
enum ServiceExit { kServiceOk = 0, kServiceGaveUp = 1, kServiceStartFailed = 2 };

// Hands the process to the service manager; returns when the service has
// stopped. 0, or the Windows error of StartServiceCtrlDispatcher (1063 when
// not started by the service manager).
unsigned long RunService(const std::wstring& strFolder);

}  // namespace svc
}  // namespace velmora
