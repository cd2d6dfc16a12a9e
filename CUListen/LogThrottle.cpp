#include "CUListen/LogThrottle.h"

#include <algorithm>

namespace velmora {

LogThrottle::Held LogThrottle::SpanOf(uint64_t nCount, uint32_t nStart, uint32_t nNowMs) const
{
    if (nCount == 0)
        return {0, 0};
    const uint32_t nSpan = std::min<uint32_t>(nNowMs - nStart, kWindowMs);
    return {nCount, std::max<uint32_t>(1, (nSpan + 999) / 1000)};
}

LogThrottle::Due LogThrottle::Hit(uint32_t nNowMs, uint64_t nCount)
{
    uint64_t nState = m_nState.load(std::memory_order_relaxed);
    for (;;) {
        const uint32_t nStart = static_cast<uint32_t>(nState >> 32);
        const uint32_t nUsed = static_cast<uint32_t>(nState);
        const bool bFirst = nUsed == kNever;
        const bool bNew = bFirst || nNowMs - nStart >= kWindowMs;
        const uint32_t nLinesSoFar = bNew ? 0 : nUsed;
        if (nLinesSoFar >= m_nLines) {
            m_nHeld.fetch_add(nCount, std::memory_order_relaxed);
            return {false, {0, 0}};
        }
        const uint64_t nNext =
            static_cast<uint64_t>(bNew ? nNowMs : nStart) << 32 | (nLinesSoFar + 1);
        if (m_nState.compare_exchange_weak(nState, nNext, std::memory_order_relaxed)) {
            if (!bNew || bFirst)
                return {true, {0, 0}};
            return {true, SpanOf(m_nHeld.exchange(0, std::memory_order_relaxed), nStart, nNowMs)};
        }
    }
}

LogThrottle::Held LogThrottle::TakeHeld(uint32_t nNowMs, bool bAll)
{
    if (m_nHeld.load(std::memory_order_relaxed) == 0)
        return {};
    const uint64_t nState = m_nState.load(std::memory_order_relaxed);
    const uint32_t nStart = static_cast<uint32_t>(nState >> 32);
    if (!bAll && nNowMs - nStart < kWindowMs)
        return {0, 0};
    return SpanOf(m_nHeld.exchange(0, std::memory_order_relaxed), nStart, nNowMs);
}

}  // namespace velmora
