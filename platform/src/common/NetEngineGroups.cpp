// The engine's group memberships, kept per interface index, and the choice of
// the endpoint a datagram belongs to by its destination address.
#include "common/NetEngineImpl.h"

#include <algorithm>

namespace nox {

using engine::Joined;
using engine::Member;
using engine::PortSock;
using engine::udp;

namespace {

constexpr size_t kMaxSpareSockets = 64;   // with Linux's default 20 each: 1,300 interfaces

bool Named(const std::vector<std::string>& vecName, const std::string& strName)
{
    return !strName.empty() && std::find(vecName.begin(), vecName.end(), strName) != vecName.end();
}

os::NativeSocket SocketOf(PortSock& port, size_t nSock)
{
    if (nSock == 0)
        return port.nFd;
    return static_cast<os::NativeSocket>(port.vecSpare[nSock - 1]->native_handle());
}

}  // namespace

namespace engine {

const Member* EndpointFor(const std::vector<Member>& vecMember, uint32_t nDst)
{
    const Member* pAny = nullptr;
    for (const Member& member : vecMember) {
        if (member.nAddr == 0)
            pAny = &member;
        else if (member.nAddr == nDst)
            return &member;
    }
    return pAny;
}

}  // namespace engine

std::vector<os::GroupIface> NetEngine::Impl::ServedIfaces()
{
    std::vector<os::GroupIface> vecAll;
    if (os::GroupInterfaces(vecAll) != 0)
        return vecAll;
    if (!bIfaceSet)
        return vecAll;
    std::vector<os::GroupIface> vecOut;
    for (os::GroupIface& iface : vecAll) {
        if (Named(vecIfaceName, iface.strName) || Named(vecIfaceName, iface.strAltName))
            vecOut.push_back(std::move(iface));
    }
    return vecOut;
}

// A join tries the port's socket first, then each spare one; a spare socket
// is added only when every socket is full and the system delivers a spare's
// groups to the port.
void NetEngine::Impl::SettleGroups(PortSock& port, const std::vector<os::GroupIface>* pvecWant,
                                   std::vector<GroupChange>* pvecOut)
{
    auto Wanted = [&](const Member& member, const os::GroupIface& iface) {
        return member.strIface.empty() || member.strIface == iface.strName ||
               member.strIface == iface.strAltName;
    };
    auto Kept = [&](const Joined& joined) {
        for (const Member& member : port.vecMember) {
            if (member.nGroup != joined.nGroup)
                continue;
            if (pvecWant == nullptr)
                return true;
            for (const os::GroupIface& iface : *pvecWant) {
                if (iface.nIndex == joined.nIndex && Wanted(member, iface))
                    return true;
            }
        }
        return false;
    };
    auto& vecJoined = port.vecJoined;
    for (auto it = vecJoined.begin(); it != vecJoined.end();) {
        if (Kept(*it)) {
            ++it;
            continue;
        }
        (void)os::ChangeMembership(SocketOf(port, it->nSock), it->nGroup, it->nIndex,
                                   it->nIfaceAddr, false);
        it = vecJoined.erase(it);
    }
    if (pvecWant == nullptr)
        return;
    for (const Member& member : port.vecMember) {
        if (member.nGroup == 0)
            continue;
        for (const os::GroupIface& iface : *pvecWant) {
            const bool bHeld = std::any_of(vecJoined.begin(), vecJoined.end(), [&](const Joined& j) {
                return j.nGroup == member.nGroup && j.nIndex == iface.nIndex;
            });
            if (bHeld || !Wanted(member, iface))
                continue;
            int nRet = -ENOBUFS;
            size_t nSock = 0;
            for (; nSock <= port.vecSpare.size(); ++nSock) {
                nRet = os::ChangeMembership(SocketOf(port, nSock), member.nGroup, iface.nIndex,
                                            iface.nAddr, true);
                if (nRet == 0 || !os::IsMembershipLimit(-nRet))
                    break;
            }
            if (nRet != 0 && os::IsMembershipLimit(-nRet) && os::SpareMembershipsReceive() &&
                port.vecSpare.size() < kMaxSpareSockets) {
                asio::error_code ec;
                auto pSpare = std::make_unique<udp::socket>(port.loop.io);
                pSpare->open(udp::v4(), ec);
                if (ec) {
                    nRet = engine::NegErr(ec);
                } else {
                    port.vecSpare.push_back(std::move(pSpare));
                    nSock = port.vecSpare.size();
                    nRet = os::ChangeMembership(SocketOf(port, nSock), member.nGroup,
                                                iface.nIndex, iface.nAddr, true);
                    if (nRet != 0)
                        port.vecSpare.pop_back();   // holds nothing: the system allows none
                }
            }
            if (nRet == 0)
                vecJoined.push_back({member.nGroup, iface.nIndex, iface.nAddr, nSock});
            else if (pvecOut != nullptr)
                pvecOut->push_back({member.nId, member.nGroup, iface.strName, nRet});
        }
    }
}

int NetEngine::SetGroupInterfaces(const std::vector<std::string>& vecName,
                                  std::vector<GroupChange>& vecOut)
{
    vecOut.clear();
    std::lock_guard<std::mutex> ports(m_pImpl->portMutex);
    m_pImpl->bIfaceSet = true;
    m_pImpl->vecIfaceName = vecName;
    const std::vector<os::GroupIface> vecWant = m_pImpl->ServedIfaces();
    for (const auto& entry : m_pImpl->mapPort) {
        std::lock_guard<std::mutex> lock(entry.second->mutex);
        if (!entry.second->bClosed)
            m_pImpl->SettleGroups(*entry.second, &vecWant, &vecOut);
    }
    return 0;
}

}  // namespace nox
