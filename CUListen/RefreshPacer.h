// When the adapter watcher re-reads the table: a burst of change events is
// taken as one re-read about a second after its first event, and without
// events the table is read again every 30 s, for events that were lost or
// that the system never sends. Pure: times are nox::Time ticks passed in.
#pragma once

#include <cstdint>

namespace velmora {

class RefreshPacer {
public:
    static constexpr uint32_t kCoalesceMs = 1000;
    static constexpr uint32_t kFallbackMs = 30000;

    explicit RefreshPacer(uint32_t nNowMs) : m_nLastReadMs(nNowMs) {}

    // A change was reported at nNowMs; events before the re-read it leads to
    // join it.
    void OnEvent(uint32_t nNowMs);
    // Whether the table is to be read again now.
    bool Due(uint32_t nNowMs) const { return WaitMs(nNowMs) == 0; }
    // The table was read at nNowMs.
    void OnRead(uint32_t nNowMs);
    // How long the watcher may wait for an event before a read is due.
    uint32_t WaitMs(uint32_t nNowMs) const;

private:
    static uint32_t Left(uint32_t nFromMs, uint32_t nSpanMs, uint32_t nNowMs);

    uint32_t m_nLastReadMs;
    bool m_bPending = false;
    uint32_t m_nFirstEventMs = 0;
};

}  // namespace velmora
