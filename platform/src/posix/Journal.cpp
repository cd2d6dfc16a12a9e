// The journal hands its stream's device and inode to the service in
// JOURNAL_STREAM ("<dev>:<ino>"); standard error is that stream when they
// match (a redirected stderr no longer does). Lines then go to the journal
// as native entries (libsystemd's sd_journal_sendv), each with its fields.
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#define SD_JOURNAL_SUPPRESS_LOCATION   // the fields say where the line was logged, not here
#include <systemd/sd-journal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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

bool JournalReachable()
{
    // sd_journal_sendv drops entries silently when there is no socket.
    return access("/run/systemd/journal/socket", W_OK) == 0;
}

bool JournalEntry(int nPriority, const logfmt::LineParts& parts)
{
    const char* pColon = static_cast<const char*>(std::memchr(parts.pText, ':', parts.nTextLen));
    while (pColon != nullptr && pColon + 1 < parts.pText + parts.nTextLen && pColon[1] != ' ')
        pColon = static_cast<const char*>(std::memchr(
            pColon + 2, ':', static_cast<size_t>(parts.pText + parts.nTextLen - pColon - 2)));
    const size_t nFuncLen = pColon != nullptr ? static_cast<size_t>(pColon - parts.pText) : 0;
    const std::string aField[] = {
        "MESSAGE=" + std::string(parts.pText, parts.nTextLen),
        "PRIORITY=" + std::to_string(nPriority),
        "CODE_FILE=" + std::string(parts.pFile, parts.nFileLen),
        "CODE_LINE=" + std::string(parts.pLineNo, parts.nLineNoLen),
        "CODE_FUNC=" + std::string(parts.pText, nFuncLen),
        "TID=" + std::string(parts.pTid, parts.nTidLen),
    };
    struct iovec aIov[sizeof(aField) / sizeof(aField[0])];
    for (size_t i = 0; i < sizeof(aField) / sizeof(aField[0]); ++i) {
        aIov[i].iov_base = const_cast<char*>(aField[i].data());
        aIov[i].iov_len = aField[i].size();
    }
    return sd_journal_sendv(aIov, static_cast<int>(sizeof(aIov) / sizeof(aIov[0]))) >= 0;
}

}  // namespace os
}  // namespace nox
