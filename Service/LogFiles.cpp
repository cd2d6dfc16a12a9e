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

// The pid of "Velmora-<pid>.log" or "Velmora-<pid>.<n>.log", else 0.
int PidOfLogName(const std::string& strName)
{
    static const std::string kPrefix = "Velmora-";
    static const std::string kSuffix = ".log";
    if (strName.size() <= kPrefix.size() + kSuffix.size() ||
        strName.compare(0, kPrefix.size(), kPrefix) != 0 ||
        strName.compare(strName.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0)
        return 0;
    const std::string strMiddle =
        strName.substr(kPrefix.size(), strName.size() - kPrefix.size() - kSuffix.size());
    const size_t nDot = strMiddle.find('.');
    const std::string strPid = strMiddle.substr(0, nDot);
    const std::string strRotation = nDot == std::string::npos ? "1" : strMiddle.substr(nDot + 1);
    auto isNumber = [](const std::string& s) {
        return !s.empty() && s.size() < 10 &&
               std::all_of(s.begin(), s.end(), [](char c) { return std::isdigit(c & 0xFF); });
    };
    return isNumber(strPid) && isNumber(strRotation) ? std::stoi(strPid) : 0;
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
    std::error_code ec;
    for (fs::directory_iterator it(strFolder, ec), end; !ec && it != end; it.increment(ec)) {
        const int nPid = PidOfLogName(it->path().filename().string());
        std::error_code ecFile;
        if (nPid == 0 || !it->is_regular_file(ecFile))
            continue;
        Process& proc = mapProcess[nPid];
        proc.vecFile.push_back(it->path());
        const fs::file_time_type written = it->last_write_time(ecFile);
        if (!ecFile && written > proc.newest)
            proc.newest = written;
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
        for (const fs::path& path : mapProcess[vecOrder[i].second].vecFile) {
            std::error_code ecRemove;
            if (fs::remove(path, ecRemove))
                ++nRemoved;
            else if (strErr.empty())
                strErr = path.string() + ": " + ecRemove.message();
        }
    }
    return nRemoved;
}
