// Windows side of nox/File.h. A replacement asks for POSIX rename semantics
// first (Windows 10 1709 and later, on NTFS): the target may then be open in
// another program with delete sharing. Where the system or the file system
// does not offer them, MoveFileEx, which fails while any handle to the target
// is open. Readers open with every sharing mode, so they stand in the way of
// no replacement the system can do. Paths are UTF-8 texts.
#include "nox/File.h"

#include <windows.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <vector>

#include "win32/SystemError.h"

#ifndef FILE_RENAME_FLAG_REPLACE_IF_EXISTS
#define FILE_RENAME_FLAG_REPLACE_IF_EXISTS 0x00000001
#endif
#ifndef FILE_RENAME_FLAG_POSIX_SEMANTICS
#define FILE_RENAME_FLAG_POSIX_SEMANTICS 0x00000002
#endif

namespace nox {

namespace {

const FILE_INFO_BY_HANDLE_CLASS kFileRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);

std::wstring Wide(const std::string& str)
{
    const int nLen = ::MultiByteToWideChar(CP_UTF8, 0, str.c_str(), -1, nullptr, 0);
    std::wstring strOut(nLen > 0 ? static_cast<size_t>(nLen) : 1, L'\0');
    if (nLen > 0)
        ::MultiByteToWideChar(CP_UTF8, 0, str.c_str(), -1, &strOut[0], nLen);
    strOut.resize(std::wcslen(strOut.c_str()));
    return strOut;
}

// The rename with POSIX semantics: ERROR_SUCCESS or the system's error.
DWORD RenamePosix(const std::wstring& strFrom, const std::wstring& strTo)
{
    wchar_t szFull[MAX_PATH * 4];
    const DWORD nFull = ::GetFullPathNameW(strTo.c_str(), MAX_PATH * 4, szFull, nullptr);
    if (nFull == 0 || nFull >= MAX_PATH * 4)
        return nFull == 0 ? ::GetLastError() : ERROR_FILENAME_EXCED_RANGE;
    const HANDLE hFile = ::CreateFileW(strFrom.c_str(), DELETE | SYNCHRONIZE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return ::GetLastError();
    std::vector<char> vecInfo(offsetof(FILE_RENAME_INFO, FileName) + (nFull + 1) * sizeof(wchar_t));
    FILE_RENAME_INFO* pInfo = reinterpret_cast<FILE_RENAME_INFO*>(vecInfo.data());
    const DWORD nFlags = FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS;
    std::memcpy(pInfo, &nFlags, sizeof(nFlags));   // the Flags member of the union it starts with
    pInfo->RootDirectory = nullptr;
    pInfo->FileNameLength = nFull * sizeof(wchar_t);
    std::memcpy(pInfo->FileName, szFull, (nFull + 1) * sizeof(wchar_t));
    const BOOL bOk = ::SetFileInformationByHandle(hFile, kFileRenameInfoEx, pInfo,
                                                  static_cast<DWORD>(vecInfo.size()));
    const DWORD nErr = bOk ? ERROR_SUCCESS : ::GetLastError();
    ::CloseHandle(hFile);
    return nErr;
}

}  // namespace

int RenameOver(const std::string& strFrom, const std::string& strTo, std::string& strErr)
{
    const std::wstring strWideFrom = Wide(strFrom), strWideTo = Wide(strTo);
    DWORD nErr = RenamePosix(strWideFrom, strWideTo);
    if (nErr == ERROR_INVALID_PARAMETER || nErr == ERROR_NOT_SUPPORTED ||
        nErr == ERROR_INVALID_FUNCTION || nErr == ERROR_CALL_NOT_IMPLEMENTED) {
        nErr = ::MoveFileExW(strWideFrom.c_str(), strWideTo.c_str(), MOVEFILE_REPLACE_EXISTING)
                   ? ERROR_SUCCESS
                   : ::GetLastError();
    }
    if (nErr == ERROR_SUCCESS)
        return 0;
    strErr = os::SystemErrorText(nErr);
    return nErr == ERROR_SHARING_VIOLATION || nErr == ERROR_ACCESS_DENIED ||
                   nErr == ERROR_LOCK_VIOLATION
               ? kFileHeld
               : kFileErr;
}

int ReadWholeFile(const std::string& strPath, std::string& strOut, std::string& strErr)
{
    strOut.clear();
    const HANDLE hFile = ::CreateFileW(Wide(strPath).c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) {
        const DWORD nErr = ::GetLastError();
        strErr = os::SystemErrorText(nErr);
        errno = nErr == ERROR_FILE_NOT_FOUND || nErr == ERROR_PATH_NOT_FOUND ? ENOENT
                : nErr == ERROR_ACCESS_DENIED || nErr == ERROR_SHARING_VIOLATION ? EACCES
                                                                                  : EIO;
        return kFileErr;
    }
    char aBuf[4096];
    DWORD nRead = 0;
    BOOL bOk = TRUE;
    while ((bOk = ::ReadFile(hFile, aBuf, sizeof(aBuf), &nRead, nullptr)) && nRead > 0)
        strOut.append(aBuf, nRead);
    const DWORD nErr = bOk ? ERROR_SUCCESS : ::GetLastError();
    ::CloseHandle(hFile);
    if (nErr != ERROR_SUCCESS) {
        strErr = os::SystemErrorText(nErr);
        errno = EIO;
        return kFileErr;
    }
    return 0;
}

}  // namespace nox
