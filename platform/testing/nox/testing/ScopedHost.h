// Replaces the host queries behind nox::Status for one scope.
#pragma once

#include <string>
#include <vector>

#include "nox/Status.h"

namespace nox {
namespace testing {

// Status::instance() reports m_vecAdapter (or fails with m_nAdapterResult)
// and m_strSerial while this object lives; the previous queries come back in
// the destructor. Set the members before the code under test runs.
class ScopedHost : public nox::detail::HostQueries {
public:
    ScopedHost() : m_pPrev(nox::detail::SwapHostQueries(this)) {}
    ~ScopedHost() override { nox::detail::SwapHostQueries(m_pPrev); }
    ScopedHost(const ScopedHost&) = delete;
    ScopedHost& operator=(const ScopedHost&) = delete;

    int Adapters(std::vector<nox::AdapterInfo>& vecOut) override
    {
        vecOut = m_vecAdapter;
        return m_nAdapterResult;
    }
    int SerialNum(char* szBuf, int nSize) override;   // copies m_strSerial, bounded

    // One adapter row with every text field filled (bounded, NUL-terminated).
    static nox::AdapterInfo MakeAdapter(const char* szName, const char* szMac, const char* szAddr,
                                        const char* szMask, const char* szGateway);

    std::vector<nox::AdapterInfo> m_vecAdapter;
    int m_nAdapterResult = 0;
    std::string m_strSerial = "SN-TEST";

private:
    nox::detail::HostQueries* m_pPrev;
};

}  // namespace testing
}  // namespace nox
