// Windows: the names of error codes in log lines.
#ifdef _WIN32
#include "nox/Console.h"

#include <gtest/gtest.h>
#include <winsock2.h>

#include <cerrno>
#include <string>

namespace {

// The engine's own codes are errno values, the rest WinSock or system codes;
// each keeps the system's text after its name.
TEST(ConsoleTest, ErrorTextNamesEngineAndWinsockCodes)
{
    const struct {
        int nErr;
        std::string strStart;
    } aCase[] = {{-EINVAL, "EINVAL (Invalid"},
                 {-WSAEADDRINUSE, "WSAEADDRINUSE ("},
                 {WSAEACCES, "WSAEACCES ("},
                 {-ERROR_OPERATION_ABORTED, "error 995 ("}};
    for (const auto& c : aCase) {
        const std::string strText = nox::ErrorText(c.nErr);
        EXPECT_EQ(c.strStart, strText.substr(0, c.strStart.size())) << strText;
        EXPECT_GT(strText.size(), c.strStart.size() + 2) << strText;   // some text
    }
}

}  // namespace
#endif
