// The stop of the daemon on a stop, shutdown or preshutdown control: a q
// appended to its control file, then up to kStopTimeoutMs for it to end, in
// steps of kStopStepMs, each step one checkpoint further, so the service
// manager sees the stop advance; a daemon still running then is ended.
#pragma once

#include <functional>

namespace velmora {
namespace svc {

// The running daemon as the stop sees it. CDaemonProcess is the real one.
class DaemonChild {
public:
    virtual ~DaemonChild() = default;
    // Appends q to the daemon's control file; false when it could not.
    virtual bool SendQuit() = 0;
    // Waits up to nMs for the daemon to end; true once it has ended.
    virtual bool WaitExit(unsigned nMs) = 0;
    // Ends the daemon (and whatever it started) at once.
    virtual void Terminate() = 0;
    // The daemon's exit code; meaningful once WaitExit returned true.
    virtual unsigned long ExitCode() const = 0;
};

constexpr unsigned kStopTimeoutMs = 20000;
constexpr unsigned kStopStepMs = 1000;
constexpr unsigned kTerminateWaitMs = 5000;

struct StopResult {
    bool bQuitSent = false;      // q reached the control file
    bool bTerminated = false;    // the daemon had to be ended
    bool bEnded = false;         // it has ended (false only if even that failed)
    unsigned long nExitCode = 0;
};

// Called with checkpoints 1, 2, 3 ... and the time the next step may take.
using StopProgress = std::function<void(unsigned nCheckpoint, unsigned nWaitHintMs)>;

StopResult StopDaemon(DaemonChild& child, const StopProgress& progress);

}  // namespace svc
}  // namespace velmora
