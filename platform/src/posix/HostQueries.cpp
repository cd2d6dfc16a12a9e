// Linux host queries: adapters from getifaddrs, rtnetlink (the addresses'
// flags) and /proc/net/route, the serial number from DMI or else derived from
// the machine id (libsystemd's sd_id128_get_machine_app_specific: the id
// itself must not leave the host).
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <systemd/sd-id128.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "common/AddressChoice.h"
#include "common/HostText.h"
#include "common/RuntimeOs.h"
#include "posix/AddressFlags.h"
#include "nox/Str.h"

namespace nox {
namespace os {

namespace {

enum { kErrIfAddrs = -1 };

struct IfaceRow {
    unsigned nIndex = 0;
    bool bUp = false;
    bool bLoopback = false;
    std::string strMac = "00:00:00:00:00:00";
    std::vector<Ipv4Candidate> vecIpv4;   // in getifaddrs' order
};

uint32_t HostOrder(const struct sockaddr* pAddr)
{
    return ntohl(reinterpret_cast<const struct sockaddr_in*>(pAddr)->sin_addr.s_addr);
}

unsigned PrefixLen(const struct sockaddr* pMask)
{
    if (pMask == nullptr || pMask->sa_family != AF_INET)
        return 0;
    unsigned nLen = 0;
    for (uint32_t nMask = HostOrder(pMask); (nMask & 0x80000000u) != 0; nMask <<= 1)
        ++nLen;
    return nLen;
}

// "eth0:1" (an address label) belongs to eth0.
std::string BaseName(const char* szName)
{
    std::string strName = szName;
    const size_t nColon = strName.find(':');
    return nColon == std::string::npos ? strName : strName.substr(0, nColon);
}

// Default routes (destination and mask 0) per interface from the route table,
// whose addresses are the raw network-order words printed in hex; the one with
// the lowest metric wins.
std::map<std::string, std::string> DefaultGateways()
{
    std::map<std::string, std::string> mapGateway;
    std::map<std::string, long> mapMetric;
    // The calling thread's network namespace first (a thread may have moved).
    // /proc/self stays visible where /proc shows only processes.
    std::ifstream file("/proc/thread-self/net/route");
    for (const char* szPath : {"/proc/self/net/route", "/proc/net/route"}) {
        if (!file.is_open())
            file.open(szPath);
    }
    std::string strLine;
    std::getline(file, strLine);  // column titles
    while (std::getline(file, strLine)) {
        std::istringstream in(strLine);
        std::string strIface, strDest, strGw, strFlags, strRef, strUse, strMetric, strMask;
        if (!(in >> strIface >> strDest >> strGw >> strFlags >> strRef >> strUse >> strMetric >>
              strMask))
            continue;
        const unsigned long nDest = strtoul(strDest.c_str(), nullptr, 16);
        const unsigned long nMask = strtoul(strMask.c_str(), nullptr, 16);
        const unsigned long nGw = strtoul(strGw.c_str(), nullptr, 16);
        if (nDest != 0 || nMask != 0 || nGw == 0)
            continue;
        const long nMetric = strtol(strMetric.c_str(), nullptr, 10);
        auto it = mapMetric.find(strIface);
        if (it != mapMetric.end() && it->second <= nMetric)
            continue;
        struct in_addr addr;
        addr.s_addr = static_cast<in_addr_t>(nGw);
        char szBuf[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &addr, szBuf, sizeof(szBuf));
        mapGateway[strIface] = szBuf;
        mapMetric[strIface] = nMetric;
    }
    return mapGateway;
}

}  // namespace

int HostAdapters(std::vector<AdapterInfo>& vecOut)
{
    vecOut.clear();
    struct ifaddrs* pList = nullptr;
    if (getifaddrs(&pList) != 0)
        return kErrIfAddrs;
    const AddrFlagMap mapState = Ipv4AddrStates();
    std::map<std::string, IfaceRow> mapRow;
    for (struct ifaddrs* p = pList; p != nullptr; p = p->ifa_next) {
        if (p->ifa_name == nullptr)
            continue;
        IfaceRow& row = mapRow[BaseName(p->ifa_name)];
        // Up and running: IFF_RUNNING is the operational state, cleared for a
        // link without its carrier, kept for one whose state is unknown.
        row.bUp = row.bUp || (p->ifa_flags & (IFF_UP | IFF_RUNNING)) == (IFF_UP | IFF_RUNNING);
        row.bLoopback = row.bLoopback || (p->ifa_flags & IFF_LOOPBACK) != 0;
        if (p->ifa_addr == nullptr)
            continue;
        if (p->ifa_addr->sa_family == AF_PACKET) {
            const auto* pLink = reinterpret_cast<const struct sockaddr_ll*>(p->ifa_addr);
            row.strMac = MacText(pLink->sll_addr, pLink->sll_halen);
        } else if (p->ifa_addr->sa_family == AF_INET) {
            const uint32_t nAddr = HostOrder(p->ifa_addr);
            const unsigned nState = StateOf(mapState, if_nametoindex(p->ifa_name), nAddr);
            row.vecIpv4.push_back(
                Ipv4Candidate{nAddr, PrefixLen(p->ifa_netmask), nState});
        }
    }
    freeifaddrs(pList);

    const std::map<std::string, std::string> mapGateway = DefaultGateways();
    std::vector<std::pair<unsigned, AdapterInfo>> vecRows;
    for (auto& entry : mapRow) {
        const IfaceRow& row = entry.second;
        const Ipv4Candidate* pIpv4 = ChooseIpv4(row.vecIpv4);
        if (!row.bUp || row.bLoopback || pIpv4 == nullptr)
            continue;
        AdapterInfo info;
        memset(&info, 0, sizeof(info));
        Str::strcpy_x(info.adapterName, sizeof(info.adapterName), entry.first.c_str());
        Str::strcpy_x(info.macAddr, sizeof(info.macAddr), row.strMac.c_str());
        Str::strcpy_x(info.hostAddr, sizeof(info.hostAddr), DottedText(pIpv4->nAddr).c_str());
        Str::strcpy_x(info.subNetMask, sizeof(info.subNetMask),
                      DottedText(MaskOfPrefix(pIpv4->nPrefixLen)).c_str());
        auto itGw = mapGateway.find(entry.first);
        Str::strcpy_x(info.gateWayAddr, sizeof(info.gateWayAddr),
                      itGw != mapGateway.end() ? itGw->second.c_str() : "0.0.0.0");
        vecRows.emplace_back(if_nametoindex(entry.first.c_str()), info);
    }
    std::stable_sort(vecRows.begin(), vecRows.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& row : vecRows)
        vecOut.push_back(row.second);
    return 0;
}

namespace {

const char* const kSerialSources[] = {"/sys/class/dmi/id/product_serial",
                                      "/sys/class/dmi/id/board_serial", "/etc/machine-id"};
constexpr int kSerialSourceCount = 3;
constexpr int kMachineIdSource = 2;

// This application's id of the machine ("" when the machine id is unusable).
std::string MachineAppId()
{
    sd_id128_t appId;
    std::memcpy(appId.bytes, kSerialAppId, sizeof(appId.bytes));
    sd_id128_t id;
    char szId[SD_ID128_STRING_MAX];
    if (sd_id128_get_machine_app_specific(appId, &id) < 0)
        return std::string();
    return sd_id128_to_string(id, szId);
}
constexpr uint64_t kSerialRecheckMs = 1000;   // the answering file is looked at again after this
constexpr uint64_t kSerialRescanMs = 1000;    // after no source answered

bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// The source that answered last on this thread, what it said, and its file
// as it was then. A query within a second of the last look at the file
// costs nothing; after that one stat() tells whether the file is the same.
// No source at all is looked for again at most once a second.
struct SerialSource {
    int nIndex = -1;
    struct stat st {};
    std::string strText;
    uint64_t nCheckedMs = 0;
    uint64_t nFailedMs = 0;
    bool bFailed = false;
};
thread_local SerialSource t_serial;

}  // namespace

int HostSerialNum(char* szBuf, int nSize)
{
    SerialSource& src = t_serial;
    const uint64_t nNow = MonotonicMs();
    struct stat st;
    if (src.nIndex >= 0 &&
        (nNow - src.nCheckedMs < kSerialRecheckMs ||
         (stat(kSerialSources[src.nIndex], &st) == 0 && SameFile(st, src.st)))) {
        if (nNow - src.nCheckedMs >= kSerialRecheckMs)
            src.nCheckedMs = nNow;
        Str::strcpy_x(szBuf, nSize, src.strText.c_str());
        return 0;
    }
    if (src.nIndex < 0 && src.bFailed && nNow - src.nFailedMs < kSerialRescanMs) {
        szBuf[0] = '\0';
        return -1;
    }
    src.nIndex = -1;
    for (int i = 0; i < kSerialSourceCount; ++i) {
        std::ifstream file(kSerialSources[i]);
        if (!file || stat(kSerialSources[i], &st) != 0)
            continue;
        std::string strText;
        std::getline(file, strText);
        strText = UsableSerial(strText);
        if (!strText.empty() && i == kMachineIdSource)
            strText = MachineAppId();
        if (strText.empty())
            continue;
        Str::strcpy_x(szBuf, nSize, strText.c_str());
        src.nIndex = i;
        src.st = st;
        src.strText = strText;
        src.nCheckedMs = nNow;
        src.bFailed = false;
        return 0;
    }
    src.bFailed = true;
    src.nFailedMs = nNow;
    szBuf[0] = '\0';
    return -1;
}

}  // namespace os
}  // namespace nox
