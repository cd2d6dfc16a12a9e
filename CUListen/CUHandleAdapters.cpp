// CCUHandler's adapter table after start: the tables it publishes, the
// re-read when the host's adapters change, and the group memberships that
// follow the table.
#include <algorithm>
#include <cinttypes>
#include <ctime>

#include "CUListen/CUHandle.h"
#include "CUListen/CUListen.h"
#include "CUListen/DiscoveryReply.h"
#include "Service/Service.h"
#include "nox/Console.h"
#include "nox/PrintLog.h"
#include "nox/Status.h"
#include "nox/Str.h"
#include "nox/Time.h"

namespace {
const char kSrc[] = "CUListen/CUHandle";
}  // namespace

std::unique_ptr<const velmora::AdapterTable> CCUHandler::NewTable(std::vector<AdapterEntry> vecRow,
                                                                  uint64_t nGeneration) const
{
    auto pTable = std::make_unique<velmora::AdapterTable>();
    pTable->vecAdapter = std::move(vecRow);
    const std::vector<AdapterEntry>& vecAdapter = pTable->vecAdapter;
    pTable->vecOnLink = velmora::OnLinkSubnets(vecAdapter);
    const velmora::ReplySettings settings = velmora::BinarySettings(*CServerConfig::instance());
    pTable->vecBinaryRecord.assign(vecAdapter.size(), std::string());
    for (size_t i = 0; i < vecAdapter.size(); ++i) {
        if (vecAdapter[i].isOK == 0)
            continue;
        uint8_t abRecord[velmora::kBinRecordMax];
        const size_t nLen = velmora::BuildBinaryReply(vecAdapter[i], settings, 0, 0, abRecord);
        pTable->vecBinaryRecord[i].assign(reinterpret_cast<const char*>(abRecord), nLen);
        ++pTable->nAnswering;
    }
    pTable->nGeneration = nGeneration;
    return pTable;
}

// The new table is published before anything is logged, so whoever reads the
// change line finds it answered; the memberships follow it before the line
// too. Every read brings them to the table, also one that finds it the same
// (an interface may have gone and come back with another index meanwhile);
// then the listener tries the group endpoints that could not open.
int CCUHandler::RefreshAdapters()
{
    const int nRet = RefreshTable();
    if (nRet == 0 && m_pListen != nullptr && m_nRunning.Get() != 0)
        (void)m_pListen->ReopenFailed();
    return nRet;
}

int CCUHandler::RefreshTable()
{
    static const char kFn[] = "CCUHandler::RefreshAdapters";
    nox::MutexGuard guard(m_refreshMutex);
    (void)m_table.Reclaim();
    std::vector<nox::AdapterInfo> vecInfo;
    const int nRet = nox::Status::instance().getAdapterInfo(vecInfo);
    if (nRet != 0) {
        if (m_refreshThrottle.Hit(nox::Time::GetTick()).bLine)
            NOX_LOG(kSrc, kFn, nox::kLogError, "getAdapterInfo failed error[%d]: the table is kept",
                    nRet);
        return kErrAdapterQuery;
    }
    m_vecLeftOut.clear();
    std::vector<AdapterEntry> vecRow = velmora::MakeRows(vecInfo, m_adapterFilter, &m_vecLeftOut);
    velmora::TableDiff diff;
    uint64_t nGeneration = 0;
    {
        const velmora::Snapshot<velmora::AdapterTable>::Hold current(m_table);
        diff = velmora::DiffTables(current->vecAdapter, vecRow);
        nGeneration = current->nGeneration + 1;
    }
    if (diff.Same()) {
        SyncGroups(kFn);
        return 0;
    }

    m_table.Publish(NewTable(vecRow, nGeneration));
    m_nTableChangedAt.store(static_cast<long long>(std::time(nullptr)));
    m_nTableChanges.fetch_add(1);
    SyncGroups(kFn);

    NOX_LOG(kSrc, kFn, nox::kLogInfo, "adapter table changed: %s", diff.Text(vecRow.size()).c_str());
    LogRows(kFn, vecRow);
    if (velmora::NothingToAnnounce(vecRow))
        NOX_LOG(kSrc, kFn, nox::kLogInfo,
                "no adapter with a usable IPv4 address: nothing can be announced, Velmora waits "
                "for an adapter");
    return 0;
}

// A failed join is logged once, with its reason, until it holds or its
// interface leaves the table; an interface that cannot carry a group is not
// asked at all.
void CCUHandler::SyncGroups(const char* szFn)
{
    std::vector<std::string> vecName;
    for (const AdapterEntry& row : AdapterRows()) {
        if (row.isOK != 0)
            vecName.push_back(nox::Str::field(row.adapterName));
    }
    std::vector<nox::GroupChange> vecFailed;
    nox::MutexGuard guard(m_groupMutex);
    (void)m_pEngine->SetGroupInterfaces(vecName, vecFailed);
    std::map<nox::SOCKID, std::vector<std::string>> mapNow;
    for (const nox::GroupChange& change : vecFailed) {
        std::vector<std::string>& vecIface = mapNow[change.sock];
        vecIface.push_back(change.strIface + " (" + nox::ErrorText(change.nResult) + ")");
        const auto it = m_mapNotJoined.find(change.sock);
        if (it != m_mapNotJoined.end() &&
            std::find(it->second.begin(), it->second.end(), vecIface.back()) != it->second.end())
            continue;
        char szGroup[16];
        nox::Str::sprintf_x(szGroup, sizeof(szGroup), "%u.%u.%u.%u", change.nGroup >> 24,
                            (change.nGroup >> 16) & 0xFFu, (change.nGroup >> 8) & 0xFFu,
                            change.nGroup & 0xFFu);
        NOX_LOG(kSrc, szFn, nox::kLogError, "group %s not joined on %s, socket[%d]: %s", szGroup,
                change.strIface.c_str(), static_cast<int>(static_cast<uint32_t>(change.sock)),
                nox::ErrorText(change.nResult).c_str());
    }
    m_mapNotJoined.swap(mapNow);
}

std::string CCUHandler::NotJoined(nox::SOCKID sock)
{
    nox::MutexGuard guard(m_groupMutex);
    const auto it = m_mapNotJoined.find(sock);
    std::string strOut;
    if (it == m_mapNotJoined.end())
        return strOut;
    for (const std::string& strIface : it->second)
        strOut += (strOut.empty() ? "" : ", ") + strIface;
    return strOut;
}

std::vector<AdapterEntry> CCUHandler::AdapterRows()
{
    const velmora::Snapshot<velmora::AdapterTable>::Hold current(m_table);
    return current->vecAdapter;
}
