#include "StopSequence.h"

namespace velmora {
namespace svc {

StopResult StopDaemon(DaemonChild& child, const StopProgress& progress)
{
    StopResult result;
    unsigned nCheckpoint = 1;
    progress(nCheckpoint, 2 * kStopStepMs);
    result.bQuitSent = child.SendQuit();
    if (result.bQuitSent) {
        for (unsigned nWaited = 0; nWaited < kStopTimeoutMs; nWaited += kStopStepMs) {
            if (child.WaitExit(kStopStepMs)) {
                result.bEnded = true;
                result.nExitCode = child.ExitCode();
                return result;
            }
            progress(++nCheckpoint, 2 * kStopStepMs);
        }
    }
    // Without q in its file, waiting is pointless: end it at once.
    progress(++nCheckpoint, kTerminateWaitMs);
    child.Terminate();
    result.bTerminated = true;
    result.bEnded = child.WaitExit(kTerminateWaitMs);
    result.nExitCode = child.ExitCode();
    return result;
}

}  // namespace svc
}  // namespace velmora
