// Following the host's interfaces: which address an adapter's row carries,
// and (Linux, in a network namespace) the change reports and the wake-up.
#include "nox/NetWatch.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/AddressChoice.h"

#ifndef _WIN32
#include <arpa/inet.h>
#include <linux/if_addr.h>
#include <net/if.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include "NetNs.h"
#include "posix/AddressFlags.h"
#endif

namespace {

using nox::os::Ipv4Candidate;

TEST(AddressChoiceTest, FirstUsableAddressWins)
{
    const Ipv4Candidate kTentative{0x0A000001, 24, nox::os::kAddrTentative};
    const Ipv4Candidate kFailed{0x0A000002, 24, nox::os::kAddrDadFailed};
    const Ipv4Candidate kNotSource{0x0A000003, 16, nox::os::kAddrNotSource};
    const Ipv4Candidate kGood{0x0A000004, 8, nox::os::kAddrUsable};
    const Ipv4Candidate kOther{0x0A000005, 24, nox::os::kAddrUsable};
    const struct {
        std::vector<Ipv4Candidate> vecIn;
        uint32_t nChosen;   // 0: none
    } kCases[] = {
        {{}, 0},
        {{kGood, kOther}, kGood.nAddr},
        {{kTentative, kGood}, kGood.nAddr},
        {{kFailed, kNotSource, kOther, kGood}, kOther.nAddr},
        {{kTentative, kFailed, kNotSource}, 0},
    };
    for (const auto& c : kCases) {
        const Ipv4Candidate* pChosen = nox::os::ChooseIpv4(c.vecIn);
        EXPECT_EQ(c.nChosen, pChosen ? pChosen->nAddr : 0u);
    }
    EXPECT_EQ(0xFFFFFF00u, nox::os::MaskOfPrefix(24));
    EXPECT_EQ(0u, nox::os::MaskOfPrefix(0));
    EXPECT_EQ(0xFFFFFFFFu, nox::os::MaskOfPrefix(40));
}

#ifndef _WIN32
// One RTM_NEWADDR message: the 8-bit flags in the header, and optionally the
// 32-bit IFA_FLAGS attribute, which then counts; IFA_LOCAL unless bPeerOnly.
void AppendAddr(std::string& strBuf, unsigned nIndex, const char* szAddr, uint8_t nFlags8,
                const uint32_t* pFlags32, bool bPeerOnly = false)
{
    std::string strAttrs;
    auto attr = [&](unsigned short nType, const void* pData) {
        rtattr hdr{static_cast<unsigned short>(RTA_LENGTH(4)), nType};
        strAttrs.append(reinterpret_cast<const char*>(&hdr), sizeof(hdr));
        strAttrs.append(static_cast<const char*>(pData), 4);
    };
    in_addr addr{};
    inet_pton(AF_INET, szAddr, &addr);
    attr(IFA_ADDRESS, &addr);
    if (!bPeerOnly)
        attr(IFA_LOCAL, &addr);
    if (pFlags32 != nullptr)
        attr(IFA_FLAGS, pFlags32);
    nlmsghdr msg{};
    msg.nlmsg_type = RTM_NEWADDR;
    msg.nlmsg_len = static_cast<uint32_t>(NLMSG_LENGTH(sizeof(ifaddrmsg)) + strAttrs.size());
    ifaddrmsg ifa{AF_INET, 24, nFlags8, 0, nIndex};
    strBuf.append(reinterpret_cast<const char*>(&msg), sizeof(msg));
    strBuf.append(reinterpret_cast<const char*>(&ifa), sizeof(ifa));
    strBuf += strAttrs;
}

TEST(AddressChoiceTest, LinuxFlagsFromTheAddressDump)
{
    const uint32_t nDadFailed = IFA_F_DADFAILED | IFA_F_PERMANENT;
    const uint32_t nPlain = IFA_F_PERMANENT;
    std::string strBuf;
    AppendAddr(strBuf, 2, "10.0.0.5", IFA_F_PERMANENT, nullptr);
    AppendAddr(strBuf, 2, "10.0.0.6", IFA_F_TENTATIVE, nullptr);
    AppendAddr(strBuf, 3, "10.1.0.5", 0, &nDadFailed);
    AppendAddr(strBuf, 3, "10.1.0.6", IFA_F_TENTATIVE, &nPlain);   // the 32-bit flags count
    AppendAddr(strBuf, 4, "10.2.0.5", IFA_F_TENTATIVE, nullptr, true);
    nox::os::AddrFlagMap mapState;
    nox::os::ParseAddrDump(strBuf.data(), strBuf.size(), mapState);
    const nox::os::AddrFlagMap kWant = {{{2, 0x0A000005}, nox::os::kAddrUsable},
                                        {{2, 0x0A000006}, nox::os::kAddrTentative},
                                        {{3, 0x0A010005}, nox::os::kAddrDadFailed},
                                        {{3, 0x0A010006}, nox::os::kAddrUsable},
                                        {{4, 0x0A020005}, nox::os::kAddrTentative}};
    EXPECT_EQ(kWant, mapState);
    EXPECT_EQ(nox::os::kAddrDadFailed, nox::os::StateOf(mapState, 3, 0x0A010005));
    EXPECT_EQ(nox::os::kAddrUsable, nox::os::StateOf(mapState, 4, 0x0A010005));

    // This host's own dump, read while errno still holds an earlier EINTR:
    // loopback's address is in it, usable.
    errno = EINTR;
    const nox::os::AddrFlagMap mapHost = nox::os::Ipv4AddrStates();
    const auto it = mapHost.find({if_nametoindex("lo"), 0x7F000001u});
    ASSERT_NE(mapHost.end(), it);
    EXPECT_EQ(nox::os::kAddrUsable, it->second);
}

// An address added in the watched namespace is reported; Wake ends a wait
// at once.
TEST(NetWatchTest, AddressChangeIsReportedAndWakeEndsTheWait)
{
    VELMORA_NS_PAIR_OR_SKIP(pair);
    nox::NetWatch watch;
    {
        velmora_test::ScopedNetNs inA(pair.NameA());
        ASSERT_TRUE(inA.Ok());
        ASSERT_EQ(0, watch.Open());   // the socket stays in namespace A
    }
    const std::string strCmd = "ip -n " + pair.NameA() + " addr add 10.78.0.1/24 dev lo";
    ASSERT_EQ(0, std::system(strCmd.c_str()));
    EXPECT_EQ(1, watch.Wait(10000));
    watch.Wake();
    EXPECT_EQ(0, watch.Wait(600000));   // returns at once: the test's time limit is far shorter
}
#endif

}  // namespace
