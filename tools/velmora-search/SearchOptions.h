// Command line of velmora-search and the list of destinations it leads to.
#pragma once

#include <string>
#include <vector>

#include "nox/Status.h"

namespace velmora {
namespace search {

struct SearchOptions {
    std::vector<int> vecPort;             // empty: the first group port (37810)
    std::vector<std::string> vecIface;    // empty: every interface
    std::vector<std::string> vecHost;     // non-empty: ask these hosts, not the group
    bool bBroadcast = false;              // also the subnet broadcast addresses
    int nForms = 3;                       // kFormJson | kFormBinary
    unsigned nTimeoutMs = 2000;
    int nRetry = 0;                       // more sends, spread over the timeout
    bool bJson = false;
    bool bWide = false;                   // the table in full on a terminal too
    bool bVerbose = false;
    bool bWatch = false;                  // rounds until interrupted, changes only
    unsigned nIntervalMs = 5000;          // between the starts of two watch rounds
    int nGoneAfter = 3;                   // missed watch rounds before "-"
    bool bHelp = false;
    bool bVersion = false;
};

// 0 on success; -1 on a usage error, with the message in strErr.
int ParseArgs(int argc, const char* const* argv, SearchOptions& out, std::string& strErr);

// The help text, options and exit status included.
std::string UsageText();

// True for a dotted IPv4 address of four numbers 0..255; the value in *pAddr.
bool ParseIpv4(const std::string& strText, unsigned* pAddr);
std::string Ipv4Text(unsigned nAddr);

// The name of the interface in vecIface whose IPv4 subnet holds strSource
// (the first such), or "" when none does.
std::string LocalInterface(const std::string& strSource,
                           const std::vector<nox::AdapterInfo>& vecIface);

// One datagram destination. strIfaceAddr is set for the group: the address
// of the interface the datagram must leave from.
struct Destination {
    std::string strHost;
    int nPort = 0;
    std::string strIfaceAddr;
    std::string strIfaceName;
};

// The destinations for the given interfaces: the group out of each chosen
// interface (unless hosts are named), each chosen interface's broadcast
// address with --broadcast, and every named host; each on every port.
// -1 when --interface names no listed interface (message in strErr).
int PlanDestinations(const SearchOptions& opt, const std::vector<nox::AdapterInfo>& vecIface,
                     std::vector<Destination>& vecOut, std::string& strErr);

}  // namespace search
}  // namespace velmora
