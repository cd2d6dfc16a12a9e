#include "CUListen/FilterBound.h"

namespace velmora {

namespace {
// Within the window: a request now would be dropped.
bool IsRecent(uint32_t nNow, unsigned int nLast, uint32_t nInterval)
{
    const uint32_t nDiff = nNow - nLast;
    return nDiff <= nInterval && static_cast<int32_t>(nDiff) >= 0;
}

bool AnyRecent(const FilterTable::mapped_type& heads, uint32_t nNow, uint32_t nInterval)
{
    for (const auto& head : heads) {
        if (IsRecent(nNow, head.second, nInterval))
            return true;
    }
    return false;
}

// Accepted after nSince (a later second, not wrapped back).
bool AcceptedSince(const FilterTable::mapped_type& heads, uint32_t nSince)
{
    for (const auto& head : heads) {
        if (static_cast<int32_t>(head.second - nSince) > 0)
            return true;
    }
    return false;
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
        m_queueAge.emplace_back(itHost, nNow);
    } else {
        auto itHead = itHost->second.find(nKey);
        if (itHead != itHost->second.end() && IsRecent(nNow, itHead->second, nInterval))
            return false;
    }
    itHost->second[nKey] = nNow;

    for (int i = 0; i < kSweep && table.size() > m_nHighWater && m_queueAge.size() > 1; ++i) {
        const auto& front = m_queueAge.front();
        if (!AnyRecent(front.first->second, nNow, nInterval))
            EraseFront(table);
        else if (AcceptedSince(front.first->second, front.second))
            PassOver(nNow);
        else
            break;   // in use as of its place in the queue: so are the hosts behind it
    }
    int nPassed = 0;
    while (table.size() > m_nMaxHosts && m_queueAge.size() > 1) {
        const auto& front = m_queueAge.front();
        // The host just accepted stays whatever the count: evicting it would
        // let its repeat through at once.
        if (front.first == itHost) {
            PassOver(nNow);
            continue;
        }
        if (nPassed < kPassOver && AcceptedSince(front.first->second, front.second)) {
            PassOver(nNow);
            ++nPassed;
            continue;
        }
        EraseFront(table);
        ++nEvicted;
    }
    return true;
}

void FilterBound::PassOver(uint32_t nNow)
{
    const FilterTable::iterator itHost = m_queueAge.front().first;
    m_queueAge.pop_front();
    m_queueAge.emplace_back(itHost, nNow);
}

void FilterBound::EraseFront(FilterTable& table)
{
    const FilterTable::iterator itHost = m_queueAge.front().first;
    m_queueAge.pop_front();
    table.erase(itHost);
}

}  // namespace velmora
