// Group membership on one named interface, for sockets that joined a group
// when they were started (NetEngine::SetGroupMembership). Each OS folder
// defines it beside the engine's other socket calls.
#pragma once

#include <cstdint>

#include "common/NetEngineOs.h"

namespace nox {
namespace os {

// Joins (bJoin) or leaves group nGroup (host byte order) on the interface
// szIface: on Linux its name ("eth0"), on Windows its friendly or GUID name.
// 0 when done, also when it was so already; 1 when szIface is not an up,
// multicast-capable interface with an IPv4 address (nothing done); else a
// negative error.
int ChangeGroupOn(NativeSocket sock, uint32_t nGroup, const char* szIface, bool bJoin);

}  // namespace os
}  // namespace nox
