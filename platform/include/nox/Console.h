// The terminal, the system's error texts and appends to a shared file, for
// command-line tools.
#pragma once

#include <string>

namespace nox {

// The width of the terminal that standard output writes to, in columns; 0
// when standard output is not a terminal (a pipe or a file).
int TerminalColumns();

// Whether text for the terminal may use UTF-8 (the locale's character set,
// LC_ALL, LC_CTYPE or LANG; on Windows the console's output code page).
bool TerminalIsUtf8();

// A system error number as its symbolic name and text, e.g.
// "EADDRINUSE (Address already in use)"; negative numbers (as the network
// engine returns them) are taken as their positive value.
std::string ErrorText(int nErr);

// True when the service manager connected standard error to the journal, so
// a line may start with its priority ("<3>" error, "<4>" warning, "<6>" info).
bool StderrIsJournal();

// Appends strData to the existing file szPath in one write that other
// appenders cannot split or overwrite; nEnd gets the file offset just past
// the data written. 0; -1 when the file cannot be opened or written (why in
// strErr, with the system's reason). A missing file is not created.
int AppendToFile(const char* szPath, const std::string& strData, long long& nEnd,
                 std::string& strErr);

}  // namespace nox
