// What velmoractl does with a working folder. Each command prints its result
// on standard output, its errors on standard error, and returns the exit
// status.
#pragma once

#include <string>

namespace velmora {
namespace ctl {

enum ExitStatus { kExitDone = 0, kExitFailed = 1, kExitUsage = 2, kExitNotRunning = 3 };

// How long a command waits for the daemon to act on it, in milliseconds.
struct Wait {
    unsigned nTimeoutMs = 10000;
};

// Whether the daemon runs, since when, its endpoints, adapters, queue and
// filter. bRefresh asks the daemon for fresh figures first (the S command).
int Status(const std::string& strFolder, bool bRefresh, const Wait& wait);
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
