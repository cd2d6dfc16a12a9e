#include "SearchWatch.h"

#include <algorithm>

namespace velmora {
namespace search {

std::string WatchKey(const ResponderRow& row)
{
    const std::string strMac = MacKey(row.info.strMac);
    if (!strMac.empty())
        return "mac " + strMac;
    return "at " + row.info.strResponder + " " + row.info.strAddr;
}

bool SameValues(const ResponderRow& a, const ResponderRow& b)
{
    const AdapterReply& x = a.info;
    const AdapterReply& y = b.info;
    return a.nForms == b.nForms && x.strResponder == y.strResponder && x.strAddr == y.strAddr &&
           x.strMask == y.strMask && x.strGateway == y.strGateway && x.strMac == y.strMac &&
           x.strMachineName == y.strMachineName && x.strDeviceClass == y.strDeviceClass &&
           x.strDeviceType == y.strDeviceType && x.strVersion == y.strVersion &&
           x.strSerial == y.strSerial && x.nHttpPort == y.nHttpPort && x.nPort == y.nPort &&
           x.nHttpsPort == y.nHttpsPort && x.strIface == y.strIface;
}

std::vector<WatchEvent> WatchTable::Round(const std::vector<ResponderRow>& vecRow)
{
    std::vector<WatchEvent> vecEvent;
    for (Entry& entry : m_vecEntry)
        entry.bSeen = false;
    for (const ResponderRow& row : vecRow) {
        const std::string strKey = WatchKey(row);
        Entry* pEntry = nullptr;
        for (Entry& entry : m_vecEntry) {
            if (entry.strKey == strKey)
                pEntry = &entry;
        }
        if (pEntry == nullptr) {
            if (m_vecEntry.size() >= m_nMaxEntries) {
                ++m_nIgnored;
                continue;
            }
            m_vecEntry.push_back(Entry{strKey, row, 0, true});
            vecEvent.push_back({'+', row});
            continue;
        }
        pEntry->nMissed = 0;
        pEntry->bSeen = true;
        if (!SameValues(pEntry->row, row)) {
            pEntry->row = row;
            vecEvent.push_back({'=', row});
        }
    }
    std::vector<Entry> vecKept;
    for (Entry& entry : m_vecEntry) {
        if (!entry.bSeen && ++entry.nMissed >= m_nGoneAfter)
            vecEvent.push_back({'-', entry.row});
        else
            vecKept.push_back(entry);
    }
    m_vecEntry.swap(vecKept);
    return vecEvent;
}

unsigned WatchPause(unsigned nIntervalMs, unsigned nTimeoutMs)
{
    return nIntervalMs - std::min(nIntervalMs, nTimeoutMs);
}

}  // namespace search
}  // namespace velmora
