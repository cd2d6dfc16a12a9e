#include "common/LogFile.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "common/RuntimeOs.h"
#include "nox/File.h"
#include "nox/Time.h"

namespace nox {

namespace {

constexpr size_t kKeptFiles = 5;                 // <base>.1.log ... <base>.5.log
constexpr uint32_t kFileRetryMs = 1000;          // a failed file is tried again after this

// What the crash handler reads: the file's path, rewritten only while
// g_bPathSet is false.
char g_szCrashPath[1024] = "";
std::atomic<bool> g_bPathSet{false};

}  // namespace

const char* LogFile::CrashPath()
{
    return g_bPathSet.load() ? g_szCrashPath : nullptr;
}

std::string LogFile::Open(const std::string& strPath)
{
    Close();
    m_strPath = strPath;
    m_bRotateFailed = false;
    return OpenFile("ab");
}

std::string LogFile::SetSize(unsigned nBytes)
{
    m_nSize = nBytes == 0 ? static_cast<size_t>(-1) : nBytes;
    return std::string();
}

std::string LogFile::OpenFile(const char* szMode)
{
    if (m_pFile != nullptr)
        std::fclose(m_pFile);
    m_pFile = nullptr;
    g_bPathSet.store(false);
    std::string strErr;
    if (!os::CanWriteFile(m_strPath, strErr))
        return strErr;
    m_pFile = std::fopen(m_strPath.c_str(), szMode);
    if (m_pFile == nullptr)
        return m_strPath + ": " + std::strerror(errno);
    std::error_code ec;
    const auto nSize = std::filesystem::file_size(m_strPath, ec);
    m_nFileSize = ec ? 0 : static_cast<size_t>(nSize);
    m_writeBehind = os::WriteBehind();
    m_bFailed = false;
    if (m_strPath.size() < sizeof(g_szCrashPath)) {
        std::memcpy(g_szCrashPath, m_strPath.c_str(), m_strPath.size() + 1);
        g_bPathSet.store(true);
    }
    return std::string();
}

std::string LogFile::Numbered(size_t n) const
{
    const size_t nDot = m_strPath.rfind('.');
    const size_t nSlash = m_strPath.find_last_of("/\\");
    const bool bExt = nDot != std::string::npos && (nSlash == std::string::npos || nDot > nSlash);
    const std::string strStem = bExt ? m_strPath.substr(0, nDot) : m_strPath;
    return strStem + "." + std::to_string(n) + (bExt ? m_strPath.substr(nDot) : std::string());
}

// Moves each kept file one number up, the oldest out, and the current file
// to number 1, then starts an empty one. The first rename that fails ends the
// rotation: the current file is opened again for appending, as it is.
void LogFile::Rotate()
{
    std::fclose(m_pFile);
    m_pFile = nullptr;
    std::string strErr;
    std::string strFailed;
    for (size_t n = kKeptFiles; n >= 1 && strFailed.empty(); --n) {
        const std::string strFrom = n == 1 ? m_strPath : Numbered(n - 1);
        std::error_code ec;
        if (n > 1 && !std::filesystem::exists(strFrom, ec))
            continue;
        if (RenameOver(strFrom, Numbered(n), strErr) != 0)
            strFailed = strFrom;
    }
    if (strFailed.empty()) {
        m_bRotateFailed = false;
        (void)OpenFile("wb");
        return;
    }
    if (!m_bRotateFailed) {
        m_strNote = "log file " + m_strPath + " not rotated: " + strFailed + " cannot be renamed (" +
                    strErr + "); its lines go on into " + m_strPath + ", the rotation is tried again every " +
                    std::to_string(kRotateRetryMs / 1000) + " s";
    }
    m_bRotateFailed = true;
    m_nRotateTick = Time::GetTick();
    (void)OpenFile("ab");
}

void LogFile::Write(const std::string& strText)
{
    if (m_pFile == nullptr) {
        if (!m_bFailed || Time::GetTick() - m_nFailTick < kFileRetryMs)
            return;
        if (!OpenFile("ab").empty()) {
            m_nFailTick = Time::GetTick();
            return;
        }
    }
    const bool bFull = m_nFileSize >= m_nSize || strText.size() > m_nSize - m_nFileSize;
    if (m_nFileSize > 0 && bFull &&
        (!m_bRotateFailed || Time::GetTick() - m_nRotateTick >= kRotateRetryMs)) {
        Rotate();
        if (m_pFile == nullptr) {
            m_bFailed = true;
            m_nFailTick = Time::GetTick();
            return;
        }
    }
    if (std::fwrite(strText.data(), 1, strText.size(), m_pFile) == strText.size() &&
        std::fflush(m_pFile) == 0) {
        m_nFileSize += strText.size();
        os::WriteBehindFile(m_pFile, m_nFileSize, m_writeBehind);
        return;
    }
    // A full disk must not take the caller down; the file's copy is lost.
    std::fclose(m_pFile);
    m_pFile = nullptr;
    g_bPathSet.store(false);
    m_bFailed = true;
    m_nFailTick = Time::GetTick();
}

void LogFile::Flush()
{
    if (m_pFile != nullptr)
        std::fflush(m_pFile);
}

void LogFile::Close()
{
    if (m_pFile != nullptr)
        std::fclose(m_pFile);
    m_pFile = nullptr;
    g_bPathSet.store(false);
    m_bFailed = false;
}

bool LogFile::TakeNote(std::string& strNote)
{
    if (m_strNote.empty())
        return false;
    strNote.swap(m_strNote);
    m_strNote.clear();
    return true;
}

}  // namespace nox
