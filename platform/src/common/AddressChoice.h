// Which of an adapter's IPv4 addresses its row carries: the first one that
// clients can reach, skipping those the system does not use yet or at all
// (Linux: tentative or failed duplicate detection; Windows: a duplicate
// detection state other than preferred, or marked not to be a source).
#pragma once

#include <cstdint>
#include <vector>

namespace nox {
namespace os {

enum AddrState : unsigned {
    kAddrUsable = 0,
    kAddrTentative = 1,     // duplicate detection still running
    kAddrDadFailed = 2,     // another host has it
    kAddrNotSource = 4,     // Windows SkipAsSource
};

struct Ipv4Candidate {
    uint32_t nAddr;         // host byte order
    unsigned nPrefixLen;
    unsigned nState;        // AddrState bits
};

// The mask of a prefix length, host byte order (33 and more: /32).
inline uint32_t MaskOfPrefix(unsigned nPrefixLen)
{
    return nPrefixLen == 0 ? 0u : ~0u << (32 - (nPrefixLen < 32 ? nPrefixLen : 32));
}

// The first usable candidate, in the system's order; null when none is.
const Ipv4Candidate* ChooseIpv4(const std::vector<Ipv4Candidate>& vecCandidate);

}  // namespace os
}  // namespace nox
