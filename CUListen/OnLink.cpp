#include "CUListen/OnLink.h"

#include "CUListen/CUHandle.h"

namespace velmora {

namespace {
// Strict dotted quad within nMax characters; no allocation (runs per datagram).
bool ParseDotted(const char* szText, size_t nMax, uint32_t& nOut)
{
    uint32_t nValue = 0;
    uint32_t nPart = 0;
    int nDigits = 0;
    int nDots = 0;
    for (size_t i = 0;; ++i) {
        const char ch = i < nMax ? szText[i] : '\0';
        if (ch >= '0' && ch <= '9' && nDigits < 3) {
            nPart = nPart * 10 + static_cast<uint32_t>(ch - '0');
            ++nDigits;
        } else if ((ch == '.' || ch == '\0') && nDigits > 0 && nPart <= 255) {
            nValue = nValue << 8 | nPart;
            if (ch == '\0')
                break;
            if (++nDots > 3)
                return false;
            nPart = 0;
            nDigits = 0;
        } else {
            return false;
        }
    }
    nOut = nValue;
    return nDots == 3;
}
}  // namespace

std::vector<Subnet> OnLinkSubnets(const std::vector<AdapterEntry>& vecAdapter)
{
    std::vector<Subnet> vecNet;
    for (const AdapterEntry& row : vecAdapter) {
        uint32_t nAddr = 0;
        uint32_t nMask = 0;
        // A zero mask would make every address on-link.
        if (row.isOK != 0 && ParseDotted(row.hostAddr, sizeof(row.hostAddr), nAddr) &&
            ParseDotted(row.subNetMask, sizeof(row.subNetMask), nMask) && nAddr != 0 && nMask != 0)
            vecNet.push_back({nAddr & nMask, nMask});
    }
    vecNet.push_back({0x7F000000u, 0xFF000000u});
    return vecNet;
}

bool IsOnLink(const std::vector<Subnet>& vecNet, const char* szAddr)
{
    uint32_t nAddr = 0;
    if (szAddr == nullptr || !ParseDotted(szAddr, 16, nAddr))
        return false;
    for (const Subnet& net : vecNet) {
        if ((nAddr & net.nMask) == net.nNet)
            return true;
    }
    return false;
}

}  // namespace velmora
