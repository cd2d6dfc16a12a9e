// The duplicate filter's decision, with a bound on its table: source host
// text -> head (signed byte) -> seconds of the last accepted request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <unordered_map>

namespace velmora {

using FilterTable = std::map<std::string, std::map<int, unsigned int>>;

// Decides requests against a FilterTable and keeps it bounded. It also keeps
// the table's hosts in the order of their last accepted request, so the work
// per request stays constant. The caller holds the table's lock; the table
// must change only through Accept (or be read).
class FilterBound {
public:
    static constexpr size_t kHighWater = 4096;
    static constexpr int kSweep = 4;   // expired hosts removed per request, at most

    // Hard cap nMaxHosts; the high-water mark is kHighWater or the cap if lower.
    explicit FilterBound(size_t nMaxHosts);

    // A request of szHost with head nKey at nNow seconds. A duplicate (false)
    // when the same host and head was accepted 0 to nInterval seconds before
    // (unsigned difference, not negative as a signed value); it changes
    // nothing. Otherwise (true) nNow is recorded and the table trimmed:
    // above the high-water mark up to kSweep hosts none of whose heads could
    // still drop a request go, oldest first; above the cap the oldest hosts go
    // whatever their age, and nEvicted counts them.
    bool Accept(FilterTable& table, const char* szHost, int nKey, uint32_t nNow,
                uint32_t nInterval, uint64_t& nEvicted);

private:
    using AgeList = std::list<FilterTable::iterator>;   // least recently accepted first

    void Touch(FilterTable::iterator itHost);
    void EraseOldest(FilterTable& table);

    const size_t m_nMaxHosts;
    const size_t m_nHighWater;
    AgeList m_listAge;
    std::unordered_map<const std::string*, AgeList::iterator> m_mapAge;   // by the table's key
};

}  // namespace velmora
