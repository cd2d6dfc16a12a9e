#include "win32/AdapterList.h"

namespace nox {
namespace os {

namespace {
constexpr int kMaxTries = 4;               // the list may grow between two calls
constexpr ULONG kFirstSize = 16 * 1024;
}  // namespace

int AdapterList::Load(ULONG nFlags)
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
    for (const IP_ADAPTER_UNICAST_ADDRESS* p = adapter.FirstUnicastAddress; p != nullptr;
         p = p->Next) {
        const SOCKADDR* pSa = p->Address.lpSockaddr;
        if (pSa == nullptr || pSa->sa_family != AF_INET)
            continue;
        *pAddr = ntohl(reinterpret_cast<const sockaddr_in*>(pSa)->sin_addr.s_addr);
        *pPrefixLen = p->OnLinkPrefixLength;
        return true;
    }
    return false;
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
