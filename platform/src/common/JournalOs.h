// Whether standard error is a stream to the system journal, and a line as a
// native journal entry. Each OS folder defines them (src/posix/Journal.cpp;
// where no journal exists the first is false and the second does nothing).
#pragma once

#include "common/LogFormat.h"

namespace nox {
namespace os {

// True when the service manager connected standard error to the journal, so
// each line may start with its priority ("<3>", "<6>", "<7>").
bool StderrIsJournal();

// Whether native journal entries can be sent (the journal's socket is there).
bool JournalReachable();

// One journal entry: MESSAGE (the line's "FUNCTION: MESSAGE", line ends and
// all), PRIORITY, CODE_FILE, CODE_LINE, CODE_FUNC and TID. False when it
// could not be sent (the caller then writes the line to standard error).
bool JournalEntry(int nPriority, const logfmt::LineParts& parts);

}  // namespace os
}  // namespace nox
