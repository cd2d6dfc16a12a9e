#include "nox/testing/ScopedHost.h"

#include <cstring>

#include "nox/Str.h"

namespace nox {
namespace testing {

int ScopedHost::SerialNum(char* szBuf, int nSize)
{
    if (m_nSerialResult != 0) {
        if (nSize > 0)
            szBuf[0] = '\0';
        return m_nSerialResult;
    }
    nox::Str::strcpy_x(szBuf, nSize, m_strSerial.c_str());
    return 0;
}

nox::AdapterInfo ScopedHost::MakeAdapter(const char* szName, const char* szMac,
                                         const char* szAddr, const char* szMask,
                                         const char* szGateway)
{
    nox::AdapterInfo info;
    memset(&info, 0, sizeof(info));
    nox::Str::strcpy_x(info.adapterName, sizeof(info.adapterName), szName);
    nox::Str::strcpy_x(info.macAddr, sizeof(info.macAddr), szMac);
    nox::Str::strcpy_x(info.hostAddr, sizeof(info.hostAddr), szAddr);
    nox::Str::strcpy_x(info.subNetMask, sizeof(info.subNetMask), szMask);
    nox::Str::strcpy_x(info.gateWayAddr, sizeof(info.gateWayAddr), szGateway);
    return info;
}

}  // namespace testing
}  // namespace nox
