// Windows: the IP helper's change notifications for IPv4 interfaces, unicast
// addresses and routes, each setting one event; a second event ends a wait
// early. The notifications run on threads of the system's pool.
#include "nox/NetWatch.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <windows.h>

#include <initializer_list>

namespace nox {

namespace {

VOID WINAPI OnInterface(PVOID pContext, PMIB_IPINTERFACE_ROW, MIB_NOTIFICATION_TYPE)
{
    ::SetEvent(static_cast<HANDLE>(pContext));
}

VOID WINAPI OnAddress(PVOID pContext, PMIB_UNICASTIPADDRESS_ROW, MIB_NOTIFICATION_TYPE)
{
    ::SetEvent(static_cast<HANDLE>(pContext));
}

VOID WINAPI OnRoute(PVOID pContext, PMIB_IPFORWARD_ROW2, MIB_NOTIFICATION_TYPE)
{
    ::SetEvent(static_cast<HANDLE>(pContext));
}

// The IP helper's calls, looked up once: a system without them (older Wine)
// gets no reports, only the caller's fallback.
struct NotifyCalls {
    typedef DWORD(WINAPI* InterfaceFn)(ADDRESS_FAMILY, PIPINTERFACE_CHANGE_CALLBACK, PVOID, BOOLEAN, HANDLE*);
    typedef DWORD(WINAPI* AddressFn)(ADDRESS_FAMILY, PUNICAST_IPADDRESS_CHANGE_CALLBACK, PVOID, BOOLEAN, HANDLE*);
    typedef DWORD(WINAPI* RouteFn)(ADDRESS_FAMILY, PIPFORWARD_CHANGE_CALLBACK, PVOID, BOOLEAN, HANDLE*);
    typedef DWORD(WINAPI* CancelFn)(HANDLE);

    NotifyCalls()
    {
        const HMODULE hLib = ::GetModuleHandleW(L"iphlpapi.dll");
        pfnInterface = Find<InterfaceFn>(hLib, "NotifyIpInterfaceChange");
        pfnAddress = Find<AddressFn>(hLib, "NotifyUnicastIpAddressChange");
        pfnRoute = Find<RouteFn>(hLib, "NotifyRouteChange2");
        pfnCancel = Find<CancelFn>(hLib, "CancelMibChangeNotify2");
    }
    template <class Fn> static Fn Find(HMODULE hLib, const char* szName)
    {
        return hLib == nullptr ? nullptr
                               : reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(hLib, szName)));
    }

    InterfaceFn pfnInterface;
    AddressFn pfnAddress;
    RouteFn pfnRoute;
    CancelFn pfnCancel;
};

const NotifyCalls& Calls()
{
    static const NotifyCalls s_calls;
    return s_calls;
}

}  // namespace

// The events outlive the registrations: Close cancels them (which waits for
// a callback in progress) before the destructor closes the events.
struct NetWatch::Impl {
    HANDLE hReport = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE hWake = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE ahNotify[3] = {nullptr, nullptr, nullptr};

    ~Impl()
    {
        for (HANDLE h : {hReport, hWake}) {
            if (h != nullptr)
                ::CloseHandle(h);
        }
    }
};

NetWatch::NetWatch() : m_pImpl(new Impl) {}

NetWatch::~NetWatch()
{
    Close();
}

// 0 when at least one of the three registrations held.
int NetWatch::Open()
{
    Close();
    Impl& impl = *m_pImpl;
    if (impl.hReport == nullptr)
        return -static_cast<int>(ERROR_INVALID_HANDLE);
    const NotifyCalls& calls = Calls();
    if (calls.pfnCancel == nullptr)
        return -static_cast<int>(ERROR_NOT_SUPPORTED);
    const DWORD nMissing = ERROR_NOT_SUPPORTED;
    const DWORD anRet[3] = {
        calls.pfnInterface ? calls.pfnInterface(AF_INET, &OnInterface, impl.hReport, FALSE, &impl.ahNotify[0])
                           : nMissing,
        calls.pfnAddress ? calls.pfnAddress(AF_INET, &OnAddress, impl.hReport, FALSE, &impl.ahNotify[1])
                         : nMissing,
        calls.pfnRoute ? calls.pfnRoute(AF_INET, &OnRoute, impl.hReport, FALSE, &impl.ahNotify[2])
                       : nMissing,
    };
    DWORD nLastErr = ERROR_NOT_SUPPORTED;
    int nHeld = 0;
    for (int i = 0; i < 3; ++i) {
        if (anRet[i] == NO_ERROR) {
            ++nHeld;
        } else {
            impl.ahNotify[i] = nullptr;
            nLastErr = anRet[i];
        }
    }
    return nHeld > 0 ? 0 : -static_cast<int>(nLastErr);
}

int NetWatch::Wait(uint32_t nTimeoutMs)
{
    Impl& impl = *m_pImpl;
    if (impl.hWake == nullptr || impl.hReport == nullptr) {
        ::Sleep(nTimeoutMs);
        return 0;
    }
    const HANDLE ahWait[2] = {impl.hWake, impl.hReport};
    const DWORD nTimeout = nTimeoutMs >= INFINITE ? INFINITE - 1 : nTimeoutMs;
    return ::WaitForMultipleObjects(2, ahWait, FALSE, nTimeout) == WAIT_OBJECT_0 + 1 ? 1 : 0;
}

void NetWatch::Wake()
{
    if (m_pImpl->hWake != nullptr)
        ::SetEvent(m_pImpl->hWake);
}

void NetWatch::Close()
{
    for (HANDLE& h : m_pImpl->ahNotify) {
        if (h != nullptr)
            (void)Calls().pfnCancel(h);
        h = nullptr;
    }
}

}  // namespace nox
