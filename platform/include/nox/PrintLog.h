// The logger: one line per call, to the log file and (optionally) standard
// error and the system log. Callable from any thread.
//
// Line format, identical on every output:
//   YYYY-MM-DD HH:MM:SS.mmm LEVEL [TID] SOURCE:LINE FUNCTION: MESSAGE
// LEVEL is DEBUG (2), INFO (4) or ERROR (6); other levels print as LEVEL<n>.
// A newline is added unless the message already ends with one.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

#include "nox/Compat.h"

namespace nox {

enum LogLevel { kLogDebug = 2, kLogInfo = 4, kLogError = 6 };

class PrintLog {
public:
    static PrintLog& instance();

    // A line is written when nLevel is at least the current level.
    void Log(const char* szFile, int nLine, const char* szFunc, const char* szModule,
             int nLevel, const char* szFmt, ...) NOX_PRINTF(7, 8);
    void LogV(const char* szFile, int nLine, const char* szFunc, const char* szModule,
              int nLevel, const char* szFmt, va_list args);

    // The same line as Log with "%s" and the nLen bytes at pMsg, without a
    // format to read: for lines a caller writes by the thousand.
    void LogText(const char* szFile, int nLine, const char* szFunc, int nLevel, const char* pMsg,
                 size_t nLen);
    // Whether a line of nLevel would be written now.
    bool Enabled(int nLevel) const;

    // Lines as LogText writes them, in order, queued for the writer thread
    // together (one lock hold) at Commit; they carry the time of the first
    // line since the last Commit (a batch is the lines of a moment). Lines
    // that cannot go that way (no writer thread, a full queue, an observer
    // installed) are written one by one as LogText writes them.
    class Batch {
    public:
        Batch() = default;
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;
        ~Batch() { Commit(); }
        void Add(const char* szFile, int nLine, const char* szFunc, int nLevel, const char* pMsg,
                 size_t nLen);
        void Commit();

    private:
        std::string m_strPacked;   // each line's head and text, as the queue holds them
        int m_nTopLevel = 0;
        char m_szTime[32] = {};    // the batch's time text, once its first line is added
        bool m_bTime = false;
    };

    void SetLevel(int nLevel);
    int GetLevel() const;
    void SetStderr(bool bOn);
    void SetSyslog(bool bOn);
    // Largest log file in bytes (0: no limit); a full file is rotated:
    // "<base>.log" becomes "<base>.1.log", older files move up to
    // "<base>.5.log" and the oldest is dropped. Applies at once to an open file.
    // No line is lost to a rotation: a file that cannot be renamed (on
    // Windows, one a reader holds without delete sharing) takes the lines
    // on, one error line says so, and the rotation is tried again every 5 s.
    void SetFileSize(unsigned nBytes);

    // Used by BaseLib: opens "<szBasePath>.log" (creating its folder);
    // returns 0, or -1 when the file cannot be opened (lines then go to
    // standard error only, and one line says so).
    int OpenFile(const char* szBasePath);
    void CloseFile();
    // Writes every queued line and flushes the file; returns when written.
    void Flush();

    // Used by BaseLib. From StartWriter on, a call formats its line, queues it
    // and returns; a writer thread writes the queue in batches: at once after
    // an error line (level 6) or when 64 KB are queued, else at most 200 ms
    // after the oldest queued line (by the tick clock). The queue is bounded
    // (two buffers of 512 KB); a line that finds it full is written by its
    // caller, after what is queued, so no line is lost.
    // StopWriter writes what is queued and ends the thread; callers then
    // write their lines themselves again, as before StartWriter. Flush,
    // CloseFile, OpenFile and SetFileSize first write what is queued. Either
    // way the lines of one thread keep their order. StartWriter: 0, or -1
    // when no thread can be started (callers go on writing).
    int StartWriter();
    void StopWriter();

private:
    PrintLog();
    ~PrintLog();
    struct Impl;
    Impl* m_pImpl;
};

namespace detail {
// Receives every line that passes the level filter (nox_testing LogCapture).
class LogObserver {
public:
    virtual ~LogObserver() = default;
    virtual void OnLine(int nLevel, const char* szFile, int nLine, const char* szFunc,
                        const char* szText) = 0;
};
// Installs pObserver (null: none) and returns the previous one.
LogObserver* SwapLogObserver(LogObserver* pObserver);
// For the crash handler: writes the lines still queued for the writer thread
// to the log file and standard error, with async-signal-safe calls only
// (waiting up to 200 ms for a batch the writer is writing).
void WriteQueuedLinesAtCrash();
}  // namespace detail

}  // namespace nox

// One log call with the caller's source text and function text. One
// expression, so it is safe under if/else.
#define NOX_LOG(file, func, level, ...) \
    ::nox::PrintLog::instance().Log((file), __LINE__, (func), "", (level), __VA_ARGS__)
