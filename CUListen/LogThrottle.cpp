#include "CUListen/LogThrottle.h"

namespace velmora {

LogThrottle::Due LogThrottle::Hit(uint32_t nNowMs)
{
    uint64_t nState = m_nState.load(std::memory_order_relaxed);
    for (;;) {
        const uint32_t nStart = static_cast<uint32_t>(nState >> 32);
        const uint32_t nUsed = static_cast<uint32_t>(nState);
        const bool bFirst = nUsed == kNever;
        const bool bNew = bFirst || nNowMs - nStart >= kWindowMs;
        const uint32_t nLinesSoFar = bNew ? 0 : nUsed;
        if (nLinesSoFar >= m_nLines) {
            m_nHeld.fetch_add(1, std::memory_order_relaxed);
            return {false, 0, 0};
        }
        const uint64_t nNext =
            static_cast<uint64_t>(bNew ? nNowMs : nStart) << 32 | (nLinesSoFar + 1);
        if (m_nState.compare_exchange_weak(nState, nNext, std::memory_order_relaxed)) {
            const uint32_t nSeconds =
                !bNew ? 0 : bFirst ? kWindowMs / 1000 : (nNowMs - nStart) / 1000;
            return {true, m_nHeld.exchange(0, std::memory_order_relaxed), nSeconds};
        }
    }
}

}  // namespace velmora
