// The daemon's figures in Prometheus' text exposition format.
#pragma once

#include <string>

#include "Service/StatusFile.h"

namespace velmora {
namespace ctl {

// velmora_up, and while running the gauges (start time, endpoints, adapters,
// filter hosts, queue) and every counter as velmora_<name>_total.
std::string MetricsText(const DaemonStatus& status, bool bRunning);
// Writes strText as strDir/velmora.prom through a temporary file in strDir
// and a rename, so the collector never reads half a file. 0, or -1 (why in
// strErr).
int WriteTextfile(const std::string& strDir, const std::string& strText, std::string& strErr);

}  // namespace ctl
}  // namespace velmora
