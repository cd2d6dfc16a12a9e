// When the daemon ends without being asked to (a crash, a kill, a q from
// someone else), the service host starts it again after kRestartDelayMs,
// unless it has restarted it kMaxRestarts times within kWindowMs already:
// then it gives up, and the service stops with an error so that the service
// manager's recovery actions apply. The same policy as the Linux unit
// (RestartSec=5, StartLimitBurst=20 in StartLimitIntervalSec=600).
// One thread (the service's) uses it; times come from any monotonic clock.
#pragma once

#include <deque>

namespace velmora {
namespace svc {

class CRestartPolicy {
public:
    static constexpr unsigned kRestartDelayMs = 5000;
    static constexpr unsigned kMaxRestarts = 20;
    static constexpr unsigned long long kWindowMs = 10 * 60 * 1000;

    // The daemon ended on its own at nNowMs (or could not be started): true
    // when it is to be started again after kRestartDelayMs (the restart is
    // counted), false when the host gives up.
    bool OnUnexpectedExit(unsigned long long nNowMs);

private:
    std::deque<unsigned long long> m_listRestart;   // times of the counted restarts
};

}  // namespace svc
}  // namespace velmora
