#include "CUListen/RefreshPacer.h"

#include <algorithm>

namespace velmora {

// Tick arithmetic wraps: only differences are compared.
uint32_t RefreshPacer::Left(uint32_t nFromMs, uint32_t nSpanMs, uint32_t nNowMs)
{
    const uint32_t nGone = nNowMs - nFromMs;
    return nGone >= nSpanMs ? 0 : nSpanMs - nGone;
}

void RefreshPacer::OnEvent(uint32_t nNowMs)
{
    if (!m_bPending) {
        m_bPending = true;
        m_nFirstEventMs = nNowMs;
    }
}

void RefreshPacer::OnRead(uint32_t nNowMs)
{
    m_nLastReadMs = nNowMs;
    m_bPending = false;
}

uint32_t RefreshPacer::WaitMs(uint32_t nNowMs) const
{
    const uint32_t nFallback = Left(m_nLastReadMs, kFallbackMs, nNowMs);
    return m_bPending ? std::min(nFallback, Left(m_nFirstEventMs, kCoalesceMs, nNowMs)) : nFallback;
}

}  // namespace velmora
