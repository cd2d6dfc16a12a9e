// Records the log lines that pass the level filter, for one scope.
#pragma once

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "nox/PrintLog.h"

namespace nox {
namespace testing {

// Installs itself as the log observer and restores the previous one on
// destruction. Lines arrive on any thread; accessors lock and copy.
class LogCapture : public nox::detail::LogObserver {
public:
    struct Line {
        int nLevel;
        std::string strFile;
        int nLine;
        std::string strFunc;
        std::string strText;   // the formatted message, without an added newline
    };

    LogCapture() : m_pPrev(nox::detail::SwapLogObserver(this)) {}
    ~LogCapture() override { nox::detail::SwapLogObserver(m_pPrev); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    void OnLine(int nLevel, const char* szFile, int nLine, const char* szFunc,
                const char* szText) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_vecLine.push_back({nLevel, szFile, nLine, szFunc, szText});
    }
    std::vector<Line> Lines() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_vecLine;
    }
    bool Contains(const std::string& strText) const   // a line with exactly this text
    {
        const std::vector<Line> vecLine = Lines();
        return std::any_of(vecLine.begin(), vecLine.end(),
                           [&](const Line& line) { return line.strText == strText; });
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_vecLine.clear();
    }

private:
    mutable std::mutex m_mutex;
    std::vector<Line> m_vecLine;
    nox::detail::LogObserver* m_pPrev;
};

}  // namespace testing
}  // namespace nox
