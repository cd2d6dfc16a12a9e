#include "nox/Status.h"

#include <atomic>
#include <cstdlib>

#include "nox/Str.h"

#include "common/RuntimeOs.h"

namespace nox {

namespace {
std::atomic<detail::HostQueries*> g_pQueries{nullptr};
}

Status& Status::instance()
{
    static Status s_status;
    return s_status;
}

int Status::getAdapterInfo(std::vector<AdapterInfo>& vecOut)
{
    if (detail::HostQueries* pQueries = g_pQueries.load(std::memory_order_acquire))
        return pQueries->Adapters(vecOut);
    return os::HostAdapters(vecOut);
}

int Status::getSerialNum(char* szBuf, int nSize)
{
    if (szBuf == nullptr || nSize <= 0)
        return -1;
    if (detail::HostQueries* pQueries = g_pQueries.load(std::memory_order_acquire))
        return pQueries->SerialNum(szBuf, nSize);
    const char* szHandedOver = std::getenv(kSerialEnv);
    if (szHandedOver != nullptr && szHandedOver[0] != '\0') {
        Str::strcpy_x(szBuf, nSize, szHandedOver);
        return 0;
    }
    return os::HostSerialNum(szBuf, nSize);
}

namespace detail {
HostQueries* SwapHostQueries(HostQueries* pQueries)
{
    return g_pQueries.exchange(pQueries, std::memory_order_acq_rel);
}
}  // namespace detail

}  // namespace nox
