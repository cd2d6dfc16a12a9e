#include "CUListen/FilterTable.h"

#include <algorithm>
#include <cstdlib>
#include <new>

#include "nox/Str.h"

namespace velmora {

namespace {
// Within the window: a request now would be dropped.
bool IsRecent(uint32_t nNow, uint32_t nLast, uint32_t nInterval)
{
    const uint32_t nDiff = nNow - nLast;
    return nDiff <= nInterval && static_cast<int32_t>(nDiff) >= 0;
}

int HeadIndex(int nKey)
{
    return nKey == -93 ? 0 : 1;
}

// Zeroed memory straight from the system: pages no host has reached are
// never touched, so a large cap costs nothing until it fills.
template <class T>
T* ZeroedArray(size_t nCount)
{
    void* p = std::calloc(nCount, sizeof(T));
    if (p == nullptr)
        throw std::bad_alloc();
    return static_cast<T*>(p);
}
}  // namespace

FilterTable::FilterTable(size_t nMaxHosts)
    : m_nMax(nMaxHosts > 0 ? nMaxHosts : 1), m_pSlot(nullptr, std::free), m_pHost(nullptr, std::free)
{
    size_t nSlots = 2;
    while (nSlots < 2 * m_nMax)
        nSlots *= 2;
    m_nMask = nSlots - 1;
    m_pSlot.reset(ZeroedArray<Slot>(nSlots));
    m_pHost.reset(ZeroedArray<Host>(m_nMax));
}

FilterTable::~FilterTable() = default;

uint32_t FilterTable::AddressOf(const char* szHost)
{
    uint32_t nAddr = 0;
    int nPart = 0;
    uint32_t nValue = 0;
    bool bDigit = false;
    for (const char* p = szHost != nullptr ? szHost : ""; ; ++p) {
        if (*p >= '0' && *p <= '9' && nValue <= 255) {
            nValue = nValue * 10 + static_cast<uint32_t>(*p - '0');
            bDigit = true;
            continue;
        }
        if (!bDigit || nValue > 255 || (*p != '.' && *p != '\0') || nPart > 3)
            return 0;
        nAddr = nAddr << 8 | nValue;
        ++nPart;
        if (*p == '\0')
            return nPart == 4 ? nAddr : 0;
        nValue = 0;
        bDigit = false;
    }
}

size_t FilterTable::Home(uint32_t nAddr) const
{
    // Every bit of the address reaches the slot: sources often differ only in
    // their last octets, and near addresses must not crowd one run of slots.
    uint32_t nHash = nAddr;
    nHash ^= nHash >> 16;
    nHash *= 0x7FEB352Du;
    nHash ^= nHash >> 15;
    nHash *= 0x846CA68Bu;
    nHash ^= nHash >> 16;
    return static_cast<size_t>(nHash) & m_nMask;
}

size_t FilterTable::Find(uint32_t nAddr) const
{
    size_t nSlot = Home(nAddr);
    while (m_pSlot[nSlot].nHost != 0 && m_pSlot[nSlot].nAddr != nAddr)
        nSlot = (nSlot + 1) & m_nMask;
    return nSlot;
}

void FilterTable::Unlink(int32_t nHost)
{
    Host& host = m_pHost[nHost];
    if (host.nOlder >= 0)
        m_pHost[host.nOlder].nNewer = host.nNewer;
    else
        m_nOldest = host.nNewer;
    if (host.nNewer >= 0)
        m_pHost[host.nNewer].nOlder = host.nOlder;
    else
        m_nNewest = host.nOlder;
}

void FilterTable::LinkNewest(int32_t nHost)
{
    Host& host = m_pHost[nHost];
    host.nOlder = m_nNewest;
    host.nNewer = -1;
    if (m_nNewest >= 0)
        m_pHost[m_nNewest].nNewer = nHost;
    else
        m_nOldest = nHost;
    m_nNewest = nHost;
}

// Empties the slot and moves back each follower whose home lies at or before
// the hole, so that every host stays reachable from its home.
void FilterTable::EraseSlot(size_t nSlot)
{
    size_t nHole = nSlot;
    for (size_t nNext = (nHole + 1) & m_nMask; m_pSlot[nNext].nHost != 0; nNext = (nNext + 1) & m_nMask) {
        const size_t nHome = Home(m_pSlot[nNext].nAddr);
        // Distance from home to the follower, and from home to the hole.
        if (((nNext - nHome) & m_nMask) >= ((nNext - nHole) & m_nMask)) {
            m_pSlot[nHole] = m_pSlot[nNext];
            nHole = nNext;
        }
    }
    m_pSlot[nHole] = Slot{0, 0};
}

bool FilterTable::Accept(uint32_t nAddr, int nKey, uint32_t nNow, uint32_t nInterval,
                         uint64_t& nEvicted)
{
    const int nHead = HeadIndex(nKey);
    size_t nSlot = Find(nAddr);
    int32_t nHost = m_pSlot[nSlot].nHost - 1;
    if (nHost >= 0) {
        Host& host = m_pHost[nHost];
        if ((host.nHeads & (1u << nHead)) != 0 && IsRecent(nNow, host.anSeconds[nHead], nInterval))
            return false;
        Unlink(nHost);
    } else if (m_nUsed < m_nMax) {
        nHost = static_cast<int32_t>(m_nUsed++);
        m_pHost[nHost] = Host{nAddr, {0, 0}, 0, -1, -1};
        m_pSlot[nSlot] = Slot{nAddr, nHost + 1};
    } else {
        // The oldest host's place goes to the new one.
        nHost = m_nOldest;
        Host& old = m_pHost[nHost];
        for (int i = 0; i < 2; ++i) {
            if ((old.nHeads & (1u << i)) != 0 && IsRecent(nNow, old.anSeconds[i], nInterval)) {
                ++nEvicted;
                break;
            }
        }
        Unlink(nHost);
        EraseSlot(Find(old.nAddr));
        old = Host{nAddr, {0, 0}, 0, -1, -1};
        m_pSlot[Find(nAddr)] = Slot{nAddr, nHost + 1};
    }
    Host& host = m_pHost[nHost];
    host.anSeconds[nHead] = nNow;
    host.nHeads = static_cast<uint8_t>(host.nHeads | (1u << nHead));
    LinkNewest(nHost);
    // At the cap a new host removes the oldest one from its slot: fetching
    // that slot now takes the miss off the next request's path.
    if (m_nUsed == m_nMax && m_nOldest >= 0)
        __builtin_prefetch(&m_pSlot[Home(m_pHost[m_nOldest].nAddr)], 1);
    return true;
}

size_t FilterTable::Entries() const
{
    size_t nCount = 0;
    for (size_t i = 0; i < m_nUsed; ++i)
        nCount += static_cast<size_t>((m_pHost[i].nHeads & 1u) + (m_pHost[i].nHeads >> 1 & 1u));
    return nCount;
}

std::vector<FilterRow> FilterTable::SortedRows() const
{
    std::vector<FilterRow> vecRow;
    vecRow.reserve(Entries());
    char szHost[16];
    for (size_t i = 0; i < m_nUsed; ++i) {
        const Host& host = m_pHost[i];
        const uint32_t n = host.nAddr;
        (void)nox::Str::sprintf_x(szHost, sizeof(szHost), "%u.%u.%u.%u", n >> 24, n >> 16 & 0xFFu,
                                  n >> 8 & 0xFFu, n & 0xFFu);
        for (int nHead = 0; nHead < 2; ++nHead) {
            if ((host.nHeads & (1u << nHead)) != 0)
                vecRow.push_back({szHost, nHead == 0 ? -93 : 32, host.anSeconds[nHead]});
        }
    }
    std::sort(vecRow.begin(), vecRow.end(), [](const FilterRow& a, const FilterRow& b) {
        return a.strHost != b.strHost ? a.strHost < b.strHost : a.nKey < b.nKey;
    });
    return vecRow;
}

}  // namespace velmora
