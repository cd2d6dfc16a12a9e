// The journal hands its stream's device and inode to the service in
// JOURNAL_STREAM ("<dev>:<ino>"); standard error is that stream when they
// match (a redirected stderr no longer does).
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "common/JournalOs.h"

namespace nox {
namespace os {

bool StderrIsJournal()
{
    const char* szStream = std::getenv("JOURNAL_STREAM");
    unsigned long long nDev = 0;
    unsigned long long nIno = 0;
    if (szStream == nullptr || std::sscanf(szStream, "%llu:%llu", &nDev, &nIno) != 2)
        return false;
    struct stat st;
    if (fstat(STDERR_FILENO, &st) != 0)
        return false;
    return static_cast<unsigned long long>(st.st_dev) == nDev &&
           static_cast<unsigned long long>(st.st_ino) == nIno;
}

}  // namespace os
}  // namespace nox
