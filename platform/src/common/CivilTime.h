// Calendar text of a time in seconds, with no call into the C library, so a
// crash handler can name its dump (localtime is not safe in a signal
// handler).
#pragma once

#include <cstddef>

namespace nox {
namespace os {

// "YYYYMMDD-HHMMSS" of nSecs seconds since 1970-01-01 00:00:00 (the caller
// adds the zone's offset), into szOut of at least 16 bytes.
void CivilStamp(long long nSecs, char* szOut, size_t nSize);

}  // namespace os
}  // namespace nox
