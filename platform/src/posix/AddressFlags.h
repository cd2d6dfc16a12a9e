// Linux: the state of each IPv4 address (common/AddressChoice.h), keyed by
// interface index and address (host byte order).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>

#include "common/AddressChoice.h"

namespace nox {
namespace os {

typedef std::map<std::pair<unsigned, uint32_t>, unsigned> AddrFlagMap;

// One RTM_GETADDR dump; empty when rtnetlink cannot be asked (every address
// then counts as usable).
AddrFlagMap Ipv4AddrStates();
// The RTM_NEWADDR messages of nLen bytes of a dump into mapOut.
void ParseAddrDump(const char* pBuf, size_t nLen, AddrFlagMap& mapOut);
unsigned StateOfIfaFlags(uint32_t nFlags);
// The state of an address in the map; usable when the dump did not have it.
unsigned StateOf(const AddrFlagMap& mapState, unsigned nIndex, uint32_t nAddr);

}  // namespace os
}  // namespace nox
