// Functions of the runtime services that differ by operating system. Each OS
// folder (src/posix, src/win32) defines all of them; the portable code in
// src/common calls only these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "nox/Status.h"

namespace nox {
namespace os {

// Monotonic milliseconds since an arbitrary origin.
uint64_t MonotonicMs();

// "YYYY-MM-DD HH:MM:SS.mmm" of the current local time, NUL-terminated;
// szBuf holds at least 24 bytes. Called for every log line: cheap.
void LocalTimeText(char* szBuf, size_t nSize);
// The kernel's id of the calling thread. Called for every log line: cheap.
long CurrentThreadId();

// Creates szPath and its missing parents (mkdir -p). 0 on success, else -1
// with the reason in strErr.
int MakeDirs(const std::string& strPath, std::string& strErr);
// Whether a file can be created or appended at strPath; the reason in strErr.
bool CanWriteFile(const std::string& strPath, std::string& strErr);

// The system log: open once with the program name, then one call per line.
void SyslogOpen();
void SyslogLine(int nLevel, const char* szLine);
void SyslogClose();

// The host's adapters and serial number, as Status reports them.
int HostAdapters(std::vector<AdapterInfo>& vecOut);
int HostSerialNum(char* szBuf, int nSize);

// Folder of the log base, remembered for crash dumps ("" before Init).
void SetDumpFolder(const char* szFolder);

// A reader that went away shows as a failed write, not as a signal that ends
// the process. Called once by BaseLib::Init.
void IgnoreBrokenPipe();
// Writes the text to standard error. What cannot be written (reader gone,
// stream closed or full) is dropped; the call never waits for a reader.
// Async-signal-safe on Linux.
void WriteStderr(const char* pData, size_t nLen);
// The most bytes of whole lines one WriteStderr call should carry: PIPE_BUF
// where a longer write could be split (a pipe), any number for a file.
size_t StderrPiece();
// Write-behind for the log's append-only files, which the daemon never reads
// back: once kWriteBehindBytes more have been written, their write-out to
// disk is started, and the pages written out a round before are dropped from
// the page cache. A busy log then holds a few megabytes of the host's memory
// instead of gigabytes of cache that push out what others read. The file's
// bytes are the same either way. Not thread-safe: the log's lock serialises
// the calls.
constexpr uint64_t kWriteBehindBytes = 4u << 20;
struct WriteBehind {
    uint64_t nStarted = 0;   // write-out started for [0, nStarted)
    uint64_t nDropped = 0;   // cache dropped for [0, nDropped)
};
// After writes to pFile (flushed), nEnd bytes long now.
void WriteBehindFile(std::FILE* pFile, uint64_t nEnd, WriteBehind& state);
// After nLen bytes written by WriteStderr: the same for standard error when
// it is a regular file.
void WriteBehindStderr(size_t nLen);
// Appends the bytes to the file szPath (which must exist), without the C
// library's buffers or locks: for the crash handler (async-signal-safe on
// Linux). 0, or -1 when the file cannot be opened or written.
int AppendRaw(const char* szPath, const char* pData, size_t nLen);

// Gives the calling thread its own stack for signal handlers, so a crash
// after a stack overflow still writes a dump. Returns what RemoveSignalStack
// frees at the end of the same thread (null: the thread had one already).
void* InstallSignalStack();
void RemoveSignalStack(void* pStack);

// The signal stack of a thread the platform starts, for the thread's lifetime.
class ScopedSignalStack {
public:
    ScopedSignalStack() : m_pStack(InstallSignalStack()) {}
    ~ScopedSignalStack() { RemoveSignalStack(m_pStack); }
    ScopedSignalStack(const ScopedSignalStack&) = delete;
    ScopedSignalStack& operator=(const ScopedSignalStack&) = delete;

private:
    void* m_pStack;
};

}  // namespace os
}  // namespace nox
