// Windows keeps its completion-port receives on the engine's event threads:
// no socket is received by the runners (common/Intake.h).
#include "common/Intake.h"

namespace nox {
namespace intake {

bool Active()
{
    return false;
}

bool Add(const std::shared_ptr<Source>& /*pSource*/, os::NativeSocket /*fd*/)
{
    return false;
}

void Arm(Source& /*source*/, os::NativeSocket /*fd*/) {}

void Unwatch(Source& /*source*/, os::NativeSocket /*fd*/) {}

void Remove(Source& /*source*/, os::NativeSocket /*fd*/) {}

void EnterReceiver() {}

void LeaveReceiver() {}

bool TakePollRole()
{
    return false;
}

void PollTurn(Turn& /*turn*/, uint64_t /*nEpochSeen*/) {}

void WakePoller() {}

bool Serving()
{
    return false;
}

bool Keeping(uint64_t /*nKeepSeen*/)
{
    return false;
}

bool TakeOverStalled(uint64_t& /*nKeepSeen*/)
{
    return false;
}

}  // namespace intake
}  // namespace nox
