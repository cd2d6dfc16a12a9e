// Linux side of nox/File.h: rename replaces its target whoever has it open,
// and a reader never stands in its way.
#include "nox/File.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace nox {

int RenameOver(const std::string& strFrom, const std::string& strTo, std::string& strErr)
{
    if (std::rename(strFrom.c_str(), strTo.c_str()) == 0)
        return 0;
    strErr = std::strerror(errno);
    return kFileErr;
}

int ReadWholeFile(const std::string& strPath, std::string& strOut, std::string& strErr)
{
    strOut.clear();
    const int nFd = ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (nFd < 0) {
        strErr = std::strerror(errno);
        return kFileErr;
    }
    char aBuf[4096];
    ssize_t n = 0;
    while ((n = ::read(nFd, aBuf, sizeof(aBuf))) > 0 || (n < 0 && errno == EINTR)) {
        if (n > 0)
            strOut.append(aBuf, static_cast<size_t>(n));
    }
    const int nErr = errno;
    ::close(nFd);
    if (n < 0) {
        strErr = std::strerror(nErr);
        errno = nErr;
        return kFileErr;
    }
    return 0;
}

}  // namespace nox
