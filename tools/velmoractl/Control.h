// What velmoractl does with a working folder. Each command prints its result
// on standard output, its errors on standard error, and returns the exit
// status.
#pragma once

#include <string>

namespace velmora {
namespace ctl {

// status keeps the LSB meanings of 0 (running) and 3 (not running); 4, LSB's
// "unknown", covers both a state that cannot be told and a daemon that runs
// degraded: starting still, with an endpoint not open or not joined on an
// interface, or without a network adapter to answer from. The text says which.
enum ExitStatus {
    kExitDone = 0,
    kExitFailed = 1,
    kExitUsage = 2,
    kExitNotRunning = 3,
    kExitUnknown = 4,
    kExitDegraded = 4
};

// How long a command waits for the daemon to act on it, in milliseconds.
struct Wait {
    unsigned nTimeoutMs = 10000;
};

// Whether the daemon runs, since when, its endpoints, adapters, queue, filter
// and counters, from the status file that the daemon keeps current (no
// command is sent, so nothing is logged). bJson: one JSON object instead.
int Status(const std::string& strFolder, bool bJson);
// The same figures in Prometheus' text format: on standard output, or with
// strTextfileDir written atomically into "velmora.prom" there (for
// node_exporter's textfile collector). kExitNotRunning when none runs (the
// text then says velmora_up 0). strVersion: the package's version.
int Metrics(const std::string& strFolder, const std::string& strTextfileDir,
            const std::string& strVersion);
// The q command; done once the daemon has ended.
int Stop(const std::string& strFolder, const Wait& wait);
// "D" or "I", or "d"; done once the daemon has acted on it.
int LogLevel(const std::string& strFolder, bool bDebug, const Wait& wait);
int Dump(const std::string& strFolder, const Wait& wait);
// The configuration check of the folder's Velmora.xml.
int CheckConfig(const std::string& strFolder);
// The serial number as the daemon would read it here; with an environment
// file, written there for the daemon's start instead.
int Serial(const std::string& strEnvFile);

}  // namespace ctl
}  // namespace velmora
