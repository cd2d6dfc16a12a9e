// The running process: its identifier and the stop request by signal.
#pragma once

namespace nox {

class Process {
public:
    // The process identifier.
    static int Id();
    // Makes the usual stop signals (terminate, interrupt) set a flag instead
    // of ending the process. A sleep that the signal interrupts returns early
    // where the system allows it. Call once, from the main thread.
    static void InstallStopSignals();
    // True once a stop signal arrived; safe from any thread.
    static bool StopRequested();
    // Makes the hang-up signal, which would end the process, only count; the
    // main loop takes the count. Nothing where the system has no such signal.
    static void InstallHangupSignal();
    // True when a hang-up arrived since the last call.
    static bool TakeHangup();
};

}  // namespace nox
