// The reply budget: a token bucket shared by every worker, refilled at a
// fixed number of replies per second, holding at most one second's worth.
#pragma once

#include <atomic>
#include <cstdint>

namespace velmora {

// Lock-free: any thread may call Take. The bucket is kept as the time at
// which it would be full again (the generic cell rate form), in units of
// 1/rate of a millisecond, so one reply costs 1000 units.
class ReplyBudget {
public:
    // nPerSecond 0: no limit, Take always succeeds.
    explicit ReplyBudget(uint32_t nPerSecond);

    // Takes nReplies at once at tick nNowMs (nox::Time::GetTick), or none:
    // true when all fit the budget. A request whose replies together exceed
    // one second's budget never fits.
    bool Take(uint32_t nReplies, uint32_t nNowMs);
    // Whether there is a limit at all (else Take needs no tick).
    bool Limited() const { return m_nRate != 0; }

private:
    const uint64_t m_nRate;
    std::atomic<uint64_t> m_nFullAt;
};

}  // namespace velmora
