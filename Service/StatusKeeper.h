// Keeps the status file current from the daemon's main thread, so that
// readers need not ask: written at start, at once when the state changes
// (endpoints, adapters, log level, a command acted on), when only the figures
// changed (counters, queue, filter) at most every kFiguresEveryMs, and at stop.
// A look costs no file access unless a write is due.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "Service/StatusFile.h"

class StatusKeeper {
public:
    static constexpr uint32_t kFiguresEveryMs = 5000;
    // Fills the state; with bFigures also the figures (CollectStatus).
    using Collect = std::function<void(DaemonStatus& status, bool bFigures)>;

    // The fixed fields (pid, build, log file, start time) are set by the caller.
    StatusKeeper(std::string strPath, const DaemonStatus& fixed, Collect collect);

    // A write with every field, for the start ("running" or "stopping") and
    // the stop ("stopped"). True when written.
    bool WriteNow(const char* szState, const char* szEvent);
    // Records a command acted on; the next Look writes it.
    void AddCommand(long long nPos, char ch, const std::string& strResult);
    // One look from the control loop: writes when due; true when written.
    bool Look();
    const DaemonStatus& Last() const { return m_last; }

private:
    bool Write(DaemonStatus& status, const char* szEvent);

    std::string m_strPath;
    Collect m_collect;
    DaemonStatus m_last;           // as last written (or as the fixed fields)
    bool m_bCommandAdded = false;
    uint32_t m_nWrittenTick = 0;
    bool m_bWriteFailed = false;   // logged once until a write succeeds
};
