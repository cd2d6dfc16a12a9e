// The system's text for a Windows error code (GetLastError, WinSock), for the
// platform layer's own messages.
#pragma once

#include <string>

namespace nox {
namespace os {

// FormatMessage's text without its trailing period and line end, e.g.
// "Access is denied"; "error N" when the system has no text for it.
std::string SystemErrorText(unsigned long nErr);

}  // namespace os
}  // namespace nox
