// The service's events in the Application log, source "Velmora", with the
// texts of the message table compiled into this program (Messages.mc).
// Used from the service's thread only.
#pragma once

#include <initializer_list>
#include <string>

#include <windows.h>

namespace velmora {
namespace svc {

extern const wchar_t kServiceName[];   // "Velmora": service, event source, account

class CEventLog {
public:
    CEventLog();
    ~CEventLog();
    CEventLog(const CEventLog&) = delete;
    CEventLog& operator=(const CEventLog&) = delete;

    // nType: EVENTLOG_INFORMATION_TYPE, _WARNING_TYPE or _ERROR_TYPE; the
    // strings fill %1, %2 ... of message nId. Nothing happens when the
    // source could not be opened.
    void Report(WORD nType, DWORD nId, std::initializer_list<std::wstring> listInsert);

private:
    HANDLE m_hSource;
};

// The event source's registration under
// HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Velmora, with
// strMessageFile (this program) as the file of its texts. 0 or a Windows
// error code.
unsigned long RegisterEventSource(const std::wstring& strMessageFile);
unsigned long UnregisterEventSource();

}  // namespace svc
}  // namespace velmora
