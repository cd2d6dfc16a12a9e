// Windows: the daemon runs as a console program, under no service manager
// that takes notifications, so there is nobody to tell.
#include "nox/ServiceManager.h"

namespace nox {

void ServiceManager::Ready(const char*)
{
}

void ServiceManager::Status(const char*)
{
}

void ServiceManager::Stopping()
{
}

unsigned ServiceManager::WatchdogMs()
{
    return 0;
}

bool ServiceManager::WatchdogWanted()
{
    return false;
}

void ServiceManager::Alive()
{
}

}  // namespace nox
