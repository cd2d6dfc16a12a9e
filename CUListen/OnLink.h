// The on-link check: is a source address inside the subnet of one of the
// host's adapters, or loopback?
#pragma once

#include <cstdint>
#include <vector>

struct AdapterEntry;

namespace velmora {

struct Subnet {
    uint32_t nNet;    // address & mask, host byte order
    uint32_t nMask;
};

// The subnets of the adapter rows (isOK rows with an address and a mask that
// are not 0.0.0.0), then loopback 127.0.0.0/8.
std::vector<Subnet> OnLinkSubnets(const std::vector<AdapterEntry>& vecAdapter);

// True when the dotted source address lies in one of the subnets; text that
// is not a dotted quad is not on-link.
bool IsOnLink(const std::vector<Subnet>& vecNet, const char* szAddr);

}  // namespace velmora
