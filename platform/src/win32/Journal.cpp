// Windows has no journal stream: standard error is a console, a pipe or a
// file, and the lines carry no priority prefix. The system log on Windows is
// the event log (SyslogLine in RuntimeOs.cpp).
#include "common/JournalOs.h"

namespace nox {
namespace os {

bool StderrIsJournal()
{
    return false;
}

bool JournalReachable()
{
    return false;
}

bool JournalEntry(int, const logfmt::LineParts&)
{
    return false;
}

}  // namespace os
}  // namespace nox
