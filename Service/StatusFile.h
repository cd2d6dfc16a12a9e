// The daemon's state as a small text file in its working folder, kept
// current by the daemon (StatusKeeper) and read by velmoractl status and
// metrics. Alongside it, the pid file that a second instance in the same
// folder finds locked.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class CServer;

constexpr const char kStatusFileName[] = "Velmora.status";
constexpr const char kPidFileName[] = "Velmora.pid";

// One "key=value" line each; endpoints and adapters repeat their key.
struct DaemonStatus {
    struct Endpoint {
        std::string strHost;
        int nPort = 0;
        int nResult = 0;              // 0 open, else the negative error number
        std::string strNotJoined;     // a group endpoint's interfaces without its group, why
    };
    // A control command the daemon has acted on: the control file's offset
    // just past its character, the character, and what came of it ("debug",
    // "info", the dump's path, "failed" ...).
    struct Command {
        long long nPos = 0;
        char ch = 0;
        std::string strResult;
    };
    static constexpr size_t kKeptCommands = 8;
    int nPid = 0;
    std::string strBuild;
    long long nStarted = 0;           // seconds since the epoch
    long long nWritten = 0;
    int nSeq = 0;                     // counts the writes of one process
    std::string strEvent;             // what made this write: start, change, figures, stop
    std::string strState;             // running, stopping or stopped
    std::string strStart;             // ok or failed
    std::string strLogLevel;          // debug or info
    std::string strLogFile;
    int nThreads = 0;
    int nFilterInterval = 0;
    int nHttpPort = 0;
    int nHttpsPort = 0;
    std::string strSerial;
    std::vector<Endpoint> vecEndpoint;
    std::vector<std::string> vecAdapter;    // "name mac address mask gateway"
    int nAdapterRefresh = 0;          // 1: the table follows the host's adapters
    long long nAdaptersChanged = 0;   // when the table last changed; 0: as read at start
    int nQueue = 0;
    int nFilterHosts = 0;
    int nFilterEntries = 0;
    std::vector<std::pair<std::string, uint64_t>> vecCounter;   // "replies_sent" ...
    std::vector<Command> vecCommand;  // the last kKeptCommands, oldest first

    std::string ToText() const;
    // False when the text is not a status of this format.
    bool FromText(const std::string& strText);
    // The command whose character ended at control file offset nPos, else null.
    const Command* FindCommand(long long nPos) const;
    int OpenEndpoints() const;
    // Running but not whole: an endpoint is not open or not joined on every
    // adapter, or there is no adapter.
    bool Degraded() const;
    // One line for the service manager: endpoints open, adapters, replies sent.
    std::string Summary() const;
};

// Fills what the server knows now: settings, endpoints, adapters and the log
// level; with bFigures also the queue and filter sizes and the counters
// (which walks the filter under its lock). Main thread.
void CollectStatus(CServer& server, DaemonStatus& status, bool bFigures);

// Writes szPath through a temporary file and a rename, so a reader never sees
// half a file. A reader that holds the file in the way of the rename (on
// Windows) is waited for up to half a second. 0, or -1 (why in strErr, with
// the system's reason).
int WriteStatusFile(const DaemonStatus& status, const std::string& strPath, std::string& strErr);
// 0; -1 when the file is missing or unreadable (why in strErr), -2 when it is
// not a status file. The file is read without standing in the way of the
// daemon's next replacement (nox::ReadWholeFile).
int ReadStatusFile(const std::string& strPath, DaemonStatus& status, std::string& strErr);

// "YYYY-MM-DD HH:MM:SS" in local time.
std::string LocalTimeText(long long nEpoch);
