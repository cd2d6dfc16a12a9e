#include "WinText.h"

#include <windows.h>

#include <cstdio>
#include <vector>

namespace velmora {
namespace svc {

std::string Utf8(const std::wstring& strText)
{
    if (strText.empty())
        return std::string();
    const int nLen = ::WideCharToMultiByte(CP_UTF8, 0, strText.data(),
                                           static_cast<int>(strText.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string strOut(static_cast<size_t>(nLen > 0 ? nLen : 0), '\0');
    if (nLen > 0)
        (void)::WideCharToMultiByte(CP_UTF8, 0, strText.data(), static_cast<int>(strText.size()),
                                    &strOut[0], nLen, nullptr, nullptr);
    return strOut;
}

std::wstring Wide(const std::string& strText)
{
    if (strText.empty())
        return std::wstring();
    const int nLen = ::MultiByteToWideChar(CP_UTF8, 0, strText.data(),
                                           static_cast<int>(strText.size()), nullptr, 0);
    std::wstring strOut(static_cast<size_t>(nLen > 0 ? nLen : 0), L'\0');
    if (nLen > 0)
        (void)::MultiByteToWideChar(CP_UTF8, 0, strText.data(), static_cast<int>(strText.size()),
                                    &strOut[0], nLen);
    return strOut;
}

std::wstring ErrorText(unsigned long nErr)
{
    wchar_t* szText = nullptr;
    const DWORD nLen = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, nErr, 0, reinterpret_cast<wchar_t*>(&szText), 0, nullptr);
    std::wstring strText = nLen > 0 ? std::wstring(szText, nLen) : L"error";
    if (szText != nullptr)
        ::LocalFree(szText);
    while (!strText.empty() && (strText.back() == L'\n' || strText.back() == L'\r' ||
                                strText.back() == L' '))
        strText.pop_back();
    return strText + L" (" + Number(nErr) + L")";
}

std::wstring Number(unsigned long long nValue)
{
    return std::to_wstring(nValue);
}

namespace {
PrintSink g_pSink = nullptr;
}  // namespace

void SetPrintSink(PrintSink pSink)
{
    g_pSink = pSink;
}

void Print(const std::wstring& strText, bool bError)
{
    if (g_pSink != nullptr) {
        g_pSink(strText, bError);
        return;
    }
    const HANDLE hOut = ::GetStdHandle(bError ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD nMode = 0;
    if (hOut != nullptr && hOut != INVALID_HANDLE_VALUE && ::GetConsoleMode(hOut, &nMode)) {
        DWORD nWritten = 0;
        (void)::WriteConsoleW(hOut, strText.data(), static_cast<DWORD>(strText.size()),
                              &nWritten, nullptr);
        return;
    }
    const std::string strOut = Utf8(strText);
    std::FILE* pFile = bError ? stderr : stdout;
    std::fwrite(strOut.data(), 1, strOut.size(), pFile);
    std::fflush(pFile);
}

std::wstring ProgramPath()
{
    std::vector<wchar_t> vecBuf(MAX_PATH);
    for (;;) {
        const DWORD nLen =
            ::GetModuleFileNameW(nullptr, vecBuf.data(), static_cast<DWORD>(vecBuf.size()));
        if (nLen == 0)
            return std::wstring();
        if (nLen < vecBuf.size())
            return std::wstring(vecBuf.data(), nLen);
        vecBuf.resize(vecBuf.size() * 2);
    }
}

std::wstring ProgramFolder()
{
    const std::wstring strPath = ProgramPath();
    const size_t nSlash = strPath.find_last_of(L"\\/");
    return nSlash == std::wstring::npos ? L"." : strPath.substr(0, nSlash);
}

std::wstring FullPath(const std::wstring& strPath)
{
    const DWORD nLen = ::GetFullPathNameW(strPath.c_str(), 0, nullptr, nullptr);
    if (nLen == 0)
        return strPath;
    std::vector<wchar_t> vecBuf(nLen);
    const DWORD nGot = ::GetFullPathNameW(strPath.c_str(), nLen, vecBuf.data(), nullptr);
    std::wstring strFull(vecBuf.data(), nGot < nLen ? nGot : 0);
    while (strFull.size() > 3 && (strFull.back() == L'\\' || strFull.back() == L'/'))
        strFull.pop_back();
    return strFull.empty() ? strPath : strFull;
}

bool IsFolder(const std::wstring& strPath)
{
    const DWORD nAttr = ::GetFileAttributesW(strPath.c_str());
    return nAttr != INVALID_FILE_ATTRIBUTES && (nAttr & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsFile(const std::wstring& strPath)
{
    const DWORD nAttr = ::GetFileAttributesW(strPath.c_str());
    return nAttr != INVALID_FILE_ATTRIBUTES && (nAttr & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace svc
}  // namespace velmora
