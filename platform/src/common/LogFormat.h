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
// The same line, with the time text given, appended to strOut.
void AppendLine(std::string& strOut, const char* szTime, int nLevel, const char* szFile, int nLine,
                const char* szFunc, const char* pMsg, size_t nMsg);

// The priority a journal stream reads at the start of a line: "<3>" error,
// "<6>" info, "<7>" debug (levels between take the nearer syslog priority).
const char* JournalPrefix(int nLevel);

// Whether standard error is the journal (read once).
bool StderrIsJournal();
// Whether lines go to the journal as native entries: standard error is the
// journal and its socket takes entries (read once).
bool JournalEntries();

// The one place where a log line becomes bytes for standard error: the
// journal gets the line with its priority in front, anything else the line
// as the file has it.
void AppendStderrLine(std::string& strOut, int nLevel, const char* pLine, size_t nLen);

// A line as FormatLine made it, taken apart again (pointers into the line).
struct LineParts {
    const char* pFile = nullptr;
    size_t nFileLen = 0;
    const char* pLineNo = nullptr;   // the source line's digits
    size_t nLineNoLen = 0;
    const char* pTid = nullptr;      // the thread id's digits
    size_t nTidLen = 0;
    const char* pText = nullptr;     // "FUNCTION: MESSAGE", without the line end
    size_t nTextLen = 0;
};
// False for text of another shape.
bool SplitLine(const char* pLine, size_t nLen, LineParts& parts);

// The syslog priority of a level: 7 debug, 6 info, 3 error (5 between).
int JournalPriority(int nLevel);

// Where standard error is the journal: the line as one journal entry of its
// own, with its priority and fields (JournalOs.h), so a message of several
// lines stays one entry; else, or when the journal refuses it, the line with
// its priority prefix on standard error.
void WriteJournalLine(int nLevel, const char* pLine, size_t nLen);

}  // namespace logfmt
}  // namespace nox
