// Throttle for a log line whose cause can repeat thousands of times a second
// under attack: a few lines per window, and a count of the rest.
#pragma once

#include <atomic>
#include <cstdint>

namespace velmora {

// Lock-free: any thread may call Hit. A window opens with the first
// occurrence after the previous window has passed, and lets nLines lines
// through; further occurrences in it are only counted.
class LogThrottle {
public:
    static constexpr uint32_t kWindowMs = 10000;

    struct Due {
        bool bLine;          // write a line for this occurrence
        uint64_t nHeld;      // occurrences without a line before this one (only with bLine)
        // Seconds the held count spans: since the previous window opened (10
        // for the first window; 0 for a later line of the same window).
        uint32_t nSeconds;
    };

    explicit LogThrottle(uint32_t nLines = 1) : m_nLines(nLines) {}

    // One occurrence at tick nNowMs (nox::Time::GetTick).
    Due Hit(uint32_t nNowMs);

private:
    static constexpr uint32_t kNever = 0xFFFFFFFFu;   // no window yet

    const uint32_t m_nLines;
    // Window start in the high 32 bits, lines written in it in the low ones.
    std::atomic<uint64_t> m_nState{kNever};
    std::atomic<uint64_t> m_nHeld{0};
};

}  // namespace velmora
