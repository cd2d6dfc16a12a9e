// systemd's notification protocol through libsystemd: a datagram to the
// socket named in NOTIFY_SOCKET, which sd_notify leaves alone when unset.
#include "nox/ServiceManager.h"

#include <systemd/sd-daemon.h>

#include <cstdint>

namespace nox {

void ServiceManager::Ready(const char* szStatus)
{
    (void)sd_notifyf(0, "READY=1\nSTATUS=%s", szStatus);
}

void ServiceManager::Status(const char* szStatus)
{
    (void)sd_notifyf(0, "STATUS=%s", szStatus);
}

void ServiceManager::Stopping()
{
    (void)sd_notify(0, "STOPPING=1");
}

unsigned ServiceManager::WatchdogMs()
{
    uint64_t nUsec = 0;
    if (sd_watchdog_enabled(0, &nUsec) <= 0)
        return 0;
    const uint64_t nMs = nUsec / 1000;
    return nMs > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<unsigned>(nMs);
}

bool ServiceManager::WatchdogWanted()
{
    return WatchdogMs() > 0;
}

void ServiceManager::Alive()
{
    (void)sd_notify(0, "WATCHDOG=1");
}

}  // namespace nox
