#include "Service/StatusFile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "CUListen/CUHandle.h"
#include "CUListen/CUListen.h"
#include "Service/Service.h"
#include "nox/File.h"
#include "nox/PrintLog.h"
#include "nox/Str.h"
#include "nox/Thread.h"

namespace {

const char kFormat[] = "velmora-status 1";
// How long a replacement waits for a reader that holds the file (on Windows
// one without delete sharing, or any, where the system lacks POSIX rename
// semantics: velmoractl's polls among them), and how often it tries.
constexpr int kReplaceWaitMs = 500;
constexpr int kReplaceRetryMs = 20;

// Values stay on their line: line ends become blanks.
std::string OneLine(std::string strText)
{
    for (char& c : strText) {
        if (c == '\n' || c == '\r')
            c = ' ';
    }
    return strText;
}

long long ToNumber(const std::string& strText)
{
    return std::strtoll(strText.c_str(), nullptr, 10);
}

}  // namespace

std::string LocalTimeText(long long nEpoch)
{
    const std::time_t t = static_cast<std::time_t>(nEpoch);
    char szBuf[32] = "-";
    if (const std::tm* pTm = std::localtime(&t))
        std::strftime(szBuf, sizeof(szBuf), "%Y-%m-%d %H:%M:%S", pTm);
    return szBuf;
}

std::string DaemonStatus::ToText() const
{
    std::ostringstream out;
    out << kFormat << "\n"
        << "pid=" << nPid << "\n"
        << "build=" << OneLine(strBuild) << "\n"
        << "started=" << nStarted << " " << LocalTimeText(nStarted) << "\n"
        << "written=" << nWritten << " " << LocalTimeText(nWritten) << "\n"
        << "seq=" << nSeq << "\n"
        << "event=" << strEvent << "\n"
        << "state=" << strState << "\n"
        << "start=" << strStart << "\n"
        << "loglevel=" << strLogLevel << "\n"
        << "logfile=" << OneLine(strLogFile) << "\n"
        << "threads=" << nThreads << "\n"
        << "filterinterval=" << nFilterInterval << "\n"
        << "webports=" << nHttpPort << " " << nHttpsPort << "\n"
        << "serial=" << OneLine(strSerial) << "\n";
    for (const Endpoint& ep : vecEndpoint) {
        out << "endpoint=" << OneLine(ep.strHost) << " " << ep.nPort << " " << ep.nResult << "\n";
        if (!ep.strNotJoined.empty())
            out << "notjoined=" << OneLine(ep.strNotJoined) << "\n";   // of the endpoint above
    }
    for (const std::string& strAdapter : vecAdapter)
        out << "adapter=" << OneLine(strAdapter) << "\n";
    out << "adapterrefresh=" << nAdapterRefresh << "\n"
        << "adapterschanged=" << nAdaptersChanged << " "
        << (nAdaptersChanged != 0 ? LocalTimeText(nAdaptersChanged) : "-") << "\n";
    out << "queue=" << nQueue << "\n"
        << "filter=" << nFilterHosts << " " << nFilterEntries << "\n";
    for (const auto& counter : vecCounter)
        out << "counter=" << counter.first << " " << counter.second << "\n";
    for (const Command& cmd : vecCommand)
        out << "command=" << cmd.nPos << " " << cmd.ch << " " << OneLine(cmd.strResult) << "\n";
    return out.str();
}

bool DaemonStatus::FromText(const std::string& strText)
{
    *this = DaemonStatus();
    std::istringstream in(strText);
    std::string strLine;
    if (!std::getline(in, strLine) || strLine != kFormat)
        return false;
    while (std::getline(in, strLine)) {
        const size_t nEq = strLine.find('=');
        if (nEq == std::string::npos)
            continue;
        const std::string strKey = strLine.substr(0, nEq);
        const std::string strValue = strLine.substr(nEq + 1);
        std::istringstream value(strValue);
        if (strKey == "pid") value >> nPid;
        else if (strKey == "build") strBuild = strValue;
        else if (strKey == "started") nStarted = ToNumber(strValue);
        else if (strKey == "written") nWritten = ToNumber(strValue);
        else if (strKey == "seq") value >> nSeq;
        else if (strKey == "event") strEvent = strValue;
        else if (strKey == "state") strState = strValue;
        else if (strKey == "start") strStart = strValue;
        else if (strKey == "loglevel") strLogLevel = strValue;
        else if (strKey == "logfile") strLogFile = strValue;
        else if (strKey == "threads") value >> nThreads;
        else if (strKey == "filterinterval") value >> nFilterInterval;
        else if (strKey == "webports") value >> nHttpPort >> nHttpsPort;
        else if (strKey == "serial") strSerial = strValue;
        else if (strKey == "adapter") vecAdapter.push_back(strValue);
        else if (strKey == "notjoined" && !vecEndpoint.empty()) vecEndpoint.back().strNotJoined = strValue;
        else if (strKey == "adapterrefresh") value >> nAdapterRefresh;
        else if (strKey == "adapterschanged") nAdaptersChanged = ToNumber(strValue);
        else if (strKey == "queue") value >> nQueue;
        else if (strKey == "filter") value >> nFilterHosts >> nFilterEntries;
        else if (strKey == "counter") {
            std::pair<std::string, uint64_t> counter;
            if (value >> counter.first >> counter.second)
                vecCounter.push_back(counter);
        } else if (strKey == "command") {
            Command cmd;
            if (!(value >> cmd.nPos) || value.get() != ' ' || !value.get(cmd.ch))
                continue;
            if (value.get() == ' ')
                std::getline(value, cmd.strResult);
            vecCommand.push_back(cmd);
        }
        else if (strKey == "endpoint") {
            // The host is everything before the last two numbers.
            const size_t nResultAt = strValue.rfind(' ');
            const size_t nPortAt = nResultAt == std::string::npos || nResultAt == 0
                                       ? std::string::npos
                                       : strValue.rfind(' ', nResultAt - 1);
            if (nPortAt == std::string::npos)
                continue;
            Endpoint ep;
            ep.strHost = strValue.substr(0, nPortAt);
            ep.nPort = static_cast<int>(ToNumber(strValue.substr(nPortAt + 1)));
            ep.nResult = static_cast<int>(ToNumber(strValue.substr(nResultAt + 1)));
            vecEndpoint.push_back(ep);
        }
    }
    return nPid > 0;
}

const DaemonStatus::Command* DaemonStatus::FindCommand(long long nPos) const
{
    for (const Command& cmd : vecCommand) {
        if (cmd.nPos == nPos)
            return &cmd;
    }
    return nullptr;
}

int DaemonStatus::OpenEndpoints() const
{
    int nOpen = 0;
    for (const Endpoint& ep : vecEndpoint)
        nOpen += ep.nResult == 0 ? 1 : 0;
    return nOpen;
}

bool DaemonStatus::Degraded() const
{
    for (const Endpoint& ep : vecEndpoint) {
        if (!ep.strNotJoined.empty())
            return true;
    }
    return OpenEndpoints() < static_cast<int>(vecEndpoint.size()) || vecEndpoint.empty() ||
           vecAdapter.empty();
}

std::string DaemonStatus::Summary() const
{
    uint64_t nReplies = 0;
    for (const auto& counter : vecCounter) {
        if (counter.first == "replies_sent")
            nReplies = counter.second;
    }
    return std::to_string(OpenEndpoints()) + " of " + std::to_string(vecEndpoint.size()) +
           " endpoints open, " + std::to_string(vecAdapter.size()) +
           (vecAdapter.size() == 1 ? " adapter, " : " adapters, ") + std::to_string(nReplies) +
           " replies sent";
}

void CollectStatus(CServer& server, DaemonStatus& status, bool bFigures)
{
    const CServerConfig* pConfig = CServerConfig::instance();
    status.nThreads = pConfig->m_nThreadNum;
    status.nFilterInterval = pConfig->m_nFilterInterval;
    status.nHttpPort = pConfig->webclientHttpPort;
    status.nHttpsPort = pConfig->webclientHttpsPort;
    status.strLogLevel =
        nox::PrintLog::instance().GetLevel() <= nox::kLogDebug ? "debug" : "info";
    status.vecEndpoint.clear();
    status.vecAdapter.clear();
    CCUListen* pListen = server.m_pListen;
    if (pListen == nullptr)
        return;
    const std::vector<int> vecResult = pListen->OpenResults();
    const std::vector<nox::SOCKID> vecSock = pListen->Sockets();
    const std::vector<ListenAddr>& vecAddr = pConfig->m_vecListenAddr;
    CCUHandler* pHandler = pListen->m_pHandler.get();
    for (size_t i = 0; i < vecAddr.size() && i < vecResult.size(); ++i)
        status.vecEndpoint.push_back(
            {vecAddr[i].m_strHost.c_str(), vecAddr[i].m_nPort, vecResult[i],
             pHandler != nullptr && i < vecSock.size() && vecResult[i] == 0
                 ? pHandler->NotJoined(vecSock[i])
                 : std::string()});
    if (pHandler == nullptr)
        return;
    status.strSerial = nox::Str::field(pHandler->m_szSerialNum);
    status.nAdapterRefresh = pHandler->Refreshes() ? 1 : 0;
    status.nAdaptersChanged = pHandler->TableChangedAt();
    for (const AdapterEntry& row : pHandler->AdapterRows()) {
        status.vecAdapter.push_back(nox::Str::field(row.adapterName) + " " +
                                    nox::Str::field(row.macAddr) + " " +
                                    nox::Str::field(row.hostAddr) + " " +
                                    nox::Str::field(row.subNetMask) + " " +
                                    nox::Str::field(row.gateWayAddr));
    }
    if (!bFigures)
        return;
    status.nQueue = pHandler->QueueSize();
    pHandler->FilterSize(status.nFilterHosts, status.nFilterEntries);
    status.vecCounter.clear();
    for (int i = 0; i < velmora::kCounterCount; ++i) {
        const auto eWhich = static_cast<velmora::Counter>(i);
        status.vecCounter.push_back(
            {velmora::Counters::Name(eWhich), pHandler->m_counters.Get(eWhich)});
    }
}

// The paths are UTF-8 text (u8path), so a folder of any name works on Windows
// too; errors carry the system's reason (errno after the stream failed). A
// reader in the way of the rename (on Windows) is waited for, up to
// kReplaceWaitMs.
int WriteStatusFile(const DaemonStatus& status, const std::string& strPath, std::string& strErr)
{
    const std::string strTemp = strPath + ".tmp";
    {
        errno = 0;
        std::ofstream out(std::filesystem::u8path(strTemp), std::ios::binary | std::ios::trunc);
        out << status.ToText();
        if (!out.flush()) {
            strErr = "cannot write " + strTemp + ": " +
                     (errno != 0 ? std::strerror(errno) : "write failed");
            return -1;
        }
    }
    // Readable by every user whatever the umask: velmoractl status needs no
    // privilege (the figures are what the replies tell the network anyway).
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::permissions(fs::u8path(strTemp),
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                        fs::perms::others_read,
                    ec);
    std::string strWhy;
    int nRet = nox::RenameOver(strTemp, strPath, strWhy);
    for (int nWaitedMs = 0; nRet == nox::kFileHeld && nWaitedMs < kReplaceWaitMs;
         nWaitedMs += kReplaceRetryMs) {
        nox::Thread::SleepMs(kReplaceRetryMs);
        nRet = nox::RenameOver(strTemp, strPath, strWhy);
    }
    if (nRet == 0)
        return 0;
    strErr = "cannot rename " + strTemp + " to " + strPath + ": " + strWhy +
             (nRet == nox::kFileHeld ? " (another program holds it open)" : "");
    return -1;
}

int ReadStatusFile(const std::string& strPath, DaemonStatus& status, std::string& strErr)
{
    std::string strText;
    std::string strWhy;
    if (nox::ReadWholeFile(strPath, strText, strWhy) != 0) {   // errno set too
        strErr = "cannot read " + strPath + ": " + strWhy;
        return -1;
    }
    if (!status.FromText(strText)) {
        strErr = strPath + " is not a Velmora status file";
        return -2;
    }
    return 0;
}
