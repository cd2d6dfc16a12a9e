// Reports that the host's network interfaces, IPv4 addresses or routes may
// have changed: rtnetlink on Linux, the IP helper's change notifications
// (interfaces, unicast addresses, routes) on Windows.
#pragma once

#include <cstdint>
#include <memory>

namespace nox {

// One watcher thread calls Open, Wait and Close; Wake may come from any
// thread. A report says only that something changed: the caller reads what
// it needs again.
class NetWatch {
public:
    NetWatch();
    ~NetWatch();   // closes
    NetWatch(const NetWatch&) = delete;
    NetWatch& operator=(const NetWatch&) = delete;

    // Starts taking the system's reports. 0, or a negative error: then Wait
    // only times out or is woken.
    int Open();
    // Waits at most nTimeoutMs: 1 when a report came (every report waiting
    // is taken with it), 0 after the time-out or a Wake. A report that the
    // system lost for want of buffer space counts as a report.
    int Wait(uint32_t nTimeoutMs);
    // Makes the current or the next Wait return at once.
    void Wake();
    void Close();

private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};

}  // namespace nox
