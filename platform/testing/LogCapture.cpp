#include "nox/testing/LogCapture.h"

#include <algorithm>

namespace nox {
namespace testing {

LogCapture::LogCapture() : m_pPrev(nox::detail::SwapLogObserver(this)) {}

LogCapture::~LogCapture()
{
    nox::detail::SwapLogObserver(m_pPrev);
}

void LogCapture::OnLine(int nLevel, const char* szFile, int nLine, const char* szFunc,
                        const char* szText)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_vecLine.push_back({nLevel, szFile, nLine, szFunc, szText});
    }
    m_cv.notify_all();
}

std::vector<LogCapture::Line> LogCapture::Lines() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_vecLine;
}

std::vector<std::string> LogCapture::Texts() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> vecText;
    vecText.reserve(m_vecLine.size());
    for (const Line& line : m_vecLine)
        vecText.push_back(line.strText);
    return vecText;
}

bool LogCapture::Contains(const std::string& strText) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::any_of(m_vecLine.begin(), m_vecLine.end(),
                       [&](const Line& line) { return line.strText == strText; });
}

bool LogCapture::WaitFor(const Predicate& pred, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, timeout, [&] {
        return std::any_of(m_vecLine.begin(), m_vecLine.end(), pred);
    });
}

bool LogCapture::WaitFor(const std::string& strText, std::chrono::milliseconds timeout)
{
    return WaitFor([&](const Line& line) { return line.strText == strText; }, timeout);
}

void LogCapture::Clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_vecLine.clear();
}

}  // namespace testing
}  // namespace nox
