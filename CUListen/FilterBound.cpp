#include "CUListen/FilterBound.h"

namespace velmora {

namespace {
// Within the window: a request now would be dropped.
bool IsRecent(uint32_t nNow, unsigned int nLast, uint32_t nInterval)
{
    const uint32_t nDiff = nNow - nLast;
    return nDiff <= nInterval && static_cast<int32_t>(nDiff) >= 0;
}
}  // namespace

FilterBound::FilterBound(size_t nMaxHosts)
    : m_nMaxHosts(nMaxHosts), m_nHighWater(nMaxHosts < kHighWater ? nMaxHosts : kHighWater)
{
}

bool FilterBound::Accept(FilterTable& table, const char* szHost, int nKey, uint32_t nNow,
                         uint32_t nInterval, uint64_t& nEvicted)
{
    // One descent for the look-up and the insertion of a new host.
    auto itHost = table.lower_bound(szHost);
    if (itHost == table.end() || itHost->first != szHost) {
        itHost = table.emplace_hint(itHost, szHost, FilterTable::mapped_type());
    } else {
        auto itHead = itHost->second.find(nKey);
        if (itHead != itHost->second.end() && IsRecent(nNow, itHead->second, nInterval))
            return false;
    }
    itHost->second[nKey] = nNow;
    Touch(itHost);

    for (int i = 0; i < kSweep && table.size() > m_nHighWater && !m_listAge.empty(); ++i) {
        bool bLive = false;
        for (const auto& head : m_listAge.front()->second)
            bLive = bLive || IsRecent(nNow, head.second, nInterval);
        if (bLive)
            break;   // the oldest host still counts, so every younger one does
        EraseOldest(table);
    }
    while (table.size() > m_nMaxHosts && m_listAge.size() > 1) {
        EraseOldest(table);
        ++nEvicted;
    }
    return true;
}

void FilterBound::Touch(FilterTable::iterator itHost)
{
    auto itAge = m_mapAge.find(&itHost->first);
    if (itAge == m_mapAge.end()) {
        m_mapAge.emplace(&itHost->first, m_listAge.insert(m_listAge.end(), itHost));
    } else {
        m_listAge.splice(m_listAge.end(), m_listAge, itAge->second);
    }
}

void FilterBound::EraseOldest(FilterTable& table)
{
    const FilterTable::iterator itHost = m_listAge.front();
    m_mapAge.erase(&itHost->first);
    m_listAge.pop_front();
    table.erase(itHost);
}

}  // namespace velmora
