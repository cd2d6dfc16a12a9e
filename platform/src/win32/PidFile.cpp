// Pid files on Windows: LockFileEx on bytes far past the pid text (locks are
// mandatory on Windows, so the text itself stays readable). An owner locks
// two bytes: the owner byte, which only starts contend for, then the probe
// byte, which probes test with a shared lock of a moment. Windows cannot test
// a lock without taking it, so a probe never touches the owner byte and can
// never make a start fail; a start that meets a probe on the probe byte tries
// again. The locks belong to the open handle: closing it, or the end of the
// process in any way, ends them. The system may free a dead process's locks a moment late, so
// a lock whose named owner has exited counts as free (OpenProcess tells).
// The handle has no delete access, so plain readers, which do not share
// deletion, can open the file. Release deletes the file while it still holds
// the lock and then closes the handle: a process that opens the file in
// between sees access denied, and one that opened it just before ends up
// locking a deleted file; Acquire tries again in both cases.
#include "nox/PidFile.h"

#include <windows.h>

#include <cstdlib>
#include <string>

#include "win32/SystemError.h"

namespace nox {

namespace {

const DWORD kOwnerByte = 0;        // low offsets of the two bytes at 4 GiB
const DWORD kProbeByte = 1;
const DWORD kLockOffsetHigh = 1;   // byte 4 GiB: past anything the file holds
const int kTries = 20;             // 10 ms apart: a release or an exit settling
const DWORD kTryGapMs = 10;
const int kProbeByteTries = 500;   // 1 ms apart: probes hold the byte for a moment each

HANDLE Open(const char* szPath, DWORD nAccess, DWORD nCreate)
{
    return ::CreateFileA(szPath, nAccess, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, nCreate, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool Lock(HANDLE hFile, DWORD nByte, DWORD nFlags)
{
    OVERLAPPED ov{};
    ov.Offset = nByte;
    ov.OffsetHigh = kLockOffsetHigh;
    return ::LockFileEx(hFile, nFlags | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &ov) != FALSE;
}

void Unlock(HANDLE hFile, DWORD nByte)
{
    OVERLAPPED ov{};
    ov.Offset = nByte;
    ov.OffsetHigh = kLockOffsetHigh;
    (void)::UnlockFileEx(hFile, 0, 1, 0, &ov);
}

// The probe byte, which a probe may hold for a moment: tried for up to half
// a second (probes that never pause could outlast that only together).
bool LockProbeByte(HANDLE hFile)
{
    for (int nTry = 1;; ++nTry) {
        if (Lock(hFile, kProbeByte, LOCKFILE_EXCLUSIVE_LOCK))
            return true;
        if (::GetLastError() != ERROR_LOCK_VIOLATION || nTry == kProbeByteTries)
            return false;
        ::Sleep(1);
    }
}

int ReadOwner(HANDLE hFile)
{
    char szBuf[32] = {};
    OVERLAPPED ov{};   // from offset 0, whatever the handle's position
    DWORD nRead = 0;
    if (!::ReadFile(hFile, szBuf, sizeof(szBuf) - 1, &nRead, &ov))
        return 0;
    szBuf[nRead] = '\0';
    return std::atoi(szBuf);
}

// Whether process nPid has exited (false when it runs or cannot be told).
bool Exited(int nPid)
{
    const HANDLE hProcess = ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(nPid));
    if (hProcess == nullptr)
        return ::GetLastError() == ERROR_INVALID_PARAMETER;   // no such process
    const bool bExited = ::WaitForSingleObject(hProcess, 0) == WAIT_OBJECT_0;
    ::CloseHandle(hProcess);
    return bExited;
}

bool DeletePending(HANDLE hFile)
{
    FILE_STANDARD_INFO info{};
    return ::GetFileInformationByHandleEx(hFile, FileStandardInfo, &info, sizeof(info)) &&
           info.DeletePending;
}

std::string Why(const char* szWhat, const char* szPath, DWORD nErr)
{
    return std::string(szWhat) + " " + szPath + ": " + os::SystemErrorText(nErr);
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
    for (int nTry = 1;; ++nTry) {
        const bool bLast = nTry == kTries;
        if (nTry > 1)
            ::Sleep(kTryGapMs);
        const HANDLE hFile = Open(szPath, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
        if (hFile == INVALID_HANDLE_VALUE) {
            const DWORD nErr = ::GetLastError();
            if (nErr == ERROR_ACCESS_DENIED && !bLast)
                continue;   // marked for deletion by its previous owner
            strErr = Why("cannot open", szPath, nErr);
            return kErrOpen;
        }
        if (!Lock(hFile, kOwnerByte, LOCKFILE_EXCLUSIVE_LOCK)) {
            const DWORD nErr = ::GetLastError();
            nOwner = ReadOwner(hFile);
            ::CloseHandle(hFile);
            if (nErr == ERROR_LOCK_VIOLATION && nOwner != 0 && Exited(nOwner) && !bLast)
                continue;
            strErr = Why("cannot lock", szPath, nErr);
            return nErr == ERROR_LOCK_VIOLATION ? kErrHeld : kErrOpen;
        }
        if (DeletePending(hFile) && !bLast) {   // released meanwhile
            ::CloseHandle(hFile);
            continue;
        }
        if (!LockProbeByte(hFile)) {
            strErr = Why("cannot lock", szPath, ::GetLastError());
            ::CloseHandle(hFile);
            return kErrOpen;
        }
        const std::string strPid = std::to_string(::GetCurrentProcessId()) + "\n";
        DWORD nWritten = 0;
        if (::SetFilePointer(hFile, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
            !::SetEndOfFile(hFile) ||
            !::WriteFile(hFile, strPid.data(), static_cast<DWORD>(strPid.size()), &nWritten,
                         nullptr)) {
            strErr = Why("cannot write", szPath, ::GetLastError());
            ::CloseHandle(hFile);
            return kErrOpen;
        }
        m_hFile = reinterpret_cast<intptr_t>(hFile);
        m_strPath = szPath;
        return 0;
    }
}

void PidFile::Release()
{
    if (m_hFile == -1)
        return;
    (void)::DeleteFileA(m_strPath.c_str());   // gone once the last handle closes
    ::CloseHandle(reinterpret_cast<HANDLE>(m_hFile));   // ends the lock
    m_hFile = -1;
}

int PidFile::Probe(const char* szPath, int& nOwner, std::string& strErr)
{
    nOwner = 0;
    HANDLE hFile = INVALID_HANDLE_VALUE;
    for (int nTry = 1; hFile == INVALID_HANDLE_VALUE; ++nTry) {
        hFile = Open(szPath, GENERIC_READ, OPEN_EXISTING);
        const DWORD nErr = ::GetLastError();
        if (hFile != INVALID_HANDLE_VALUE)
            break;
        if (nErr == ERROR_FILE_NOT_FOUND || nErr == ERROR_PATH_NOT_FOUND)
            return 0;
        if (nErr != ERROR_ACCESS_DENIED || nTry == kTries) {
            strErr = Why("cannot open", szPath, nErr);
            return -1;
        }
        ::Sleep(kTryGapMs);   // marked for deletion: gone in a moment
    }
    int nRet = 0;
    if (Lock(hFile, kProbeByte, 0)) {
        Unlock(hFile, kProbeByte);
    } else if (::GetLastError() == ERROR_LOCK_VIOLATION) {
        nOwner = ReadOwner(hFile);
        nRet = nOwner != 0 && Exited(nOwner) ? 0 : 1;
        if (nRet == 0)
            nOwner = 0;
    } else {
        strErr = Why("cannot lock", szPath, ::GetLastError());
        nRet = -1;
    }
    ::CloseHandle(hFile);
    return nRet;
}

}  // namespace nox
