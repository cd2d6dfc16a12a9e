#include "Control.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <system_error>
#include <vector>

#include "Service/CheckConfig.h"
#include "Service/StatusFile.h"
#include "tools/velmoractl/Metrics.h"
#include "nox/Console.h"
#include "nox/PidFile.h"
#include "nox/Status.h"
#include "nox/Thread.h"

namespace fs = std::filesystem;

namespace velmora {
namespace ctl {

namespace {

const char kControlFile[] = "Velmorainput";

void Error(const std::string& strText)
{
    std::fprintf(stderr, "velmoractl: %s\n", strText.c_str());
}

// Paths are UTF-8 text here (on Windows the programs' code page is UTF-8);
// the file system calls take them as such.
std::string PathIn(const std::string& strFolder, const char* szName)
{
    return (fs::u8path(strFolder) / szName).u8string();
}

std::string Seconds(unsigned nMs)
{
    return std::to_string((nMs + 999) / 1000) + " s";
}

// 1 when a daemon holds the folder (its pid in nPid), 0 when none does,
// -1 when it cannot be told (said on stderr).
int Probe(const std::string& strFolder, int& nPid)
{
    std::error_code ec;
    if (!fs::is_directory(fs::u8path(strFolder), ec)) {
        Error(strFolder + ": no such folder");
        return -1;
    }
    std::string strErr;
    const int nRet = nox::PidFile::Probe(PathIn(strFolder, kPidFileName).c_str(), nPid, strErr);
    if (nRet < 0)
        Error(strErr);
    return nRet;
}

int NotRunning(const std::string& strFolder)
{
    Error("no Velmora is running in " + strFolder);
    return kExitNotRunning;
}

// Appends one command character to the control file, never truncating it;
// nPos gets the offset just past it, which names the command in the status
// file. A missing file is not created: the daemon does not read it.
bool Append(const std::string& strFolder, char ch, long long& nPos)
{
    const std::string strPath = PathIn(strFolder, kControlFile);
    std::error_code ec;
    if (!fs::exists(fs::u8path(strPath), ec)) {
        Error(strPath + " is missing: the daemon reads its commands from there");
        return false;
    }
    std::string strErr;
    if (nox::AppendToFile(strPath.c_str(), std::string(1, ch), nPos, strErr) != 0) {
        Error(strErr);
        return false;
    }
    return true;
}

template <class Done>
bool WaitUntil(const Wait& wait, Done done)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait.nTimeoutMs);
    for (;;) {
        if (done())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        nox::Thread::SleepMs(50);
    }
}

// Appends ch and waits until the status file records it acted on: the record
// whose offset is the one just past this very character, so a command that
// another velmoractl appended meanwhile is never taken for this one. What
// came of it goes to strResult.
int Ask(const std::string& strFolder, int nPid, char ch, const Wait& wait, std::string& strResult)
{
    const std::string strPath = PathIn(strFolder, kStatusFileName);
    long long nPos = 0;
    if (!Append(strFolder, ch, nPos))
        return kExitFailed;
    bool bAnswered = false;
    bool bGone = false;
    const bool bSeen = WaitUntil(wait, [&] {
        DaemonStatus status;
        std::string strErr;
        if (ReadStatusFile(strPath, status, strErr) == 0 && status.nPid == nPid) {
            const DaemonStatus::Command* pCmd = status.FindCommand(nPos);
            if (pCmd != nullptr && pCmd->ch == ch) {
                strResult = pCmd->strResult;
                bAnswered = true;
                return true;
            }
        }
        int nNow = 0;
        bGone = nox::PidFile::Probe(PathIn(strFolder, kPidFileName).c_str(), nNow, strErr) == 0;
        return bGone;
    });
    if (bSeen && bAnswered)
        return kExitDone;
    if (bGone) {
        Error("the daemon ended before it acted on the command");
        return kExitNotRunning;
    }
    Error("the daemon did not answer within " + Seconds(wait.nTimeoutMs) +
          " (it reads one command per second)");
    return kExitFailed;
}

std::string Duration(long long nSeconds)
{
    char szBuf[48];
    const long long h = nSeconds / 3600 % 24, m = nSeconds / 60 % 60, sec = nSeconds % 60;
    if (nSeconds >= 86400)
        std::snprintf(szBuf, sizeof(szBuf), "%lldd %02lld:%02lld:%02lld", nSeconds / 86400, h, m,
                      sec);
    else
        std::snprintf(szBuf, sizeof(szBuf), "%02lld:%02lld:%02lld", h, m, sec);
    return szBuf;
}

void PrintStatus(const std::string& strFolder, const DaemonStatus& s, bool bRunning)
{
    if (bRunning) {
        std::printf("Velmora in %s: running, pid %d, since %s (up %s)\n", strFolder.c_str(),
                    s.nPid, LocalTimeText(s.nStarted).c_str(),
                    Duration(static_cast<long long>(std::time(nullptr)) - s.nStarted).c_str());
    } else {
        const char* szHow = s.strStart == "failed" ? "its start failed (no endpoint open)"
                            : s.strState == "stopped" ? "it stopped"
                                                      : "it ended without stopping (killed?)";
        std::printf("Velmora in %s: not running\nlast run: pid %d, started %s; %s\n",
                    strFolder.c_str(), s.nPid, LocalTimeText(s.nStarted).c_str(), szHow);
    }
    std::printf("build: %s\nlog: %s, level %s\n", s.strBuild.c_str(), s.strLogFile.c_str(),
                s.strLogLevel.c_str());
    std::printf("endpoints%s: %d of %zu open\n", bRunning ? "" : " of the last run",
                s.OpenEndpoints(), s.vecEndpoint.size());
    for (const DaemonStatus::Endpoint& ep : s.vecEndpoint) {
        const std::string strAddr = ep.strHost + ":" + std::to_string(ep.nPort);
        const std::string strHow = ep.nResult != 0 ? "failed: " + nox::ErrorText(ep.nResult)
                                   : ep.strNotJoined.empty() ? std::string("open")
                                                             : "open, not joined on " + ep.strNotJoined;
        std::printf("  %-22s %s\n", strAddr.c_str(), strHow.c_str());
    }
    if (s.nAdaptersChanged != 0)
        std::printf("adapters: %zu, table last changed %s\n", s.vecAdapter.size(),
                    LocalTimeText(s.nAdaptersChanged).c_str());
    else
        std::printf("adapters: %zu, %s\n", s.vecAdapter.size(),
                    s.nAdapterRefresh != 0 ? "unchanged since start"
                                           : "read once at start (AdapterRefresh 0)");
    for (const std::string& strAdapter : s.vecAdapter) {
        std::istringstream in(strAdapter);
        std::string strName, strMac, strAddr, strMask, strGateway;
        in >> strName >> strMac >> strAddr >> strMask >> strGateway;
        std::printf("  %-10s %s  %s/%s  gateway %s\n", strName.c_str(), strMac.c_str(),
                    strAddr.c_str(), strMask.c_str(), strGateway.c_str());
    }
    std::printf("workers: %d, filter interval %d s\n", s.nThreads, s.nFilterInterval);
    if (bRunning)
        std::printf("queue: %d waiting; filter: %d hosts, %d entries\n", s.nQueue,
                    s.nFilterHosts, s.nFilterEntries);
    std::printf("web ports: HTTP %d, HTTPS %d\nserial: %s\n", s.nHttpPort, s.nHttpsPort,
                s.strSerial.c_str());
    if (!s.vecCounter.empty()) {
        std::printf("counters:\n");
        for (const auto& counter : s.vecCounter)
            std::printf("  %-20s %llu\n", counter.first.c_str(),
                        static_cast<unsigned long long>(counter.second));
    }
    std::printf("as of %s\n", LocalTimeText(s.nWritten).c_str());
    if (bRunning && s.Degraded())
        std::printf("degraded: %s\n", s.vecAdapter.empty() ? "no network adapter to answer from"
                                       : s.OpenEndpoints() < static_cast<int>(s.vecEndpoint.size())
                                           ? "not every endpoint is open"
                                           : "a group is not joined on every adapter");
}

// "NAME=value" as a systemd environment file reads it: double quotes, with
// the characters it treats specially escaped.
std::string EnvLine(const char* szName, const std::string& strValue)
{
    std::string strOut = std::string(szName) + "=\"";
    for (char c : strValue) {
        if (c == '"' || c == '\\' || c == '`' || c == '$')
            strOut += '\\';
        strOut += c;
    }
    return strOut + "\"\n";
}

}  // namespace

// The status file of the daemon that holds strFolder now (nRunning 1), or of
// the last one (0). kExitDone, or the exit status to end with; bStarting when
// the running daemon has not written its own yet.
int ReadStatus(const std::string& strFolder, int nRunning, int nPid, DaemonStatus& status,
               bool& bStarting)
{
    std::string strErr;
    bStarting = false;
    const int nRead = ReadStatusFile(PathIn(strFolder, kStatusFileName), status, strErr);
    const int nErr = errno;
    if (nRead != 0) {
        if (nRunning == 0)
            return NotRunning(strFolder);
        if (nRead != -1 || nErr != ENOENT) {
            Error(strErr);
            return kExitFailed;
        }
    }
    bStarting = nRunning == 1 && status.nPid != nPid;
    return kExitDone;
}

int Status(const std::string& strFolder, bool bJson)
{
    auto json = [&](const char* szState, int nPid, const DaemonStatus& status, bool bHave) {
        if (bJson)
            std::fputs(StatusJson(strFolder, szState, nPid, status, bHave).c_str(), stdout);
    };
    int nPid = 0;
    const int nRunning = Probe(strFolder, nPid);
    DaemonStatus status;
    if (nRunning < 0) {
        json("unknown", 0, status, false);
        return kExitUnknown;
    }
    bool bStarting = false;
    const int nRet = ReadStatus(strFolder, nRunning, nPid, status, bStarting);
    if (nRet != kExitDone) {
        json(nRet == kExitNotRunning ? "not running" : "unknown", 0, status, false);
        return nRet == kExitNotRunning ? kExitNotRunning : kExitUnknown;
    }
    if (bStarting) {
        json("starting", nPid, status, false);
        if (!bJson)
            std::printf("Velmora in %s: starting, pid %d\n", strFolder.c_str(), nPid);
        return kExitDegraded;
    }
    const char* szState = nRunning == 0       ? "not running"
                          : status.Degraded() ? "degraded"
                                              : "running";
    json(szState, nRunning == 1 ? nPid : 0, status, true);
    if (!bJson)
        PrintStatus(strFolder, status, nRunning == 1);
    if (nRunning == 0)
        return kExitNotRunning;
    return status.Degraded() ? kExitDegraded : kExitDone;
}

int Metrics(const std::string& strFolder, const std::string& strTextfileDir,
            const std::string& strVersion)
{
    int nPid = 0;
    const int nRunning = Probe(strFolder, nPid);
    if (nRunning < 0)
        return kExitFailed;
    DaemonStatus status;
    bool bStarting = false;
    std::string strErr;
    if (nRunning == 1 &&
        (ReadStatus(strFolder, nRunning, nPid, status, bStarting) != kExitDone || bStarting))
        status = DaemonStatus();   // running, its figures not written yet
    const std::string strText = MetricsText(status, nRunning == 1, strVersion);
    if (strTextfileDir.empty()) {
        std::fputs(strText.c_str(), stdout);
    } else if (WriteTextfile(strTextfileDir, strText, strErr) != 0) {
        Error(strErr);
        return kExitFailed;
    }
    return nRunning == 1 ? kExitDone : kExitNotRunning;
}

int Stop(const std::string& strFolder, const Wait& wait)
{
    int nPid = 0;
    const int nRunning = Probe(strFolder, nPid);
    if (nRunning <= 0)
        return nRunning < 0 ? kExitFailed : NotRunning(strFolder);
    long long nPos = 0;
    if (!Append(strFolder, 'q', nPos))
        return kExitFailed;
    int nNow = 0;
    if (!WaitUntil(wait, [&] { return Probe(strFolder, nNow) == 0; })) {
        Error("pid " + std::to_string(nPid) + " still runs after " + Seconds(wait.nTimeoutMs));
        return kExitFailed;
    }
    std::printf("Velmora in %s stopped (pid %d)\n", strFolder.c_str(), nPid);
    return kExitDone;
}

int LogLevel(const std::string& strFolder, bool bDebug, const Wait& wait)
{
    int nPid = 0;
    const int nRunning = Probe(strFolder, nPid);
    if (nRunning <= 0)
        return nRunning < 0 ? kExitFailed : NotRunning(strFolder);
    std::string strLevel;
    const int nRet = Ask(strFolder, nPid, bDebug ? 'D' : 'I', wait, strLevel);
    if (nRet != kExitDone)
        return nRet;
    std::printf("log level of pid %d: %s\n", nPid, strLevel.c_str());
    return strLevel == (bDebug ? "debug" : "info") ? kExitDone : kExitFailed;
}

int Dump(const std::string& strFolder, const Wait& wait)
{
    int nPid = 0;
    const int nRunning = Probe(strFolder, nPid);
    if (nRunning <= 0)
        return nRunning < 0 ? kExitFailed : NotRunning(strFolder);
    std::string strDump;
    const int nRet = Ask(strFolder, nPid, 'd', wait, strDump);
    if (nRet != kExitDone)
        return nRet;
    if (strDump == "failed") {
        Error("the daemon wrote no dump (its log says why)");
        return kExitFailed;
    }
    const fs::path dump = fs::u8path(strDump).is_absolute()
                              ? fs::u8path(strDump)
                              : fs::u8path(strFolder) / fs::u8path(strDump);
    std::printf("dump of pid %d: %s\n", nPid, dump.lexically_normal().u8string().c_str());
    return kExitDone;
}

int CheckConfig(const std::string& strFolder)
{
    ConfigReport report;
    CheckServerConf(strFolder, report);
    std::fputs(FormatDetails(report).c_str(), stdout);
    std::fflush(stdout);
    std::fputs(FormatFindings(report, nox::StderrIsJournal()).c_str(), stderr);
    return report.Fails() ? kExitFailed : kExitDone;
}

int Serial(const std::string& strEnvFile)
{
    char szSerial[256] = {};
    const bool bFound = nox::Status::instance().getSerialNum(szSerial, sizeof(szSerial)) == 0;
    if (strEnvFile.empty()) {
        if (!bFound) {
            Error("no serial number found");
            return kExitFailed;
        }
        std::printf("%s\n", szSerial);
        return kExitDone;
    }
    // Without a serial the file names none, and the daemon looks for itself.
    std::string strText =
        "# The serial number as root reads it; velmoractl serial wrote it for the daemon.\n";
    if (bFound)
        strText += EnvLine(nox::Status::kSerialEnv, szSerial);
    std::FILE* pFile = std::fopen(strEnvFile.c_str(), "w");
    const bool bWritten = pFile != nullptr &&
                          std::fwrite(strText.data(), 1, strText.size(), pFile) == strText.size();
    const int nErr = errno;
    if (pFile == nullptr || std::fclose(pFile) != 0 || !bWritten) {
        Error("cannot write " + strEnvFile + ": " + std::strerror(bWritten ? errno : nErr));
        return kExitFailed;
    }
    return kExitDone;
}

}  // namespace ctl
}  // namespace velmora
