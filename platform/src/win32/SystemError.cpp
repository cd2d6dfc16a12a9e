#include "win32/SystemError.h"

#include <windows.h>

namespace nox {
namespace os {

std::string SystemErrorText(unsigned long nErr)
{
    char szBuf[256] = "";
    const DWORD nLen = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, nErr, 0, szBuf, sizeof(szBuf), nullptr);
    std::string strText(szBuf, nLen);
    while (!strText.empty() && (strText.back() == '\n' || strText.back() == '\r' ||
                                strText.back() == ' ' || strText.back() == '.'))
        strText.pop_back();
    return strText.empty() ? "error " + std::to_string(nErr) : strText;
}

}  // namespace os
}  // namespace nox
