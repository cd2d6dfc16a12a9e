// Records the log lines that pass the level filter, for one scope.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "nox/PrintLog.h"

namespace nox {
namespace testing {

// Installs itself as the log observer in the constructor and restores the
// previous one in the destructor. Lines arrive on any thread; every accessor
// takes the lock and returns a copy.
class LogCapture : public nox::detail::LogObserver {
public:
    struct Line {
        int nLevel;
        std::string strFile;
        int nLine;
        std::string strFunc;
        std::string strText;   // the formatted message, without an added newline
    };
    using Predicate = std::function<bool(const Line&)>;

    LogCapture();
    ~LogCapture() override;
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    void OnLine(int nLevel, const char* szFile, int nLine, const char* szFunc,
                const char* szText) override;

    std::vector<Line> Lines() const;
    std::vector<std::string> Texts() const;
    bool Contains(const std::string& strText) const;   // a line with exactly this text
    // Waits until a recorded line (earlier ones included) matches; false on timeout.
    bool WaitFor(const Predicate& pred, std::chrono::milliseconds timeout);
    bool WaitFor(const std::string& strText, std::chrono::milliseconds timeout);
    void Clear();

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<Line> m_vecLine;
    nox::detail::LogObserver* m_pPrev;
};

}  // namespace testing
}  // namespace nox
