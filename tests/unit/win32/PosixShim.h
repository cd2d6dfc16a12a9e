// Included first in every Windows test source: the POSIX calls of the C
// library that the shared test helpers use and MinGW lacks.
#pragma once

#include <direct.h>
#include <io.h>
#include <stdlib.h>
#include <string.h>

// Replaces the trailing XXXXXX of szTemplate and creates that folder.
inline char* mkdtemp(char* szTemplate)
{
    for (int nTry = 0; nTry < 100; ++nTry) {
        char* szCopy = _strdup(szTemplate);
        if (szCopy == nullptr)
            return nullptr;
        const bool bNamed = _mktemp_s(szCopy, strlen(szCopy) + 1) == 0;
        const bool bMade = bNamed && _mkdir(szCopy) == 0;
        if (bMade)
            strcpy(szTemplate, szCopy);
        free(szCopy);
        if (bMade)
            return szTemplate;
        if (!bNamed)
            return nullptr;
    }
    return nullptr;
}
