#include "tools/velmoractl/Metrics.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <system_error>

#include "CUListen/Counters.h"

namespace fs = std::filesystem;

namespace velmora {
namespace ctl {

namespace {

void Metric(std::ostringstream& out, const std::string& strName, const char* szType,
            const char* szHelp, const std::string& strValue)
{
    out << "# HELP " << strName << " " << szHelp << "\n"
        << "# TYPE " << strName << " " << szType << "\n"
        << strName << " " << strValue << "\n";
}

// What the status file calls a counter, read back by its name.
const char* CounterHelp(const std::string& strName)
{
    for (int i = 0; i < kCounterCount; ++i) {
        if (strName == Counters::Name(static_cast<Counter>(i)))
            return Counters::Help(static_cast<Counter>(i));
    }
    return "A counter of the Velmora daemon.";
}

}  // namespace

std::string MetricsText(const DaemonStatus& s, bool bRunning)
{
    std::ostringstream out;
    Metric(out, "velmora_up", "gauge", "Whether a Velmora daemon runs in the folder.",
           bRunning ? "1" : "0");
    if (!bRunning || s.nPid == 0)
        return out.str();
    Metric(out, "velmora_start_time_seconds", "gauge",
           "When the daemon started, in seconds since the epoch.", std::to_string(s.nStarted));
    Metric(out, "velmora_status_time_seconds", "gauge",
           "When the daemon last wrote these figures, in seconds since the epoch.",
           std::to_string(s.nWritten));
    Metric(out, "velmora_endpoints", "gauge", "Listen endpoints configured.",
           std::to_string(s.vecEndpoint.size()));
    Metric(out, "velmora_endpoints_open", "gauge", "Listen endpoints open.",
           std::to_string(s.OpenEndpoints()));
    Metric(out, "velmora_adapters", "gauge", "Network adapters the replies are sent for.",
           std::to_string(s.vecAdapter.size()));
    Metric(out, "velmora_filter_hosts", "gauge", "Source hosts in the duplicate filter.",
           std::to_string(s.nFilterHosts));
    Metric(out, "velmora_queue_requests", "gauge", "Requests waiting for a worker.",
           std::to_string(s.nQueue));
    for (const auto& counter : s.vecCounter)
        Metric(out, "velmora_" + counter.first + "_total", "counter",
               CounterHelp(counter.first), std::to_string(counter.second));
    return out.str();
}

int WriteTextfile(const std::string& strDir, const std::string& strText, std::string& strErr)
{
    const std::string strPath = (fs::path(strDir) / "velmora.prom").string();
    const std::string strTemp = strPath + ".tmp";   // the collector reads *.prom only
    std::FILE* pFile = std::fopen(strTemp.c_str(), "wb");
    if (pFile == nullptr) {
        strErr = "cannot write " + strTemp + ": " + std::strerror(errno);
        return -1;
    }
    const bool bWritten = std::fwrite(strText.data(), 1, strText.size(), pFile) == strText.size();
    const int nErr = errno;
    if (std::fclose(pFile) != 0 || !bWritten) {
        strErr = "cannot write " + strTemp + ": " + std::strerror(bWritten ? errno : nErr);
        std::error_code ec;
        fs::remove(strTemp, ec);
        return -1;
    }
    std::error_code ec;
    fs::rename(strTemp, strPath, ec);
    if (ec) {
        strErr = "cannot rename " + strTemp + " to " + strPath + ": " + ec.message();
        fs::remove(strTemp, ec);
        return -1;
    }
    return 0;
}

}  // namespace ctl
}  // namespace velmora
