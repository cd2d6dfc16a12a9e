#include "CUListen/AdapterTable.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <sstream>

namespace velmora {

namespace {

bool SameChar(char a, char b)
{
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
}

bool AnyMatches(const std::vector<std::string>& vecPattern, const char* szName)
{
    return std::any_of(vecPattern.begin(), vecPattern.end(),
                       [&](const std::string& strPattern) { return NameMatches(strPattern.c_str(), szName); });
}

// Everything but the name: MAC, address, mask and gateway.
bool SameAddressing(const AdapterEntry& a, const AdapterEntry& b)
{
    return std::memcmp(a.macAddr, b.macAddr, sizeof(a.macAddr)) == 0 &&
           std::memcmp(a.hostAddr, b.hostAddr, sizeof(a.hostAddr)) == 0 &&
           std::memcmp(a.subNetMask, b.subNetMask, sizeof(a.subNetMask)) == 0 &&
           std::memcmp(a.gateWayAddr, b.gateWayAddr, sizeof(a.gateWayAddr)) == 0;
}

std::string NameOf(const AdapterEntry& row)
{
    return std::string(row.adapterName, strnlen(row.adapterName, sizeof(row.adapterName)));
}

const AdapterEntry* FindRow(const std::vector<AdapterEntry>& vecRow, const std::string& strName)
{
    for (const AdapterEntry& row : vecRow) {
        if (NameOf(row) == strName)
            return &row;
    }
    return nullptr;
}

void AppendPart(std::ostringstream& out, const char* szWhat, const std::vector<std::string>& vecName)
{
    if (vecName.empty())
        return;
    out << "; " << szWhat;
    for (const std::string& strName : vecName)
        out << " " << strName;
}

}  // namespace

// Backtracks to the last '*' only: linear in practice, and the names are short.
bool NameMatches(const char* szPattern, const char* szName)
{
    const char* pStar = nullptr;
    const char* pResume = nullptr;
    while (*szName != '\0') {
        if (*szPattern == '*') {
            pStar = szPattern++;
            pResume = szName;
        } else if (*szPattern != '\0' && (*szPattern == '?' || SameChar(*szPattern, *szName))) {
            ++szPattern;
            ++szName;
        } else if (pStar != nullptr) {
            szPattern = pStar + 1;
            szName = ++pResume;
        } else {
            return false;
        }
    }
    while (*szPattern == '*')
        ++szPattern;
    return *szPattern == '\0';
}

AdapterFilter::AdapterFilter(const std::string& strInclude, const std::string& strExclude)
    : m_vecInclude(Split(strInclude)), m_vecExclude(Split(strExclude))
{
}

std::vector<std::string> AdapterFilter::Split(const std::string& strText)
{
    std::vector<std::string> vecOut;
    std::istringstream in(strText);
    std::string strPattern;
    while (in >> strPattern)
        vecOut.push_back(strPattern);
    return vecOut;
}

bool AdapterFilter::Takes(const char* szName) const
{
    return (m_vecInclude.empty() || AnyMatches(m_vecInclude, szName)) &&
           !AnyMatches(m_vecExclude, szName);
}

std::vector<AdapterEntry> MakeRows(const std::vector<nox::AdapterInfo>& vecInfo,
                                   const AdapterFilter& filter,
                                   std::vector<std::string>* pvecLeftOut)
{
    static_assert(sizeof(AdapterEntry) == 1 + sizeof(nox::AdapterInfo), "isOK, then the record");
    std::vector<AdapterEntry> vecRow;
    vecRow.reserve(vecInfo.size());
    for (const nox::AdapterInfo& info : vecInfo) {
        char szName[sizeof(info.adapterName) + 1];
        std::memcpy(szName, info.adapterName, sizeof(info.adapterName));
        szName[sizeof(info.adapterName)] = '\0';
        if (!filter.Takes(szName)) {
            if (pvecLeftOut != nullptr)
                pvecLeftOut->push_back(szName);
            continue;
        }
        AdapterEntry row{};
        std::memcpy(reinterpret_cast<unsigned char*>(&row) + 1, &info, sizeof(info));
        row.isOK = 1;
        vecRow.push_back(row);
    }
    return vecRow;
}

bool NothingToAnnounce(const std::vector<AdapterEntry>& vecRow)
{
    return std::all_of(vecRow.begin(), vecRow.end(), [](const AdapterEntry& row) {
        return row.isOK == 0 || std::strncmp(row.hostAddr, "169.254.", 8) == 0;
    });
}

TableDiff DiffTables(const std::vector<AdapterEntry>& vecOld, const std::vector<AdapterEntry>& vecNew)
{
    TableDiff diff;
    std::vector<std::string> vecKeptOld;   // names in both, in the old order
    for (const AdapterEntry& row : vecOld) {
        const std::string strName = NameOf(row);
        if (FindRow(vecNew, strName) == nullptr)
            diff.vecRemoved.push_back(strName);
        else
            vecKeptOld.push_back(strName);
    }
    std::vector<std::string> vecKeptNew;
    for (const AdapterEntry& row : vecNew) {
        const std::string strName = NameOf(row);
        const AdapterEntry* pOld = FindRow(vecOld, strName);
        if (pOld == nullptr) {
            diff.vecAdded.push_back(strName);
            continue;
        }
        vecKeptNew.push_back(strName);
        if (!SameAddressing(*pOld, row) || pOld->isOK != row.isOK)
            diff.vecReaddressed.push_back(strName);
    }
    diff.bReordered = vecKeptOld != vecKeptNew;
    return diff;
}

std::string TableDiff::Text(size_t nRows) const
{
    std::ostringstream out;
    out << nRows << (nRows == 1 ? " row" : " rows");
    AppendPart(out, "added", vecAdded);
    AppendPart(out, "removed", vecRemoved);
    AppendPart(out, "readdressed", vecReaddressed);
    if (bReordered)
        out << "; reordered";
    return out.str();
}

}  // namespace velmora
