#include "nox/Time.h"

#include <atomic>

#include "common/RuntimeOs.h"

namespace nox {

namespace {
std::atomic<detail::ClockSource*> g_pClock{nullptr};
}

uint32_t Time::GetTick()
{
    if (detail::ClockSource* pClock = g_pClock.load(std::memory_order_acquire))
        return pClock->TickMs();
    return static_cast<uint32_t>(os::MonotonicMs());  // wraps after about 49.7 days
}

namespace detail {
ClockSource* SwapClockSource(ClockSource* pClock)
{
    return g_pClock.exchange(pClock, std::memory_order_acq_rel);
}
}  // namespace detail

}  // namespace nox
