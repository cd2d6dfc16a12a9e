// Replaces the tick clock behind nox::Time::GetTick for one scope.
#pragma once

#include <atomic>
#include <cstdint>

#include "nox/Time.h"

namespace nox {
namespace testing {

// GetTick returns the value set here (wrapping like the real 32-bit tick)
// until the destructor restores the previous clock. Safe from any thread.
class ScopedClock : public nox::detail::ClockSource {
public:
    explicit ScopedClock(uint32_t nStartMs = 1000000) : m_nNowMs(nStartMs), m_pPrev(nox::detail::SwapClockSource(this)) {}
    ~ScopedClock() override { nox::detail::SwapClockSource(m_pPrev); }
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;

    uint32_t TickMs() override { return m_nNowMs; }
    void SetMs(uint32_t nMs) { m_nNowMs = nMs; }
    void AdvanceMs(uint32_t nMs) { m_nNowMs += nMs; }

private:
    std::atomic<uint32_t> m_nNowMs;
    nox::detail::ClockSource* m_pPrev;
};

}  // namespace testing
}  // namespace nox
