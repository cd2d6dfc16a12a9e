#include "common/CivilTime.h"

namespace nox {
namespace os {

namespace {

// nWidth decimal digits of n at p.
void PutDigits(char* p, long long n, int nWidth)
{
    for (int i = nWidth - 1; i >= 0; --i) {
        p[i] = static_cast<char>('0' + n % 10);
        n /= 10;
    }
}

}  // namespace

void CivilStamp(long long nSecs, char* szOut, size_t nSize)
{
    if (nSize < 16) {
        if (nSize > 0)
            szOut[0] = '\0';
        return;
    }
    long long nDays = nSecs / 86400;
    long long nRest = nSecs % 86400;
    if (nRest < 0) {
        nRest += 86400;
        --nDays;
    }
    // Civil date from days since 1970-01-01, in 400-year eras of 146097
    // days that start on March 1st, so the leap day ends a year.
    nDays += 719468;
    const long long nEra = (nDays >= 0 ? nDays : nDays - 146096) / 146097;
    const long long nDoe = nDays - nEra * 146097;
    const long long nYoe = (nDoe - nDoe / 1460 + nDoe / 36524 - nDoe / 146096) / 365;
    const long long nDoy = nDoe - (365 * nYoe + nYoe / 4 - nYoe / 100);
    const long long nMp = (5 * nDoy + 2) / 153;
    const long long nDay = nDoy - (153 * nMp + 2) / 5 + 1;
    const long long nMonth = nMp < 10 ? nMp + 3 : nMp - 9;
    const long long nYear = nYoe + nEra * 400 + (nMonth <= 2 ? 1 : 0);

    PutDigits(szOut, nYear, 4);
    PutDigits(szOut + 4, nMonth, 2);
    PutDigits(szOut + 6, nDay, 2);
    szOut[8] = '-';
    PutDigits(szOut + 9, nRest / 3600, 2);
    PutDigits(szOut + 11, nRest / 60 % 60, 2);
    PutDigits(szOut + 13, nRest % 60, 2);
    szOut[15] = '\0';
}

}  // namespace os
}  // namespace nox
