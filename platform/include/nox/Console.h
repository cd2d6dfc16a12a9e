// The terminal and the system's error texts, for command-line tools.
#pragma once

#include <string>

namespace nox {

// The width of the terminal that standard output writes to, in columns; 0
// when standard output is not a terminal (a pipe or a file).
int TerminalColumns();

// A system error number as its symbolic name and text, e.g.
// "EADDRINUSE (Address already in use)"; negative numbers (as the network
// engine returns them) are taken as their positive value.
std::string ErrorText(int nErr);

}  // namespace nox
