// Terminal width and error names on Linux; Linux has no console window with
// a system menu, so there is no Close item to remove.
#include "nox/Console.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "nox/Process.h"

namespace nox {

void Process::RemoveConsoleClose()
{
}

int TerminalColumns()
{
    if (!isatty(STDOUT_FILENO))
        return 0;
    struct winsize ws {};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
        return ws.ws_col;
    const char* szColumns = std::getenv("COLUMNS");
    const int nColumns = szColumns != nullptr ? std::atoi(szColumns) : 0;
    return nColumns > 0 ? nColumns : 80;
}

std::string ErrorText(int nErr)
{
    const int nPositive = nErr < 0 ? -nErr : nErr;
    const char* szName = strerrorname_np(nPositive);
    std::string strOut = szName != nullptr ? szName : "error " + std::to_string(nPositive);
    return strOut + " (" + std::strerror(nPositive) + ")";
}

}  // namespace nox
