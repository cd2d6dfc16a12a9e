// The running process: its identifier, the stop request by signal or console
// event, and the console window's Close command.
#pragma once

namespace nox {

class Process {
public:
    // The process identifier.
    static int Id();
    // Makes the usual stop requests set a flag instead of ending the process:
    // on Linux the terminate and interrupt signals (a sleep that one
    // interrupts returns early where the system allows it), on Windows the
    // console's Ctrl-C, Ctrl-Break, close and shutdown events (for the last
    // two the process ends once the main thread has returned from main); a
    // logoff event is ignored. Call once, from the main thread.
    static void InstallStopSignals();
    // True once a stop request arrived; safe from any thread.
    static bool StopRequested();
    // Removes the Close item from the system menu of the process's console
    // window and redraws its menu bar; nothing happens without a console
    // window (always so on Linux).
    static void RemoveConsoleClose();
    // Makes the hang-up signal, which would end the process, only count; the
    // main loop takes the count. Nothing where the system has no such signal.
    static void InstallHangupSignal();
    // True when a hang-up arrived since the last call.
    static bool TakeHangup();
};

}  // namespace nox
