// Terminal width and error names on Linux; Linux has no console window with
// a system menu, so there is no Close item to remove.
#include "nox/Console.h"

#include <fcntl.h>
#include <langinfo.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>

#include "common/JournalOs.h"
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

bool TerminalIsUtf8()
{
    const char* szSaved = std::setlocale(LC_CTYPE, nullptr);
    const std::string strSaved = szSaved != nullptr ? szSaved : "C";
    if (std::setlocale(LC_CTYPE, "") == nullptr)
        return false;
    const std::string strCodeset = nl_langinfo(CODESET);
    std::setlocale(LC_CTYPE, strSaved.c_str());
    return strCodeset == "UTF-8";
}

std::string ErrorText(int nErr)
{
    const int nPositive = nErr < 0 ? -nErr : nErr;
    const char* szName = strerrorname_np(nPositive);
    std::string strOut = szName != nullptr ? szName : "error " + std::to_string(nPositive);
    return strOut + " (" + std::strerror(nPositive) + ")";
}

int AppendToFile(const char* szPath, const std::string& strData, long long& nEnd,
                 std::string& strErr)
{
    // O_APPEND moves to the end and writes in one step; the descriptor's own
    // offset is then just past this write, whatever others append after it.
    const int fd = open(szPath, O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) {
        strErr = std::string("cannot open ") + szPath + ": " + std::strerror(errno);
        return -1;
    }
    const ssize_t nWritten = write(fd, strData.data(), strData.size());
    const int nErr = errno;
    const off_t nPos = lseek(fd, 0, SEEK_CUR);
    close(fd);
    if (nWritten != static_cast<ssize_t>(strData.size()) || nPos < 0) {
        strErr = std::string("cannot write ") + szPath + ": " +
                 std::strerror(nWritten < 0 ? nErr : EIO);
        return -1;
    }
    nEnd = static_cast<long long>(nPos);
    return 0;
}

bool StderrIsJournal()
{
    return os::StderrIsJournal();
}

}  // namespace nox
