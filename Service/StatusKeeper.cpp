#include "Service/StatusKeeper.h"

#include <ctime>
#include <utility>

#include "nox/PrintLog.h"
#include "nox/Time.h"

namespace {

const char kSrc[] = "Service/StatusKeeper";

bool SameState(const DaemonStatus& a, const DaemonStatus& b)
{
    if (a.strLogLevel != b.strLogLevel || a.strSerial != b.strSerial ||
        a.vecAdapter != b.vecAdapter || a.nAdaptersChanged != b.nAdaptersChanged ||
        a.nAdapterRefresh != b.nAdapterRefresh || a.vecEndpoint.size() != b.vecEndpoint.size())
        return false;
    for (size_t i = 0; i < a.vecEndpoint.size(); ++i) {
        const DaemonStatus::Endpoint& x = a.vecEndpoint[i];
        const DaemonStatus::Endpoint& y = b.vecEndpoint[i];
        if (x.strHost != y.strHost || x.nPort != y.nPort || x.nResult != y.nResult ||
            x.strNotJoined != y.strNotJoined)
            return false;
    }
    return true;
}

bool SameFigures(const DaemonStatus& a, const DaemonStatus& b)
{
    return a.vecCounter == b.vecCounter && a.nQueue == b.nQueue &&
           a.nFilterHosts == b.nFilterHosts && a.nFilterEntries == b.nFilterEntries;
}

}  // namespace

StatusKeeper::StatusKeeper(std::string strPath, const DaemonStatus& fixed, Collect collect)
    : m_strPath(std::move(strPath)), m_collect(std::move(collect)), m_last(fixed)
{
}

bool StatusKeeper::WriteNow(const char* szState, const char* szEvent)
{
    DaemonStatus now = m_last;
    now.strState = szState;
    m_collect(now, true);
    return Write(now, szEvent);
}

void StatusKeeper::AddCommand(long long nPos, char ch, const std::string& strResult)
{
    std::vector<DaemonStatus::Command>& vecCommand = m_last.vecCommand;
    vecCommand.push_back({nPos, ch, strResult});
    if (vecCommand.size() > DaemonStatus::kKeptCommands)
        vecCommand.erase(vecCommand.begin(),
                         vecCommand.end() - static_cast<long>(DaemonStatus::kKeptCommands));
    m_bCommandAdded = true;
}

bool StatusKeeper::Look()
{
    DaemonStatus now = m_last;
    m_collect(now, false);
    // After a failed write the file still holds an older state: written again
    // at the next look.
    if (m_bCommandAdded || m_bWriteFailed || !SameState(now, m_last)) {
        m_collect(now, true);
        return Write(now, "change");
    }
    if (nox::Time::GetTick() - m_nWrittenTick < kFiguresEveryMs)
        return false;
    m_collect(now, true);
    if (SameFigures(now, m_last)) {
        m_nWrittenTick = nox::Time::GetTick();   // looked at; the next look in as long
        return false;
    }
    return Write(now, "figures");
}

bool StatusKeeper::Write(DaemonStatus& status, const char* szEvent)
{
    static const char kFn[] = "StatusKeeper::Write";
    ++status.nSeq;
    status.nWritten = static_cast<long long>(std::time(nullptr));
    status.strEvent = szEvent;
    m_last = status;
    m_bCommandAdded = false;
    m_nWrittenTick = nox::Time::GetTick();
    std::string strErr;
    if (WriteStatusFile(status, m_strPath, strErr) != 0) {
        if (!m_bWriteFailed)
            NOX_LOG(kSrc, kFn, nox::kLogError, "status file not written: %s", strErr.c_str());
        m_bWriteFailed = true;
        return false;
    }
    m_bWriteFailed = false;
    return true;
}
