// The log file: "<base>.log", rotated at a size limit into "<base>.1.log" ...
// "<base>.5.log". The caller serialises every call (PrintLog's sink lock).
// A file that cannot be written (full disk) is closed, loses its lines and
// is opened again at most once per second. A rotation never loses a line:
// when a file cannot be renamed (on Windows, a reader holds it without
// delete sharing), the lines go on into the current file, the rotation is
// tried again every kRotateRetryMs, and TakeNote hands out, once per such
// spell, the text of a line that says so.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "common/RuntimeOs.h"

namespace nox {

class LogFile {
public:
    static constexpr size_t kDefaultSize = 0xC800000;
    static constexpr uint32_t kRotateRetryMs = 5000;

    LogFile() = default;
    ~LogFile() { Close(); }
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Opens strPath for appending; "" on success, else why not.
    std::string Open(const std::string& strPath);
    // The size limit for the file open now and the next ones (0: none).
    std::string SetSize(unsigned nBytes);
    void Write(const std::string& strText);
    void Flush();
    void Close();
    bool IsOpen() const { return m_pFile != nullptr; }
    const std::string& Path() const { return m_strPath; }
    // The message of a line to log about a rotation that failed, once: true
    // and the text in strNote, else false.
    bool TakeNote(std::string& strNote);

    // For the crash handler: the open file's path, or null when none is open.
    // Async-signal-safe.
    static const char* CrashPath();

private:
    std::string OpenFile(const char* szMode);
    void Rotate();
    std::string Numbered(size_t n) const;   // "<base>.<n>.log"

    std::FILE* m_pFile = nullptr;
    std::string m_strPath;
    size_t m_nSize = kDefaultSize;
    size_t m_nFileSize = 0;        // bytes in the open file
    bool m_bFailed = false;        // m_strPath is wanted but the file failed
    uint32_t m_nFailTick = 0;      // when it last failed
    bool m_bRotateFailed = false;  // the last rotation failed
    uint32_t m_nRotateTick = 0;    // when
    std::string m_strNote;         // for TakeNote
    os::WriteBehind m_writeBehind; // of the open file
};

}  // namespace nox
