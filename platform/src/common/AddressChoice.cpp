#include "common/AddressChoice.h"

namespace nox {
namespace os {

const Ipv4Candidate* ChooseIpv4(const std::vector<Ipv4Candidate>& vecCandidate)
{
    for (const Ipv4Candidate& candidate : vecCandidate) {
        if (candidate.nState == kAddrUsable)
            return &candidate;
    }
    return nullptr;
}

}  // namespace os
}  // namespace nox
