#include "CUListen/ReplyBudget.h"

namespace velmora {

namespace {
const uint64_t kCostPerReply = 1000;   // units; the rate gives units per millisecond
}

ReplyBudget::ReplyBudget(uint32_t nPerSecond) : m_nRate(nPerSecond), m_nFullAt(0) {}

bool ReplyBudget::Take(uint32_t nReplies, uint32_t nNowMs)
{
    if (m_nRate == 0 || nReplies == 0)
        return true;
    const uint64_t nNow = static_cast<uint64_t>(nNowMs) * m_nRate;
    const uint64_t nBurst = kCostPerReply * m_nRate;   // one second of replies
    const uint64_t nCost = kCostPerReply * nReplies;
    uint64_t nFullAt = m_nFullAt.load(std::memory_order_relaxed);
    for (;;) {
        // Full already, or a clock that went back (the tick wraps after
        // about 49.7 days): start from a full bucket.
        const uint64_t nAhead = nFullAt - nNow;
        const uint64_t nFrom = (static_cast<int64_t>(nAhead) < 0 || nAhead > nBurst) ? nNow
                                                                                    : nFullAt;
        if (nFrom - nNow + nCost > nBurst)
            return false;
        if (m_nFullAt.compare_exchange_weak(nFullAt, nFrom + nCost, std::memory_order_relaxed))
            return true;
    }
}

}  // namespace velmora
