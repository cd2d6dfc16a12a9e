// The adapter list of GetAdaptersAddresses (IPv4 only), shared by the adapter
// table and the engine's group joins.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include <cstdint>
#include <string>
#include <vector>

namespace nox {
namespace os {

class AdapterList {
public:
    // Reads the list with the given GAA_FLAG_* flags (IPv4 only); a failure
    // is asked again a few times, 50 ms apart. 0, or the negative Win32
    // error of the last query.
    int Load(ULONG nFlags);
    const IP_ADAPTER_ADDRESSES* First() const;   // null when empty or not loaded

private:
    int LoadOnce(ULONG nFlags);
    std::vector<ULONGLONG> m_vecBuf;   // ULONGLONG keeps the records aligned
};

// The adapter's first IPv4 unicast address that clients can use (host byte
// order) and its prefix length: one whose duplicate detection has finished
// (DadState preferred) and that may be a source (not SkipAsSource); false
// when it has none.
bool FirstIpv4(const IP_ADAPTER_ADDRESSES& adapter, uint32_t* pAddr, unsigned* pPrefixLen);

// The adapter's name as people see it (FriendlyName, UTF-8), else its GUID
// name (AdapterName).
std::string AdapterText(const IP_ADAPTER_ADDRESSES& adapter);

}  // namespace os
}  // namespace nox
