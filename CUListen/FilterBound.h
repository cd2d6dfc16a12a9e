// The duplicate filter's decision, with a bound on its table: source host
// text -> head (signed byte) -> seconds of the last accepted request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <utility>

namespace velmora {

using FilterTable = std::map<std::string, std::map<int, unsigned int>>;

// Decides requests against a FilterTable and keeps it bounded. It also keeps
// the table's hosts in a queue, each once, in the order in which they entered
// it or were last passed over (a host accepted again is not moved at once:
// it gets a second chance when it reaches the front), so the work per request
// stays constant and allocates nothing beyond the table's own entries. The
// caller holds the table's lock; the table must change only through Accept
// (or be read).
class FilterBound {
public:
    static constexpr size_t kHighWater = 4096;
    static constexpr int kSweep = 4;        // hosts looked at per request above the mark
    static constexpr int kPassOver = 8;     // then the cap evicts the front host regardless

    // Hard cap nMaxHosts; the high-water mark is kHighWater or the cap if lower.
    explicit FilterBound(size_t nMaxHosts);

    // A request of szHost with head nKey at nNow seconds. A duplicate (false)
    // when the same host and head was accepted 0 to nInterval seconds before
    // (unsigned difference, not negative as a signed value); it changes
    // nothing. Otherwise (true) nNow is recorded and the table trimmed:
    // above the high-water mark up to kSweep hosts at the front of the queue
    // are looked at: each goes when none of its heads could still drop a
    // request, moves to the back when accepted again since it was queued,
    // and otherwise ends the sweep; above the cap the front host goes
    // whatever its age (unless accepted again since it was queued: then it
    // moves to the back, at most kPassOver times per request; szHost itself
    // never goes), and nEvicted counts the hosts gone.
    bool Accept(FilterTable& table, const char* szHost, int nKey, uint32_t nNow,
                uint32_t nInterval, uint64_t& nEvicted);

private:
    // A host of the table and the second at which it was queued.
    using AgeQueue = std::deque<std::pair<FilterTable::iterator, uint32_t>>;

    void PassOver(uint32_t nNow);
    void EraseFront(FilterTable& table);

    const size_t m_nMaxHosts;
    const size_t m_nHighWater;
    AgeQueue m_queueAge;
};

}  // namespace velmora
