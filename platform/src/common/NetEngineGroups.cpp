// The engine's group memberships after start: the group of every endpoint
// that joined one at StartUDP, joined or left on one more interface, on the
// port socket that holds the membership.
#include "common/GroupMembershipOs.h"
#include "common/NetEngineImpl.h"

namespace nox {

int NetEngine::SetGroupMembership(const char* szIface, bool bJoin, std::vector<GroupChange>& vecOut)
{
    vecOut.clear();
    if (szIface == nullptr || szIface[0] == '\0')
        return -EINVAL;
    std::lock_guard<std::mutex> ports(m_pImpl->portMutex);
    for (const auto& entry : m_pImpl->mapPort) {
        engine::PortSock& port = *entry.second;
        std::lock_guard<std::mutex> lock(port.mutex);
        for (const engine::Member& member : port.vecMember) {
            if (member.nGroup != 0)
                vecOut.push_back({member.nId, member.nGroup,
                                  os::ChangeGroupOn(port.nFd, member.nGroup, szIface, bJoin)});
        }
    }
    return 0;
}

}  // namespace nox
