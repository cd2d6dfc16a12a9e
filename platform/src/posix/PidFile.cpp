// Pid files on Linux: an open file description lock (F_OFD_SETLK) on the whole
// file, which like flock belongs to the open file and ends with it, but can
// also be tested without being taken (F_OFD_GETLK): a probe never holds a
// lock, so it can never make a starting owner fail. A process that opened the
// file just before its owner removed it could lock the removed file, so a new
// lock counts only while the path still names the locked file.
#include "nox/PidFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace nox {

namespace {

int ReadOwner(int fd)
{
    char szBuf[32] = {};
    const ssize_t n = pread(fd, szBuf, sizeof(szBuf) - 1, 0);
    return n > 0 ? std::atoi(szBuf) : 0;
}

bool StillNamed(int fd, const char* szPath)
{
    struct stat stOpen;
    struct stat stPath;
    return fstat(fd, &stOpen) == 0 && stat(szPath, &stPath) == 0 &&
           stOpen.st_dev == stPath.st_dev && stOpen.st_ino == stPath.st_ino;
}

// The whole file, from byte 0 to any length.
struct flock WholeFile(short nType)
{
    struct flock lock {};
    lock.l_type = nType;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    return lock;
}

std::string Why(const char* szWhat, const char* szPath)
{
    return std::string(szWhat) + " " + szPath + ": " + std::strerror(errno);
}

}  // namespace

PidFile::~PidFile()
{
    Release();
}

int PidFile::Acquire(const char* szPath, int& nOwner, std::string& strErr)
{
    Release();
    nOwner = 0;
    for (int nTry = 0; nTry < 3; ++nTry) {
        const int fd = open(szPath, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            strErr = Why("cannot open", szPath);
            return kErrOpen;
        }
        struct flock lock = WholeFile(F_WRLCK);
        if (fcntl(fd, F_OFD_SETLK, &lock) != 0) {
            const bool bHeld = errno == EAGAIN || errno == EACCES;
            strErr = Why("cannot lock", szPath);
            if (bHeld)
                nOwner = ReadOwner(fd);
            close(fd);
            return bHeld ? kErrHeld : kErrOpen;
        }
        if (!StillNamed(fd, szPath)) {   // removed by its previous owner meanwhile
            close(fd);
            continue;
        }
        // Readable by every user whatever the umask, for velmoractl's probe.
        const int nMode = fchmod(fd, 0644);
        (void)nMode;
        const std::string strPid = std::to_string(getpid()) + "\n";
        if (ftruncate(fd, 0) != 0 || pwrite(fd, strPid.data(), strPid.size(), 0) < 0) {
            strErr = Why("cannot write", szPath);
            close(fd);
            return kErrOpen;
        }
        m_hFile = fd;
        m_strPath = szPath;
        return 0;
    }
    strErr = std::string("cannot lock ") + szPath + ": it keeps being replaced";
    return kErrOpen;
}

void PidFile::Release()
{
    if (m_hFile < 0)
        return;
    (void)unlink(m_strPath.c_str());
    close(static_cast<int>(m_hFile));
    m_hFile = -1;
}

int PidFile::Probe(const char* szPath, int& nOwner, std::string& strErr)
{
    nOwner = 0;
    const int fd = open(szPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return 0;
        strErr = Why("cannot open", szPath);
        return -1;
    }
    int nRet = 0;
    struct flock lock = WholeFile(F_RDLCK);
    if (fcntl(fd, F_OFD_GETLK, &lock) != 0) {
        strErr = Why("cannot test the lock of", szPath);
        nRet = -1;
    } else if (lock.l_type != F_UNLCK) {
        nOwner = ReadOwner(fd);
        nRet = 1;
    }
    close(fd);
    return nRet;
}

}  // namespace nox
