// Level and text of captured log lines, compared as one value in tests.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "nox/testing/LogCapture.h"

struct Logged {
    int nLevel;
    std::string strText;
    bool operator==(const Logged& other) const
    {
        return nLevel == other.nLevel && strText == other.strText;
    }
};

inline std::ostream& operator<<(std::ostream& os, const Logged& line)
{
    return os << line.nLevel << " \"" << line.strText << "\"";
}

// The captured lines logged by the function named szFunc, in order.
inline std::vector<Logged> LinesOf(const nox::testing::LogCapture& log, const char* szFunc)
{
    std::vector<Logged> vecOut;
    for (const auto& line : log.Lines()) {
        if (line.strFunc == szFunc)
            vecOut.push_back({line.nLevel, line.strText});
    }
    return vecOut;
}
