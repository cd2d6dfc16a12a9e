// Throttle for a log line whose cause can repeat thousands of times a second
// under attack: a few lines per window, and a count of the rest.
#pragma once

#include <atomic>
#include <cstdint>

namespace velmora {

// Lock-free: any thread may call Hit and TakeHeld. A window opens with the
// first occurrence after the previous window has passed, and lets nLines
// lines through; further occurrences in it are only counted, and the count
// is taken once the window has ended (TakeHeld), or by the occurrence that
// opens the next window if no one took it before.
class LogThrottle {
public:
    static constexpr uint32_t kWindowMs = 10000;

    // Occurrences that got no line of their own, and the seconds (rounded
    // up) from the start of their window to its end or to the moment taken.
    struct Held {
        uint64_t nCount;
        uint32_t nSeconds;
    };
    struct Due {
        bool bLine;          // write a line for this occurrence
        Held held;           // of an ended window, to write first (only with bLine)
    };

    explicit LogThrottle(uint32_t nLines = 1) : m_nLines(nLines) {}

    // nCount occurrences at once at tick nNowMs (nox::Time::GetTick).
    Due Hit(uint32_t nNowMs, uint64_t nCount = 1);
    // The held count of a window that has ended by nNowMs, or with bAll of
    // the current one too (at a stop); {0, 0} when none.
    Held TakeHeld(uint32_t nNowMs, bool bAll);
    // Whether a count may be held: one relaxed load, for callers on a hot path.
    bool MayHold() const { return m_nHeld.load(std::memory_order_relaxed) != 0; }

private:
    static constexpr uint32_t kNever = 0xFFFFFFFFu;   // no window yet

    Held SpanOf(uint64_t nCount, uint32_t nStart, uint32_t nNowMs) const;

    const uint32_t m_nLines;
    // Window start in the high 32 bits, lines written in it in the low ones.
    std::atomic<uint64_t> m_nState{kNever};
    std::atomic<uint64_t> m_nHeld{0};
};

}  // namespace velmora
