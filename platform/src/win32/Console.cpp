// The console on Windows: its window's system menu loses the Close item, so
// the service is stopped through its control file instead; the width of the
// console window for command-line tools; error numbers as names and texts.
#include "nox/Console.h"

#include <winsock2.h>
#include <windows.h>

#include <cerrno>

#include "common/JournalOs.h"
#include "nox/Process.h"
#include "win32/SystemError.h"

namespace nox {

namespace {

struct ErrorName {
    int nErr;
    const char* szName;
    const char* szText;   // null: the system's text
};

// The network engine's own codes are the C library's errno values; these are
// all it uses. The C library here has no names for them and no texts for the
// network ones.
const ErrorName kEngineErrors[] = {
    {EIO, "EIO", "Input/output error"},
    {EBADF, "EBADF", "Bad file descriptor"},
    {EAGAIN, "EAGAIN", "Resource temporarily unavailable"},
    {ENOMEM, "ENOMEM", "Cannot allocate memory"},
    {EINVAL, "EINVAL", "Invalid argument"},
    {EMFILE, "EMFILE", "Too many open files"},
    {EDEADLK, "EDEADLK", "Resource deadlock avoided"},
    {EALREADY, "EALREADY", "Operation already in progress"},
    {ENETDOWN, "ENETDOWN", "Network is down"},
};

#define NOX_WSA(name) {name, #name, nullptr}
// The WinSock codes a datagram socket can meet; FormatMessage has their texts.
const ErrorName kWinsockErrors[] = {
    NOX_WSA(WSAEINTR),        NOX_WSA(WSAEBADF),        NOX_WSA(WSAEACCES),
    NOX_WSA(WSAEFAULT),       NOX_WSA(WSAEINVAL),       NOX_WSA(WSAEMFILE),
    NOX_WSA(WSAEWOULDBLOCK),  NOX_WSA(WSAEINPROGRESS),  NOX_WSA(WSAEALREADY),
    NOX_WSA(WSAENOTSOCK),     NOX_WSA(WSAEDESTADDRREQ), NOX_WSA(WSAEMSGSIZE),
    NOX_WSA(WSAEPROTOTYPE),   NOX_WSA(WSAENOPROTOOPT),  NOX_WSA(WSAEPROTONOSUPPORT),
    NOX_WSA(WSAEOPNOTSUPP),   NOX_WSA(WSAEAFNOSUPPORT), NOX_WSA(WSAEADDRINUSE),
    NOX_WSA(WSAEADDRNOTAVAIL), NOX_WSA(WSAENETDOWN),    NOX_WSA(WSAENETUNREACH),
    NOX_WSA(WSAENETRESET),    NOX_WSA(WSAECONNABORTED), NOX_WSA(WSAECONNRESET),
    NOX_WSA(WSAENOBUFS),      NOX_WSA(WSAEISCONN),      NOX_WSA(WSAENOTCONN),
    NOX_WSA(WSAESHUTDOWN),    NOX_WSA(WSAETIMEDOUT),    NOX_WSA(WSAECONNREFUSED),
    NOX_WSA(WSAEHOSTUNREACH), NOX_WSA(WSAEPROCLIM),     NOX_WSA(WSASYSNOTREADY),
    NOX_WSA(WSANOTINITIALISED),
};
#undef NOX_WSA

template <size_t N>
const ErrorName* Find(const ErrorName (&aTable)[N], int nErr)
{
    for (const ErrorName& entry : aTable) {
        if (entry.nErr == nErr)
            return &entry;
    }
    return nullptr;
}

}  // namespace

void Process::RemoveConsoleClose()
{
    const HWND hWnd = ::GetConsoleWindow();
    if (hWnd == nullptr)
        return;
    const HMENU hMenu = ::GetSystemMenu(hWnd, FALSE);
    if (hMenu != nullptr)
        (void)::DeleteMenu(hMenu, SC_CLOSE, MF_BYCOMMAND);
    (void)::DrawMenuBar(hWnd);
}

// The visible width of the console window, not of its scroll-back buffer.
// Standard output that is not a console (a pipe or a file, also a terminal
// emulator that talks to the program through pipes) gives 0.
int TerminalColumns()
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!::GetConsoleScreenBufferInfo(::GetStdHandle(STD_OUTPUT_HANDLE), &info))
        return 0;
    const int nColumns = info.srWindow.Right - info.srWindow.Left + 1;
    return nColumns > 0 ? nColumns : 80;
}

bool TerminalIsUtf8()
{
    return ::GetConsoleOutputCP() == CP_UTF8;
}

// The engine's errno values by their names and texts; WinSock and other
// system codes by their names where the table has them ("error N" else) and
// the system's text.
std::string ErrorText(int nErr)
{
    const int nPositive = nErr < 0 ? -nErr : nErr;
    const ErrorName* pEntry = Find(kEngineErrors, nPositive);
    if (pEntry == nullptr)
        pEntry = Find(kWinsockErrors, nPositive);
    const std::string strName =
        pEntry != nullptr ? pEntry->szName : "error " + std::to_string(nPositive);
    const std::string strText = pEntry != nullptr && pEntry->szText != nullptr
                                    ? pEntry->szText
                                    : os::SystemErrorText(static_cast<unsigned long>(nPositive));
    return strName + " (" + strText + ")";
}

// A handle with append access only: every write goes to the end of the file
// as one piece, whoever else appends. The handle's position is then just past
// that piece.
int AppendToFile(const char* szPath, const std::string& strData, long long& nEnd,
                 std::string& strErr)
{
    const HANDLE hFile = ::CreateFileA(szPath, FILE_APPEND_DATA | SYNCHRONIZE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) {
        strErr = std::string("cannot open ") + szPath + ": " +
                 os::SystemErrorText(::GetLastError());
        return -1;
    }
    DWORD nWritten = 0;
    LARGE_INTEGER zero{};
    LARGE_INTEGER pos{};
    const bool bOk = ::WriteFile(hFile, strData.data(), static_cast<DWORD>(strData.size()),
                                 &nWritten, nullptr) &&
                     nWritten == strData.size() &&
                     ::SetFilePointerEx(hFile, zero, &pos, FILE_CURRENT);
    const DWORD nErr = ::GetLastError();
    ::CloseHandle(hFile);
    if (!bOk) {
        strErr = std::string("cannot write ") + szPath + ": " + os::SystemErrorText(nErr);
        return -1;
    }
    nEnd = static_cast<long long>(pos.QuadPart);
    return 0;
}

bool StderrIsJournal()
{
    return os::StderrIsJournal();
}

}  // namespace nox
