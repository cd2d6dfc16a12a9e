// CCUHandler's adapter table after start: the tables it publishes, the
// re-read when the host's adapters change, and the group memberships that
// follow the table.
#include <algorithm>
#include <cinttypes>
#include <ctime>

#include "CUListen/CUHandle.h"
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
// change line finds it answered; the joins come before the line too.
int CCUHandler::RefreshAdapters()
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
    if (diff.Same())
        return 0;

    m_table.Publish(NewTable(vecRow, nGeneration));
    m_nTableChangedAt.store(static_cast<long long>(std::time(nullptr)));
    m_nTableChanges.fetch_add(1);
    std::vector<std::string> vecJoin = diff.vecAdded;
    vecJoin.insert(vecJoin.end(), diff.vecReaddressed.begin(), diff.vecReaddressed.end());
    ChangeGroups(vecJoin, true, kFn);

    NOX_LOG(kSrc, kFn, nox::kLogInfo, "adapter table changed: %s", diff.Text(vecRow.size()).c_str());
    LogRows(kFn, vecRow);
    if (velmora::NothingToAnnounce(vecRow))
        NOX_LOG(kSrc, kFn, nox::kLogInfo,
                "no adapter with a usable IPv4 address: nothing can be announced, Velmora waits "
                "for an adapter");
    return 0;
}

void CCUHandler::ApplyGroupFilter()
{
    static const char kFn[] = "CCUHandler::ApplyGroupFilter";
    nox::MutexGuard guard(m_refreshMutex);
    ChangeGroups(m_vecLeftOut, false, kFn);
}

// A socket's failure is logged with its reason; an interface that cannot
// carry the group (kNoGroupIface) is passed over in silence.
void CCUHandler::ChangeGroups(const std::vector<std::string>& vecName, bool bJoin, const char* szFn)
{
    std::vector<nox::GroupChange> vecResult;
    for (const std::string& strName : vecName) {
        (void)m_pEngine->SetGroupMembership(strName.c_str(), bJoin, vecResult);
        for (const nox::GroupChange& change : vecResult) {
            if (change.nResult >= 0)
                continue;
            char szGroup[16];
            nox::Str::sprintf_x(szGroup, sizeof(szGroup), "%u.%u.%u.%u", change.nGroup >> 24,
                                (change.nGroup >> 16) & 0xFFu, (change.nGroup >> 8) & 0xFFu,
                                change.nGroup & 0xFFu);
            NOX_LOG(kSrc, szFn, nox::kLogError, "group %s not %s on %s, socket[%d]: %s", szGroup,
                    bJoin ? "joined" : "left", strName.c_str(),
                    static_cast<int>(static_cast<uint32_t>(change.sock)),
                    nox::ErrorText(change.nResult).c_str());
        }
    }
}

std::vector<AdapterEntry> CCUHandler::AdapterRows()
{
    const velmora::Snapshot<velmora::AdapterTable>::Hold current(m_table);
    return current->vecAdapter;
}
