// The engine's group paths between two network namespaces: which endpoint a
// datagram reaches, and where the memberships are held.
#include "NetEngineFixture.h"

namespace {

using namespace velmora_test;

#ifndef _WIN32
// The server's endpoints live in namespace A, the client's in B. On one port
// a wildcard and a group endpoint, started in either order: group datagrams
// reach only the group endpoint, unicast ones only the wildcard endpoint, and
// replies from either leave from A's unicast address and the port.
// (The Windows engine's group endpoints are covered by the Wine scenario.)
TEST_F(NetEngineTest, GroupAndUnicastDatagramsReachTheirOwnEndpoint)
{
    VELMORA_NS_PAIR_OR_SKIP(pair);
    const std::string strA = pair.AddrA(), strB = pair.AddrB();
    const SOCKID client = ClientInB(pair, true);
    velmora_test::ScopedNetNs inA(pair.NameA());
    ASSERT_TRUE(inA.Ok());
    size_t nReplies = 0;
    for (const bool bGroupFirst : {false, true}) {
        nox::Ref<RecordingHandler> wild(new RecordingHandler), group(new RecordingHandler);
        const SOCKID firstSock = Listen(bGroupFirst ? kGroup : "0.0.0.0", m_nServerPort, bGroupFirst ? group : wild);
        const SOCKID secondSock = Listen(bGroupFirst ? "0.0.0.0" : kGroup, m_nServerPort, bGroupFirst ? wild : group);
        for (const std::string strDst : {kGroup, strA.c_str(), kGroup})
            ASSERT_TRUE(Send(client, strDst == kGroup ? "group" : "direct", strDst, m_nServerPort));
        const std::vector<Datagram> vecGroup = group->Wait(2), vecWild = wild->Wait(1);
        ASSERT_EQ(2u, vecGroup.size());
        EXPECT_EQ("group group", vecGroup[0].strData + " " + vecGroup[1].strData);
        ASSERT_EQ(1u, vecWild.size()) << "group datagrams reached the wildcard endpoint";
        EXPECT_EQ("direct from " + strB + ":" + std::to_string(m_nClientPort), vecWild[0].strData + " from " + vecWild[0].strFrom);
        EXPECT_EQ(bGroupFirst ? secondSock : firstSock, vecWild[0].sock);

        for (SOCKID sock : {firstSock, secondSock})
            ASSERT_TRUE(Send(sock, "answer", strB, m_nClientPort));
        nReplies += 2;
        const std::vector<Datagram> vecReply = m_client->Wait(nReplies);
        ASSERT_EQ(nReplies, vecReply.size());
        for (const Datagram& got : vecReply)
            EXPECT_EQ(strA + ":" + std::to_string(m_nServerPort), got.strFrom) << "a unicast source, never the group";
        EXPECT_EQ(0, m_engine.CloseSocket(firstSock));
        EXPECT_EQ(0, m_engine.CloseSocket(secondSock));
    }
    EXPECT_EQ(0, m_engine.StopEngine());   // before the namespaces go
}
// Groups are held, by interface index, only on the interfaces the engine is
// told to serve (a loopback made multicast-capable is listed, and not served). With one membership allowed per socket, the veth's is held
// by a spare socket and its datagrams still reach the group endpoint; an
// interface no longer served, or deleted, is dropped by its index. A unicast
// endpoint of the host shares the port; an address the host lacks is refused.
TEST_F(NetEngineTest, GroupsFollowTheServedInterfacesByIndexPastTheMembershipLimit)
{
    VELMORA_NS_PAIR_OR_SKIP(pair);
    const std::string strA = pair.AddrA();
    const SOCKID client = ClientInB(pair, false);
    velmora_test::ScopedNetNs inA(pair.NameA());
    ASSERT_TRUE(inA.Ok());
    ASSERT_EQ(0, std::system("ip link set lo multicast on && sysctl -qw net.ipv4.igmp_max_memberships=1 && for d in 1 2; do ip link add dm$d type veth peer name dp$d "
                             "&& ip link set dp$d up && ip link set dm$d up && ip addr add 10.78.$d.1/24 dev dm$d || exit 1; done"));
    std::vector<nox::os::GroupIface> vecIface;
    ASSERT_EQ(0, nox::os::GroupInterfaces(vecIface));
    ASSERT_EQ(4u, vecIface.size());   // lo, the veth, dm1, dm2
    EXPECT_EQ("lo", vecIface[0].strName);
    const std::string strVeth = vecIface[1].strName;
    const auto Joined = [] {   // the group's memberships in the namespace, one per interface
        std::ifstream in("/proc/thread-self/net/igmp");
        size_t nCount = 0;
        for (std::string strWord; in >> strWord;)
            nCount += strWord == "FBFFFFEF" ? 1 : 0;
        return nCount;
    };
    std::vector<nox::GroupChange> vecFailed;
    ASSERT_EQ(0, m_engine.SetGroupInterfaces({"dm1"}, vecFailed));
    nox::Ref<RecordingHandler> uni(new RecordingHandler), group(new RecordingHandler);
    Listen(strA.c_str(), m_nServerPort, uni);
    Listen(kGroup, m_nServerPort, group);
    EXPECT_EQ(1u, Joined());
    ip_mreqn req{};
    req.imr_multiaddr.s_addr = inet_addr(kGroup);
    req.imr_ifindex = static_cast<int>(vecIface[2].nIndex);   // dm1's, on the port's socket
    EXPECT_NE(0, ::setsockopt(FindBound(m_nServerPort), IPPROTO_IP, IP_ADD_MEMBERSHIP, &req, sizeof(req)))
        << "the first membership is the port socket's own";
    ASSERT_EQ(0, m_engine.SetGroupInterfaces({"dm1", strVeth, "dm2", "nosuch0"}, vecFailed));
    EXPECT_TRUE(vecFailed.empty());
    EXPECT_EQ(3u, Joined());
    for (const std::string& strTo : {std::string(kGroup), strA})
        ASSERT_TRUE(Send(client, strTo, strTo, m_nServerPort));
    EXPECT_EQ(kGroup, group->Wait(1).at(0).strData) << "through the spare socket's membership";
    EXPECT_EQ(strA, uni->Wait(1).at(0).strData);
    ASSERT_EQ(0, std::system("ip link del dm1"));
    ASSERT_EQ(0, m_engine.SetGroupInterfaces({strVeth}, vecFailed));
    EXPECT_EQ(1u, Joined()) << "dm2's membership stays";
    EXPECT_NE(0, ::setsockopt(FindBound(m_nServerPort), IPPROTO_IP, IP_DROP_MEMBERSHIP, &req, sizeof(req)))
        << "the deleted link's membership was still held";
    ASSERT_EQ(0, std::system("sysctl -qw net.ipv4.igmp_max_memberships=0"));
    ASSERT_EQ(0, m_engine.SetGroupInterfaces({strVeth, "dm2"}, vecFailed));
    ASSERT_EQ(1u, vecFailed.size()) << "no socket may hold another";
    EXPECT_EQ("dm2 " + std::to_string(-ENOBUFS), vecFailed[0].strIface + " " + std::to_string(vecFailed[0].nResult));
    const SOCKID absent = m_engine.CreateSocket(m_server, nullptr);
    m_engine.SetReuseAddr(absent, 1);
    EXPECT_EQ(-EADDRNOTAVAIL, m_engine.StartUDP(absent, "10.77.0.9", m_nServerPort, nullptr, 0, true));
    EXPECT_EQ(0, m_engine.StopEngine());   // before the namespaces go
}
#endif

}  // namespace
