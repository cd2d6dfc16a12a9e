// Start and stop of the platform library.
#pragma once

namespace nox {

class BaseLib {
public:
    // Opens the log file "<szLogBase>.log", creating its folder, starts the
    // log's writer thread (PrintLog::StartWriter), and makes a broken pipe a
    // write error instead of a signal that ends the process. Call before any
    // log line. 0 on success; on failure logging goes on to standard error.
    static int Init(const char* szLogBase);
    // Stops the writer thread, writing what is queued, then flushes and
    // closes the log. The last call of the process.
    static void Uninit();
};

}  // namespace nox
