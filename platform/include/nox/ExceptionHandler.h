// Crash monitor and on-demand process dump. The dump format is described in
// the README.
#pragma once

namespace nox {

class ExceptionHandler {
public:
    // Installs handlers for fatal signals. A crash writes
    // "<szProgram>-<pid>-<time>.dmp" into the log folder, then the process
    // dies as it would have. 0 on success.
    static int StartMonitor(const char* szProgram);
    // Writes a dump of the running process now (every thread's stack and the
    // memory map) and returns; pContext is unused on Linux (pass null).
    // 0 on success.
    static int do_minidump(void* pContext);
    // Path of the last dump written, empty before the first.
    static const char* LastDumpPath();
};

}  // namespace nox
