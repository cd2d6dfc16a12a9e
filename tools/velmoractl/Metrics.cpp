#include "tools/velmoractl/Metrics.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <system_error>
#include <vector>

#include <json/json.h>

#include "CUListen/Counters.h"
#include "nox/Console.h"

namespace fs = std::filesystem;

namespace velmora {
namespace ctl {

namespace {

void Metric(std::ostringstream& out, const std::string& strName, const char* szType,
            const char* szHelp, const std::string& strValue, const std::string& strLabels = "")
{
    out << "# HELP " << strName << " " << szHelp << "\n"
        << "# TYPE " << strName << " " << szType << "\n"
        << strName << strLabels << " " << strValue << "\n";
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

// A label value as the text format wants it: backslash, quote and line end
// escaped.
std::string LabelValue(const std::string& strText)
{
    std::string strOut;
    for (char c : strText) {
        if (c == '\\' || c == '"')
            strOut += '\\';
        strOut += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return strOut;
}

// The counters that are one family told apart by a label: the status file's
// name, the family, the label.
struct LabelledCounter {
    const char* szName;
    const char* szFamily;
    const char* szLabel;
};
const LabelledCounter kLabelled[] = {
    {"received_json", "velmora_received_total", "form=\"json\""},
    {"received_binary", "velmora_received_total", "form=\"binary\""},
    {"received_other", "velmora_received_total", "form=\"other\""},
    {"filtered_duplicate", "velmora_dropped_total", "reason=\"duplicate\""},
    {"dropped_queue_full", "velmora_dropped_total", "reason=\"queue_full\""},
    {"dropped_off_link", "velmora_dropped_total", "reason=\"off_link\""},
};

void Counters(std::ostringstream& out, const DaemonStatus& s)
{
    std::vector<std::string> vecFamily;   // the families already headed
    for (const auto& counter : s.vecCounter) {
        const LabelledCounter* pLabelled = nullptr;
        for (const LabelledCounter& labelled : kLabelled) {
            if (counter.first == labelled.szName)
                pLabelled = &labelled;
        }
        if (pLabelled == nullptr) {
            Metric(out, "velmora_" + counter.first + "_total", "counter",
                   CounterHelp(counter.first), std::to_string(counter.second));
            continue;
        }
        const std::string strFamily = pLabelled->szFamily;
        if (std::find(vecFamily.begin(), vecFamily.end(), strFamily) == vecFamily.end()) {
            vecFamily.push_back(strFamily);
            out << "# HELP " << strFamily << " "
                << (strFamily == "velmora_received_total"
                        ? "Datagrams received, by their head (form)."
                        : "Requests dropped before a worker took them, by reason.")
                << "\n# TYPE " << strFamily << " counter\n";
        }
        out << strFamily << "{" << pLabelled->szLabel << "} " << counter.second << "\n";
    }
}

}  // namespace

std::string MetricsText(const DaemonStatus& s, bool bRunning, const std::string& strVersion)
{
    std::ostringstream out;
    Metric(out, "velmora_up", "gauge", "Whether a Velmora daemon runs in the folder.",
           bRunning ? "1" : "0");
    if (!bRunning || s.nPid == 0)
        return out.str();
    Metric(out, "velmora_build_info", "gauge",
           "The running daemon's build (its version banner) and the package version.",
           "1",
           "{build=\"" + LabelValue(s.strBuild) + "\",version=\"" + LabelValue(strVersion) +
               "\"}");
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
    Counters(out, s);
    return out.str();
}

std::string StatusJson(const std::string& strFolder, const std::string& strState, int nPid,
                       const DaemonStatus& s, bool bHaveStatus)
{
    Json::Value obj(Json::objectValue);
    obj["state"] = strState;
    obj["folder"] = strFolder;
    obj["pid"] = nPid != 0 ? Json::Value(nPid) : Json::Value();
    if (bHaveStatus) {
        obj["lastPid"] = s.nPid;
        obj["build"] = s.strBuild;
        obj["started"] = Json::Int64(s.nStarted);
        obj["written"] = Json::Int64(s.nWritten);
        obj["stopped"] = s.strState == "stopped";
        obj["startFailed"] = s.strStart == "failed";
        obj["logFile"] = s.strLogFile;
        obj["logLevel"] = s.strLogLevel;
        Json::Value endpoints(Json::arrayValue);
        for (const DaemonStatus::Endpoint& ep : s.vecEndpoint) {
            Json::Value one(Json::objectValue);
            one["host"] = ep.strHost;
            one["port"] = ep.nPort;
            one["open"] = ep.nResult == 0;
            one["error"] = ep.nResult == 0 ? Json::Value() : Json::Value(nox::ErrorText(ep.nResult));
            endpoints.append(one);
        }
        obj["endpoints"] = endpoints;
        Json::Value adapters(Json::arrayValue);
        for (const std::string& strAdapter : s.vecAdapter) {
            std::istringstream in(strAdapter);
            Json::Value one(Json::objectValue);
            for (const char* szKey : {"name", "mac", "address", "mask", "gateway"}) {
                std::string strValue;
                in >> strValue;
                one[szKey] = strValue;
            }
            adapters.append(one);
        }
        obj["adapters"] = adapters;
        obj["workers"] = s.nThreads;
        obj["filterInterval"] = s.nFilterInterval;
        obj["queue"] = s.nQueue;
        obj["filterHosts"] = s.nFilterHosts;
        obj["filterEntries"] = s.nFilterEntries;
        obj["httpPort"] = s.nHttpPort;
        obj["httpsPort"] = s.nHttpsPort;
        obj["serial"] = s.strSerial;
        Json::Value counters(Json::objectValue);
        for (const auto& counter : s.vecCounter)
            counters[counter.first] = Json::UInt64(counter.second);
        obj["counters"] = counters;
    }
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, obj) + "\n";
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
