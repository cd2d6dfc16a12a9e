// Crash monitor and on-demand process dump.
//
// Dump file "<program>-<pid>-<YYYYMMDD-HHMMSS>.dmp" (local time; "-2", "-3"...
// before ".dmp" for a second dump in the same second), written into the
// folder of the log base given to BaseLib::Init, or before that into "log"
// when it exists, else the current folder.
//
// On Windows the file is a minidump (MiniDumpWriteDump: every thread's stack
// and context, data segments, referenced memory), for an unhandled exception,
// abort() or a request; debuggers read it. On Linux it is plain text:
//   nox dump 1 program <program> pid <pid> time <YYYYMMDD-HHMMSS> reason crash|request
//   signal: <number> <name>                 crash only (SIGSEGV, SIGBUS, ...)
//   address: 0x<16 hex digits>              crash only: the fault address
//   thread <tid> (crashed|dumping):         the thread that writes the dump,
//   <one line per frame>                    then its frames as the C library
//                                           prints them (module(symbol+off) [pc])
//   thread <tid>:                           every other thread, one at a time,
//   <one line per frame>                    or "thread <tid>: no answer" when it
//                                           did not answer within 300 ms
//   maps:
//   <the process's memory map, as the kernel lists it>
//   end
// After a crash the default action is restored and the signal raised again
// (on Windows the exception goes on to the system's handling), so the process
// ends as it would have without the monitor.
#pragma once

namespace nox {

class ExceptionHandler {
public:
    // Installs handlers for fatal signals (Windows: the unhandled exception
    // filter and SIGABRT). A crash writes
    // "<szProgram>-<pid>-<time>.dmp" into the log folder, then the process
    // dies as it would have. 0 on success.
    static int StartMonitor(const char* szProgram);
    // Writes a dump of the running process now (every thread's stack and the
    // memory map) and returns; pContext is unused (pass null).
    // 0 on success.
    static int do_minidump(void* pContext);
    // Path of the last dump written, empty before the first.
    static const char* LastDumpPath();
};

}  // namespace nox
