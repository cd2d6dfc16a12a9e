#include "Service/LogFiles.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <system_error>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

bool IsNumber(const std::string& s, size_t nMin = 1, size_t nMax = 9)
{
    return s.size() >= nMin && s.size() <= nMax &&
           std::all_of(s.begin(), s.end(), [](char c) { return std::isdigit(c & 0xFF); });
}

bool EndsWith(const std::string& s, const std::string& strEnd)
{
    return s.size() > strEnd.size() && s.compare(s.size() - strEnd.size(), strEnd.size(), strEnd) == 0;
}

// The pid of "Velmora-<pid>.log", "Velmora-<pid>.<n>.log" or
// "Velmora-<pid>-<YYYYMMDD-HHMMSS>[-<n>].dmp", else 0.
int PidOfName(const std::string& strName)
{
    static const std::string kPrefix = "Velmora-";
    if (strName.compare(0, kPrefix.size(), kPrefix) != 0)
        return 0;
    const bool bLog = EndsWith(strName, ".log");
    if (!bLog && !EndsWith(strName, ".dmp"))
        return 0;
    const std::string strMiddle =
        strName.substr(kPrefix.size(), strName.size() - kPrefix.size() - 4);
    const size_t nCut = strMiddle.find(bLog ? '.' : '-');
    const std::string strPid = strMiddle.substr(0, nCut);
    if (!IsNumber(strPid) || (nCut == std::string::npos && !bLog))
        return 0;
    if (nCut != std::string::npos) {
        const std::string strRest = strMiddle.substr(nCut + 1);
        if (bLog && !IsNumber(strRest))
            return 0;
        // A dump: "YYYYMMDD-HHMMSS" and maybe "-n".
        if (!bLog && (strRest.size() < 15 || !IsNumber(strRest.substr(0, 8), 8, 8) ||
                      strRest[8] != '-' || !IsNumber(strRest.substr(9, 6), 6, 6) ||
                      (strRest.size() > 15 && (strRest[15] != '-' || !IsNumber(strRest.substr(16))))))
            return 0;
    }
    return std::stoi(strPid);
}

struct LogFile {
    fs::path path;
    int nPid = 0;
    fs::file_time_type written;
    uintmax_t nSize = 0;
};

std::vector<LogFile> ListFiles(const std::string& strFolder)
{
    std::vector<LogFile> vecOut;
    std::error_code ec;
    for (fs::directory_iterator it(strFolder, ec), end; !ec && it != end; it.increment(ec)) {
        LogFile file;
        file.path = it->path();
        file.nPid = PidOfName(file.path.filename().string());
        std::error_code ecFile;
        if (file.nPid == 0 || !it->is_regular_file(ecFile))
            continue;
        file.written = it->last_write_time(ecFile);
        if (ecFile)
            file.written = fs::file_time_type::min();
        file.nSize = it->file_size(ecFile);
        if (ecFile)
            file.nSize = 0;
        vecOut.push_back(file);
    }
    return vecOut;
}

bool Remove(const fs::path& path, std::string& strErr)
{
    std::error_code ec;
    if (fs::remove(path, ec))
        return true;
    if (strErr.empty())
        strErr = path.string() + ": " + (ec ? ec.message() : std::string("already gone"));
    return false;
}

}  // namespace

int PruneProcessLogs(const std::string& strFolder, size_t nKeep, int nOwnPid,
                     std::string& strErr)
{
    struct Process {
        fs::file_time_type newest = fs::file_time_type::min();
        std::vector<fs::path> vecFile;
    };
    std::map<int, Process> mapProcess;
    for (const LogFile& file : ListFiles(strFolder)) {
        Process& proc = mapProcess[file.nPid];
        proc.vecFile.push_back(file.path);
        proc.newest = std::max(proc.newest, file.written);
    }
    std::vector<std::pair<fs::file_time_type, int>> vecOrder;
    for (const auto& entry : mapProcess) {
        if (entry.first != nOwnPid)
            vecOrder.push_back({entry.second.newest, entry.first});
    }
    std::sort(vecOrder.rbegin(), vecOrder.rend());     // newest first
    const size_t nKeepOthers = mapProcess.count(nOwnPid) != 0 && nKeep > 0 ? nKeep - 1 : nKeep;
    int nRemoved = 0;
    for (size_t i = nKeepOthers; i < vecOrder.size(); ++i) {
        for (const fs::path& path : mapProcess[vecOrder[i].second].vecFile)
            nRemoved += Remove(path, strErr) ? 1 : 0;
    }
    return nRemoved;
}

int CapLogFolder(const std::string& strFolder, uintmax_t nMaxBytes, const std::string& strKeep,
                 std::string& strErr)
{
    std::vector<LogFile> vecFile = ListFiles(strFolder);
    uintmax_t nTotal = 0;
    for (const LogFile& file : vecFile)
        nTotal += file.nSize;
    std::sort(vecFile.begin(), vecFile.end(),
              [](const LogFile& a, const LogFile& b) { return a.written < b.written; });
    std::error_code ec;
    int nRemoved = 0;
    for (const LogFile& file : vecFile) {
        if (nTotal <= nMaxBytes)
            break;
        if (!strKeep.empty() && fs::equivalent(file.path, strKeep, ec))
            continue;
        if (Remove(file.path, strErr)) {
            nTotal -= file.nSize;
            ++nRemoved;
        }
    }
    return nRemoved;
}
