// The daemon's figures in Prometheus' text exposition format.
#pragma once

#include <string>

#include "Service/StatusFile.h"

namespace velmora {
namespace ctl {

// velmora_up, and while running velmora_build_info (the daemon's banner and
// strVersion, the package's version), the gauges (start time, endpoints,
// adapters, filter hosts, queue) and the counters: velmora_<name>_total, and
// velmora_received_total{form} and velmora_dropped_total{reason} for the
// datagrams by head and the requests dropped by reason.
std::string MetricsText(const DaemonStatus& status, bool bRunning, const std::string& strVersion);

// The status as one JSON object on one line: "state" (running, degraded,
// starting, not running), "folder", "pid", and the figures of the status file
// (for a daemon that is not running, those of its last run).
std::string StatusJson(const std::string& strFolder, const std::string& strState, int nPid,
                       const DaemonStatus& status, bool bHaveStatus);
// Writes strText as strDir/velmora.prom through a temporary file in strDir
// and a rename, so the collector never reads half a file. 0, or -1 (why in
// strErr).
int WriteTextfile(const std::string& strDir, const std::string& strText, std::string& strErr);

}  // namespace ctl
}  // namespace velmora
