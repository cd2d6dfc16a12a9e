// Tells the service manager how the service is doing: ready, a status line,
// stopping, and that it is alive. On Linux this is systemd's notification
// protocol; without a service manager listening (no NOTIFY_SOCKET) and on
// Windows every call does nothing. Main thread.
#pragma once

namespace nox {

class ServiceManager {
public:
    // The service has started; szStatus is its one-line status.
    static void Ready(const char* szStatus);
    static void Status(const char* szStatus);
    static void Stopping();
    // True when the manager wants a sign of life at least every WatchdogMs().
    static bool WatchdogWanted();
    // The manager's watchdog interval in milliseconds (0: none).
    static unsigned WatchdogMs();
    // A sign of life.
    static void Alive();
};

}  // namespace nox
