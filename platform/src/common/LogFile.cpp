#include "common/LogFile.h"

#include <spdlog/details/log_msg.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/rotating_file_sink.h>

#include <atomic>
#include <cstring>
#include <exception>

#include "common/RuntimeOs.h"
#include "nox/Time.h"

namespace nox {

namespace {

constexpr size_t kKeptFiles = 5;                 // <base>.1.log ... <base>.5.log
constexpr uint32_t kFileRetryMs = 1000;          // a failed file is tried again after this

// What the crash handler reads: the file's path, rewritten only while
// g_bPathSet is false.
char g_szCrashPath[1024] = "";
std::atomic<bool> g_bPathSet{false};

template <class Sink>
std::shared_ptr<spdlog::sinks::sink> WithPlainFormat(std::shared_ptr<Sink> pSink)
{
    // The line is complete (newline included) when it reaches the sink.
    pSink->set_formatter(std::make_unique<spdlog::pattern_formatter>(
        "%v", spdlog::pattern_time_type::local, std::string()));
    return pSink;
}

}  // namespace

const char* LogFile::CrashPath()
{
    return g_bPathSet.load() ? g_szCrashPath : nullptr;
}

std::string LogFile::Open(const std::string& strPath)
{
    m_strPath = strPath;
    m_bFailed = false;
    return OpenSink();
}

std::string LogFile::SetSize(unsigned nBytes)
{
    // 0 means no practical limit (the sink needs a positive size).
    m_nSize = nBytes == 0 ? static_cast<size_t>(-1) / 2 : nBytes;
    return m_pSink ? OpenSink() : std::string();
}

std::string LogFile::OpenSink()
{
    m_pSink.reset();
    g_bPathSet.store(false);
    std::string strErr;
    if (!os::CanWriteFile(m_strPath, strErr))
        return strErr;
    try {
        m_pSink = WithPlainFormat(std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
            m_strPath, m_nSize, kKeptFiles));
    } catch (const spdlog::spdlog_ex& ex) {
        return ex.what();
    }
    if (m_strPath.size() < sizeof(g_szCrashPath)) {
        std::memcpy(g_szCrashPath, m_strPath.c_str(), m_strPath.size() + 1);
        g_bPathSet.store(true);
    }
    return std::string();
}

void LogFile::Write(const std::string& strText)
{
    if (!m_pSink) {
        if (!m_bFailed || Time::GetTick() - m_nFailTick < kFileRetryMs)
            return;
        if (!OpenSink().empty()) {
            m_nFailTick = Time::GetTick();
            return;
        }
    }
    const spdlog::details::log_msg msg(spdlog::source_loc{}, spdlog::string_view_t(),
                                       spdlog::level::info,
                                       spdlog::string_view_t(strText.data(), strText.size()));
    try {
        m_pSink->log(msg);
        m_pSink->flush();
        m_bFailed = false;
    } catch (const std::exception&) {
        // A full disk must not take the caller down; the file's copy is lost.
        m_pSink.reset();
        g_bPathSet.store(false);
        m_bFailed = true;
        m_nFailTick = Time::GetTick();
    }
}

void LogFile::Flush()
{
    if (m_pSink)
        m_pSink->flush();
}

void LogFile::Close()
{
    Flush();
    m_pSink.reset();
    g_bPathSet.store(false);
    m_bFailed = false;
}

}  // namespace nox
