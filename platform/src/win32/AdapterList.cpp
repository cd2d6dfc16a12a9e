#include "win32/AdapterList.h"

#include <windows.h>

#include <cstring>

#include "common/AddressChoice.h"

namespace nox {
namespace os {

namespace {
constexpr int kMaxTries = 4;               // the list may grow between two calls
constexpr ULONG kFirstSize = 16 * 1024;
constexpr int kTransientTries = 4;         // a failed query, asked again
constexpr DWORD kTransientPauseMs = 50;

// SkipAsSource is not in the adapter list: it is the address entry's own.
// An entry that cannot be read counts as a source. The call is looked up
// when first needed, since not every system that runs this has it.
bool SkipsAsSource(const IP_ADAPTER_ADDRESSES& adapter, const sockaddr_in& addr)
{
    typedef DWORD(WINAPI * GetEntryFn)(MIB_UNICASTIPADDRESS_ROW*);
    static const GetEntryFn pfnGetEntry = reinterpret_cast<GetEntryFn>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"iphlpapi.dll"), "GetUnicastIpAddressEntry")));
    if (pfnGetEntry == nullptr)
        return false;
    MIB_UNICASTIPADDRESS_ROW row;
    std::memset(&row, 0, sizeof(row));
    row.InterfaceLuid = adapter.Luid;
    row.Address.Ipv4 = addr;
    row.Address.si_family = AF_INET;
    return pfnGetEntry(&row) == NO_ERROR && row.SkipAsSource;
}

unsigned StateOf(const IP_ADAPTER_ADDRESSES& adapter, const IP_ADAPTER_UNICAST_ADDRESS& addr)
{
    unsigned nState = kAddrUsable;
    if (addr.DadState == IpDadStateTentative)
        nState |= kAddrTentative;
    else if (addr.DadState != IpDadStatePreferred)
        nState |= kAddrDadFailed;
    if (SkipsAsSource(adapter, *reinterpret_cast<const sockaddr_in*>(addr.Address.lpSockaddr)))
        nState |= kAddrNotSource;
    return nState;
}
}  // namespace

// The query now and then fails for a moment (ERROR_FILE_NOT_FOUND has been
// seen while the system's interface list changed): a failure other than a
// short buffer is asked again a few times before it counts.
int AdapterList::Load(ULONG nFlags)
{
    int nRet = 0;
    for (int nTry = 0; nTry < kTransientTries; ++nTry) {
        if (nTry > 0)
            ::Sleep(kTransientPauseMs);
        nRet = LoadOnce(nFlags);
        if (nRet == 0 || nRet == -static_cast<int>(ERROR_INVALID_PARAMETER) ||
            nRet == -static_cast<int>(ERROR_NOT_ENOUGH_MEMORY))
            break;
    }
    return nRet;
}

int AdapterList::LoadOnce(ULONG nFlags)
{
    ULONG nSize = kFirstSize;
    ULONG nRet = ERROR_BUFFER_OVERFLOW;
    for (int nTry = 0; nTry < kMaxTries && nRet == ERROR_BUFFER_OVERFLOW; ++nTry) {
        m_vecBuf.assign(nSize / sizeof(ULONGLONG) + 1, 0);
        nSize = static_cast<ULONG>(m_vecBuf.size() * sizeof(ULONGLONG));
        nRet = ::GetAdaptersAddresses(
            AF_INET, nFlags, nullptr,
            reinterpret_cast<IP_ADAPTER_ADDRESSES*>(m_vecBuf.data()), &nSize);
    }
    if (nRet == ERROR_NO_DATA) {   // no adapter at all
        m_vecBuf.clear();
        return 0;
    }
    if (nRet != NO_ERROR) {
        m_vecBuf.clear();
        return -static_cast<int>(nRet);
    }
    return 0;
}

const IP_ADAPTER_ADDRESSES* AdapterList::First() const
{
    return m_vecBuf.empty() ? nullptr
                            : reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(m_vecBuf.data());
}

bool FirstIpv4(const IP_ADAPTER_ADDRESSES& adapter, uint32_t* pAddr, unsigned* pPrefixLen)
{
    std::vector<Ipv4Candidate> vecCandidate;
    for (const IP_ADAPTER_UNICAST_ADDRESS* p = adapter.FirstUnicastAddress; p != nullptr;
         p = p->Next) {
        const SOCKADDR* pSa = p->Address.lpSockaddr;
        if (pSa == nullptr || pSa->sa_family != AF_INET)
            continue;
        vecCandidate.push_back({ntohl(reinterpret_cast<const sockaddr_in*>(pSa)->sin_addr.s_addr),
                                p->OnLinkPrefixLength, StateOf(adapter, *p)});
    }
    const Ipv4Candidate* pChosen = ChooseIpv4(vecCandidate);
    if (pChosen == nullptr)
        return false;
    *pAddr = pChosen->nAddr;
    *pPrefixLen = pChosen->nPrefixLen;
    return true;
}

std::string AdapterText(const IP_ADAPTER_ADDRESSES& adapter)
{
    std::string strName;
    if (adapter.FriendlyName != nullptr && adapter.FriendlyName[0] != L'\0') {
        const int nLen = ::WideCharToMultiByte(CP_UTF8, 0, adapter.FriendlyName, -1, nullptr, 0,
                                               nullptr, nullptr);
        if (nLen > 1) {
            strName.resize(static_cast<size_t>(nLen));
            ::WideCharToMultiByte(CP_UTF8, 0, adapter.FriendlyName, -1, &strName[0], nLen,
                                  nullptr, nullptr);
            strName.resize(static_cast<size_t>(nLen - 1));   // without the NUL
        }
    }
    if (strName.empty() && adapter.AdapterName != nullptr)
        strName = adapter.AdapterName;
    return strName;
}

}  // namespace os
}  // namespace nox
