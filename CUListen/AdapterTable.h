// The adapter table and what the handler derives from it: its rows, taken from
// the host's adapters through the name filter, the comparison of two tables,
// and the immutable table that workers answer from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "CUListen/OnLink.h"
#include "nox/Status.h"

#pragma pack(push, 1)
// One row of the adapter table: isOK, then a byte copy of a nox::AdapterInfo.
struct AdapterEntry {
    unsigned char isOK;
    char adapterName[260];
    char macAddr[32];
    char hostAddr[32];
    char subNetMask[32];
    char gateWayAddr[32];
};
#pragma pack(pop)
static_assert(sizeof(AdapterEntry) == 389, "AdapterEntry is a packed 389-byte row");

namespace velmora {

// Adapter names to answer for (AdapterInclude and AdapterExclude): blank-
// separated patterns where '*' stands for any run of characters and '?' for
// one, ASCII letter case ignored. A name is taken when the include list is
// empty or one of its patterns matches, and no exclude pattern matches.
class AdapterFilter {
public:
    AdapterFilter() = default;
    AdapterFilter(const std::string& strInclude, const std::string& strExclude);

    bool Takes(const char* szName) const;
    bool Empty() const { return m_vecInclude.empty() && m_vecExclude.empty(); }
    // The patterns of a setting's text, in order.
    static std::vector<std::string> Split(const std::string& strText);

private:
    std::vector<std::string> m_vecInclude;
    std::vector<std::string> m_vecExclude;
};

bool NameMatches(const char* szPattern, const char* szName);

// The table's rows: the adapters that the filter takes, in the order
// reported, each with isOK 1. The names of those it leaves out go to
// pvecLeftOut when given.
std::vector<AdapterEntry> MakeRows(const std::vector<nox::AdapterInfo>& vecInfo,
                                   const AdapterFilter& filter,
                                   std::vector<std::string>* pvecLeftOut = nullptr);

// True when no row carries an address clients could reach: no row at all, or
// only link-local (169.254.0.0/16) ones.
bool NothingToAnnounce(const std::vector<AdapterEntry>& vecRow);

// What differs between two tables, rows matched by adapter name. A row whose
// MAC, address, mask or gateway changed is readdressed; bReordered: the rows
// both tables have stand in another order.
struct TableDiff {
    std::vector<std::string> vecAdded;
    std::vector<std::string> vecRemoved;
    std::vector<std::string> vecReaddressed;
    bool bReordered = false;

    bool Same() const
    {
        return vecAdded.empty() && vecRemoved.empty() && vecReaddressed.empty() && !bReordered;
    }
    // "N rows; added a b; removed c; readdressed d; reordered", parts that
    // have nothing left out.
    std::string Text(size_t nRows) const;
};

TableDiff DiffTables(const std::vector<AdapterEntry>& vecOld, const std::vector<AdapterEntry>& vecNew);

// One table as the workers answer from it; never changed once published (a
// change publishes a new one, see Snapshot).
struct AdapterTable {
    std::vector<AdapterEntry> vecAdapter;
    // Per row, the binary reply with request bytes 1 and 16 still 0 (empty
    // for a row that does not answer).
    std::vector<std::string> vecBinaryRecord;
    std::vector<Subnet> vecOnLink;   // for AnswerOnLinkOnly
    uint32_t nAnswering = 0;         // rows with isOK set: replies per request
    uint64_t nGeneration = 0;        // 1 for the table read at start, +1 per change
};

}  // namespace velmora
