#include "nox/testing/ScopedHost.h"

#include "nox/Str.h"

namespace nox {
namespace testing {

int ScopedHost::SerialNum(char* szBuf, int nSize)
{
    nox::Str::strcpy_x(szBuf, nSize, m_strSerial.c_str());
    return 0;
}

nox::AdapterInfo ScopedHost::MakeAdapter(const char* szName, const char* szMac, const char* szAddr,
                                         const char* szMask, const char* szGateway)
{
    nox::AdapterInfo info{};
    nox::Str::strcpy_x(info.adapterName, sizeof(info.adapterName), szName);
    nox::Str::strcpy_x(info.macAddr, sizeof(info.macAddr), szMac);
    nox::Str::strcpy_x(info.hostAddr, sizeof(info.hostAddr), szAddr);
    nox::Str::strcpy_x(info.subNetMask, sizeof(info.subNetMask), szMask);
    nox::Str::strcpy_x(info.gateWayAddr, sizeof(info.gateWayAddr), szGateway);
    return info;
}

}  // namespace testing
}  // namespace nox
