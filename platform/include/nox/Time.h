// The tick clock.
#pragma once

#include <cstdint>

namespace nox {

class Time {
public:
    // Monotonic milliseconds, 32 bits, wrapping after about 49.7 days.
    static uint32_t GetTick();
};

namespace detail {
// The clock behind GetTick; tests swap in their own (nox_testing ScopedClock).
class ClockSource {
public:
    virtual ~ClockSource() = default;
    virtual uint32_t TickMs() = 0;
};
// Installs pClock (null: the system clock) and returns the previous one.
ClockSource* SwapClockSource(ClockSource* pClock);
}  // namespace detail

}  // namespace nox
