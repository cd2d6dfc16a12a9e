#include "Control.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <vector>

#include "Service/CheckConfig.h"
#include "Service/StatusFile.h"
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

// Appends to the control file, never truncating it; the daemon reads from
// where it stopped. A missing file is not created: the daemon does not read it.
bool Append(const std::string& strFolder, const std::string& strCommands)
{
    const std::string strPath = PathIn(strFolder, kControlFile);
    std::error_code ec;
    if (!fs::exists(fs::u8path(strPath), ec)) {
        Error(strPath + " is missing: the daemon reads its commands from there");
        return false;
    }
    std::FILE* pFile = std::fopen(strPath.c_str(), "ab");
    if (pFile == nullptr) {
        Error("cannot write " + strPath + ": " + std::strerror(errno));
        return false;
    }
    const bool bOk = std::fwrite(strCommands.data(), 1, strCommands.size(), pFile) ==
                     strCommands.size();
    return std::fclose(pFile) == 0 && bOk;
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

// Appends strCommands and an S, then waits for the status file that the S
// writes: proof that the daemon acted on everything before it.
int Ask(const std::string& strFolder, int nPid, const std::string& strCommands, const Wait& wait,
        DaemonStatus& status)
{
    const std::string strPath = PathIn(strFolder, kStatusFileName);
    std::string strErr;
    const int nBefore =
        ReadStatusFile(strPath, status, strErr) == 0 && status.nPid == nPid ? status.nSeq : 0;
    if (!Append(strFolder, strCommands + "S"))
        return kExitFailed;
    const bool bSeen = WaitUntil(wait, [&] {
        return ReadStatusFile(strPath, status, strErr) == 0 && status.nPid == nPid &&
               status.nSeq > nBefore && (status.strEvent == "S" || status.strEvent == "stop");
    });
    if (bSeen && status.strEvent == "stop") {
        Error("the daemon stopped before it answered");
        return kExitNotRunning;
    }
    if (!bSeen) {
        Error("the daemon did not answer within " + Seconds(wait.nTimeoutMs) +
              " (it reads one command per second)");
        return kExitFailed;
    }
    return kExitDone;
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
    int nOpen = 0;
    for (const DaemonStatus::Endpoint& ep : s.vecEndpoint)
        nOpen += ep.nResult == 0 ? 1 : 0;
    std::printf("endpoints%s: %d of %zu open\n", bRunning ? "" : " of the last run", nOpen,
                s.vecEndpoint.size());
    for (const DaemonStatus::Endpoint& ep : s.vecEndpoint) {
        const std::string strAddr = ep.strHost + ":" + std::to_string(ep.nPort);
        std::printf("  %-22s %s\n", strAddr.c_str(),
                    ep.nResult == 0 ? "open" : ("failed: " + nox::ErrorText(ep.nResult)).c_str());
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
    std::printf("as of %s (written %s)\n", LocalTimeText(s.nWritten).c_str(),
                s.strEvent == "S"          ? "on request"
                : s.strEvent == "adapters" ? "when the adapter table changed"
                                           : ("at " + s.strEvent).c_str());
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

int Status(const std::string& strFolder, bool bRefresh, const Wait& wait)
{
    int nPid = 0;
    const int nRunning = Probe(strFolder, nPid);
    if (nRunning < 0)
        return kExitFailed;
    DaemonStatus status;
    std::string strErr;
    if (nRunning == 1 && bRefresh) {
        const int nRet = Ask(strFolder, nPid, "", wait, status);
        if (nRet != kExitDone)
            return nRet;
    } else if (ReadStatusFile(PathIn(strFolder, kStatusFileName), status, strErr) != 0) {
        if (nRunning == 0)
            return NotRunning(strFolder);
        Error(strErr);
        return kExitFailed;
    }
    if (nRunning == 1 && status.nPid != nPid) {
        std::printf("Velmora in %s: starting, pid %d\n", strFolder.c_str(), nPid);
        return kExitDone;
    }
    PrintStatus(strFolder, status, nRunning == 1);
    return nRunning == 1 ? kExitDone : kExitNotRunning;
}

int Stop(const std::string& strFolder, const Wait& wait)
{
    int nPid = 0;
    const int nRunning = Probe(strFolder, nPid);
    if (nRunning <= 0)
        return nRunning < 0 ? kExitFailed : NotRunning(strFolder);
    if (!Append(strFolder, "q"))
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
    DaemonStatus status;
    const int nRet = Ask(strFolder, nPid, bDebug ? "D" : "I", wait, status);
    if (nRet != kExitDone)
        return nRet;
    std::printf("log level of pid %d: %s\n", nPid, status.strLogLevel.c_str());
    return status.strLogLevel == (bDebug ? "debug" : "info") ? kExitDone : kExitFailed;
}

int Dump(const std::string& strFolder, const Wait& wait)
{
    int nPid = 0;
    const int nRunning = Probe(strFolder, nPid);
    if (nRunning <= 0)
        return nRunning < 0 ? kExitFailed : NotRunning(strFolder);
    const fs::path logDir = fs::u8path(strFolder) / "log";
    const std::string strPrefix = "Velmora-" + std::to_string(nPid) + "-";
    auto dumps = [&] {
        std::vector<fs::path> vecOut;
        std::error_code ec;
        for (fs::directory_iterator it(logDir, ec), end; !ec && it != end; it.increment(ec)) {
            const std::string strName = it->path().filename().u8string();
            if (strName.compare(0, strPrefix.size(), strPrefix) == 0 &&
                it->path().extension() == ".dmp")
                vecOut.push_back(it->path());
        }
        return vecOut;
    };
    const std::vector<fs::path> vecBefore = dumps();
    DaemonStatus status;
    const int nRet = Ask(strFolder, nPid, "d", wait, status);
    if (nRet != kExitDone)
        return nRet;
    for (const fs::path& path : dumps()) {
        if (std::find(vecBefore.begin(), vecBefore.end(), path) == vecBefore.end()) {
            std::printf("dump of pid %d: %s\n", nPid, path.u8string().c_str());
            return kExitDone;
        }
    }
    Error("the daemon wrote no dump into " + logDir.u8string() + " (its log says why)");
    return kExitFailed;
}

int CheckConfig(const std::string& strFolder)
{
    ConfigReport report;
    CheckServerConf(strFolder, report);
    std::fputs(FormatReport(report).c_str(), stdout);
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
    std::ofstream out(strEnvFile, std::ios::trunc);
    out << "# The serial number as root reads it; velmoractl serial wrote it for the daemon.\n";
    if (bFound)
        out << EnvLine(nox::Status::kSerialEnv, szSerial);
    if (!out.flush()) {
        Error("cannot write " + strEnvFile);
        return kExitFailed;
    }
    return kExitDone;
}

}  // namespace ctl
}  // namespace velmora
