// The engine's group memberships after start: the group of every socket that
// joined one at StartUDP, joined or left on one more interface.
#include "common/GroupMembershipOs.h"
#include "common/NetEngineImpl.h"

namespace nox {

int NetEngine::SetGroupMembership(const char* szIface, bool bJoin, std::vector<GroupChange>& vecOut)
{
    vecOut.clear();
    if (szIface == nullptr || szIface[0] == '\0')
        return -EINVAL;
    std::vector<engine::SockPtr> vecGroup;
    {
        std::shared_lock<std::shared_mutex> lock(m_pImpl->mutex);
        for (const auto& entry : m_pImpl->mapSock) {
            if (entry.second->nGroup.load() != 0)
                vecGroup.push_back(entry.second);
        }
    }
    for (const engine::SockPtr& pSt : vecGroup) {
        std::lock_guard<std::mutex> lock(pSt->mutex);
        if (pSt->bClosed.load())
            continue;
        const uint32_t nGroup = pSt->nGroup.load();
        vecOut.push_back({pSt->nId, nGroup, os::ChangeGroupOn(pSt->nFd, nGroup, szIface, bJoin)});
    }
    return 0;
}

}  // namespace nox
