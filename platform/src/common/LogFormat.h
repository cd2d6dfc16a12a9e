// The text of a log line:
//   YYYY-MM-DD HH:MM:SS.mmm LEVEL [TID] SOURCE:LINE FUNCTION: MESSAGE
// and the bytes it becomes on standard error.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

namespace nox {
namespace logfmt {

// Each thread's message and line buffers, reused: a log call allocates
// nothing once they have grown.
std::string& ThreadMsg();
std::string& ThreadLine();

// The printf-style message; one longer than 64 KB is cut and marked.
void FormatMessage(std::string& strOut, const char* szFmt, va_list args);

// The whole line, newline included.
void FormatLine(std::string& strLine, int nLevel, const char* szFile, int nLine,
                const char* szFunc, const std::string& strMsg);

// The priority a journal stream reads at the start of a line: "<3>" error,
// "<6>" info, "<7>" debug (levels between take the nearer syslog priority).
const char* JournalPrefix(int nLevel);

// Whether standard error is the journal (read once).
bool StderrIsJournal();

// The one place where a log line becomes bytes for standard error: the
// journal gets the line with its priority in front, anything else the line
// as the file has it.
void AppendStderrLine(std::string& strOut, int nLevel, const char* pLine, size_t nLen);

}  // namespace logfmt
}  // namespace nox
