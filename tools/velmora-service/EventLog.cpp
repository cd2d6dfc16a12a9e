#include "EventLog.h"

#include <vector>

namespace velmora {
namespace svc {

const wchar_t kServiceName[] = L"Velmora";

namespace {

const wchar_t kSourceKey[] =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Velmora";

}  // namespace

CEventLog::CEventLog() : m_hSource(::RegisterEventSourceW(nullptr, kServiceName))
{
}

CEventLog::~CEventLog()
{
    if (m_hSource != nullptr)
        (void)::DeregisterEventSource(m_hSource);
}

void CEventLog::Report(WORD nType, DWORD nId, std::initializer_list<std::wstring> listInsert)
{
    if (m_hSource == nullptr)
        return;
    std::vector<const wchar_t*> vecInsert;
    for (const std::wstring& strInsert : listInsert)
        vecInsert.push_back(strInsert.c_str());
    (void)::ReportEventW(m_hSource, nType, 0, nId, nullptr, static_cast<WORD>(vecInsert.size()),
                         0, vecInsert.empty() ? nullptr : vecInsert.data(), nullptr);
}

unsigned long RegisterEventSource(const std::wstring& strMessageFile)
{
    HKEY hKey = nullptr;
    LSTATUS nErr = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSourceKey, 0, nullptr, 0,
                                     KEY_SET_VALUE, nullptr, &hKey, nullptr);
    if (nErr != ERROR_SUCCESS)
        return static_cast<unsigned long>(nErr);
    const DWORD nTypes = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    nErr = ::RegSetValueExW(hKey, L"EventMessageFile", 0, REG_EXPAND_SZ,
                            reinterpret_cast<const BYTE*>(strMessageFile.c_str()),
                            static_cast<DWORD>((strMessageFile.size() + 1) * sizeof(wchar_t)));
    if (nErr == ERROR_SUCCESS)
        nErr = ::RegSetValueExW(hKey, L"TypesSupported", 0, REG_DWORD,
                                reinterpret_cast<const BYTE*>(&nTypes), sizeof(nTypes));
    ::RegCloseKey(hKey);
    return static_cast<unsigned long>(nErr);
}

unsigned long UnregisterEventSource()
{
    const LSTATUS nErr = ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kSourceKey);
    return nErr == ERROR_FILE_NOT_FOUND ? 0 : static_cast<unsigned long>(nErr);
}

}  // namespace svc
}  // namespace velmora
