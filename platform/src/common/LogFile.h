// The log file: "<base>.log", rotated at a size limit into "<base>.1.log" ...
// "<base>.5.log". The caller serialises every call (PrintLog's sink lock).
// A file that cannot be written (full disk) is closed, loses its lines and
// is opened again at most once per second.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace spdlog {
namespace sinks {
class sink;
}
}  // namespace spdlog

namespace nox {

class LogFile {
public:
    static constexpr size_t kDefaultSize = 0xC800000;

    // Opens strPath with the size limit (0: none); "" on success, else why not.
    std::string Open(const std::string& strPath);
    // The size limit for the file open now and the next ones; an open file is
    // reopened with it ("" on success, else why not).
    std::string SetSize(unsigned nBytes);
    void Write(const std::string& strText);
    void Flush();
    void Close();
    bool IsOpen() const { return m_pSink != nullptr; }
    const std::string& Path() const { return m_strPath; }

    // For the crash handler: the open file's path, or null when none is open.
    // Async-signal-safe.
    static const char* CrashPath();

private:
    std::string OpenSink();

    std::shared_ptr<spdlog::sinks::sink> m_pSink;
    std::string m_strPath;
    size_t m_nSize = kDefaultSize;
    bool m_bFailed = false;        // m_strPath is wanted but the sink failed
    uint32_t m_nFailTick = 0;      // when it last failed
};

}  // namespace nox
