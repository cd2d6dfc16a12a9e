#include "common/LogQueue.h"

#include <chrono>
#include <cstdint>

#include "common/LogFormat.h"
#include "common/RuntimeOs.h"
#include "nox/PrintLog.h"
#include "nox/Time.h"

namespace nox {

namespace {

constexpr size_t kWakeBytes = 64 * 1024;         // a buffer this full is written at once
constexpr uint32_t kFlushDelayMs = 200;          // the longest a line waits (tick clock)
constexpr int kCrashWaitMs = 200;                // for a write the writer has begun

// The queue the crash handler reads (PrintLog's, which lives as long as the
// process).
std::atomic<LogQueue*> g_pCrashQueue{nullptr};

}  // namespace

LogQueue::LogQueue()
{
    g_pCrashQueue.store(this);
}

LogQueue::~LogQueue()
{
    Stop();
    LogQueue* pSelf = this;
    g_pCrashQueue.compare_exchange_strong(pSelf, nullptr);
}

bool LogQueue::AppendLocked(int nTopLevel, const char* pHead, size_t nHead, const char* pData,
                            size_t nData, bool& bWake)
{
    LineBuf& fill = m_aBuf[m_state.load() & 1u];
    const size_t nUsed = fill.nSize.load(std::memory_order_relaxed);
    const size_t nNeed = nHead + nData;
    if (!m_bWriter || nUsed + nNeed > LineBuf::kBytes)
        return false;
    if (nHead > 0)
        std::memcpy(fill.pData.get() + nUsed, pHead, nHead);
    std::memcpy(fill.pData.get() + nUsed + nHead, pData, nData);
    fill.nSize.store(nUsed + nNeed, std::memory_order_release);
    if (nUsed == 0)
        m_nFirstTick = Time::GetTick();
    const bool bNowUrgent =
        nTopLevel >= kLogError || (nUsed < kWakeBytes && nUsed + nNeed >= kWakeBytes);
    bWake = m_bIdle || (bNowUrgent && !m_bUrgent);
    m_bUrgent = m_bUrgent || bNowUrgent;
    m_bIdle = false;
    return true;
}

bool LogQueue::Enqueue(int nLevel, const std::string& strLine)
{
    const LineHead head{static_cast<uint32_t>(strLine.size()), nLevel};
    bool bWake = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!AppendLocked(nLevel, reinterpret_cast<const char*>(&head), sizeof(head), strLine.data(),
                          strLine.size(), bWake))
            return false;
    }
    if (bWake)
        m_cv.notify_one();
    return true;
}

bool LogQueue::EnqueuePacked(int nTopLevel, const char* pPacked, size_t nLen)
{
    bool bWake = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!AppendLocked(nTopLevel, nullptr, 0, pPacked, nLen, bWake))
            return false;
    }
    if (bWake)
        m_cv.notify_one();
    return true;
}

LineBuf* LogQueue::Take()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    unsigned nState = m_state.load();
    LineBuf& fill = m_aBuf[nState & 1u];
    if ((nState & kCrash) != 0 || fill.nSize.load(std::memory_order_relaxed) == 0)
        return nullptr;
    m_nErrClaimed.store(0);
    m_nFileClaimed.store(0);
    // Only the crash bit can change meanwhile; then the crash handler writes.
    if (!m_state.compare_exchange_strong(nState, (nState ^ 1u) | kTaken))
        return nullptr;
    m_bUrgent = false;
    return &fill;
}

bool LogQueue::ClaimStderr(size_t nFrom, size_t nTo)
{
    // Counted in flight before the claim, so the crash handler, which takes
    // the claims first and then waits for writes in flight, never writes
    // ahead of a piece that was claimed.
    m_nInFlight.fetch_add(1);
    size_t nExpected = nFrom;
    if (m_nErrClaimed.compare_exchange_strong(nExpected, nTo))
        return true;
    m_nInFlight.fetch_sub(1);
    return false;
}

bool LogQueue::ClaimFile(size_t nTo)
{
    m_nInFlight.fetch_add(1);
    size_t nExpected = 0;
    if (m_nFileClaimed.compare_exchange_strong(nExpected, nTo))
        return true;
    m_nInFlight.fetch_sub(1);
    return false;
}

void LogQueue::Written()
{
    m_nInFlight.fetch_sub(1);
}

void LogQueue::Release(LineBuf* pTaken)
{
    if (m_nErrClaimed.load() == SIZE_MAX || m_nFileClaimed.load() == SIZE_MAX)
        return;   // the crash handler has taken over
    pTaken->nSize.store(0, std::memory_order_release);
    m_state.fetch_and(~kTaken);
}

int LogQueue::Start(std::function<void()> drain)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bWriter)
        return 0;
    m_bStop = false;
    try {
        m_thread = std::thread([this, drain] {
            os::ScopedSignalStack signalStack;
            WriterLoop(drain);
        });
    } catch (const std::exception&) {
        return -1;
    }
    m_bWriter = true;
    m_bOn.store(true, std::memory_order_release);
    return 0;
}

void LogQueue::Stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_bWriter)
            return;
        m_bWriter = false;
        m_bOn.store(false, std::memory_order_release);
        m_bStop = true;
    }
    m_cv.notify_one();
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id())
        m_thread.join();
}

// Sleeps while nothing is queued; a first line wakes it, and it writes
// kFlushDelayMs after that line (by the tick clock), or at once for an error
// line, a buffer of kWakeBytes, a stop.
void LogQueue::WriterLoop(const std::function<void()>& drain)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        const bool bEmpty = m_aBuf[m_state.load() & 1u].nSize.load(std::memory_order_relaxed) == 0;
        if (bEmpty && m_bStop)
            return;
        if (bEmpty) {
            m_bIdle = true;
            m_cv.wait(lock, [&] { return !m_bIdle || m_bStop; });
            m_bIdle = false;
            continue;
        }
        const uint32_t nAge = Time::GetTick() - m_nFirstTick;
        if (!m_bUrgent && !m_bStop && nAge < kFlushDelayMs) {
            m_cv.wait_for(lock, std::chrono::milliseconds(kFlushDelayMs - nAge),
                          [&] { return m_bUrgent || m_bStop; });
            continue;   // due now, or look again
        }
        if ((m_state.load() & kCrash) != 0) {
            m_bIdle = true;   // the crash handler writes; wait for the end
            m_cv.wait(lock, [&] { return m_bStop; });
            return;
        }
        lock.unlock();
        drain();
        lock.lock();
    }
}

namespace {

// Lines [nFrom, nTo) of buf to the file and to standard error.
void CrashWrite(const LineBuf& buf, size_t nFrom, size_t nTo, const char* szPath, bool bStderr,
                bool bJournal)
{
    buf.ForEach(nFrom, nTo, [&](int nLevel, const char* pLine, size_t nLen, size_t) {
        if (szPath != nullptr)
            (void)os::AppendRaw(szPath, pLine, nLen);
        if (bStderr) {
            if (bJournal)
                os::WriteStderr(logfmt::JournalPrefix(nLevel), 3);
            os::WriteStderr(pLine, nLen);
        }
    });
}

}  // namespace

void LogQueue::WriteAtCrash(const char* szPath, bool bStderr, bool bJournal)
{
    LogQueue* pQueue = g_pCrashQueue.load();
    if (pQueue == nullptr)
        return;
    LogQueue& q = *pQueue;
    const unsigned nState = q.m_state.fetch_or(kCrash);
    if ((nState & kCrash) != 0)
        return;   // written once already
    if ((nState & kTaken) != 0) {
        // The writer is in a batch: take what it has not claimed, and let
        // what it has claimed reach its outputs first (not forever: it may
        // be the crashed thread, or blocked on a reader that stopped).
        const LineBuf& taken = q.m_aBuf[(nState & 1u) ^ 1u];
        const size_t nErrFrom = q.m_nErrClaimed.exchange(SIZE_MAX);
        const size_t nFileFrom = q.m_nFileClaimed.exchange(SIZE_MAX);
        for (int nWait = 0; q.m_nInFlight.load() != 0 && nWait < kCrashWaitMs; ++nWait)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));   // nanosleep
        const size_t nTo = taken.nSize.load(std::memory_order_acquire);
        CrashWrite(taken, nFileFrom, nTo, szPath, false, false);
        CrashWrite(taken, nErrFrom, nTo, nullptr, bStderr, bJournal);
    }
    const LineBuf& fill = q.m_aBuf[nState & 1u];
    CrashWrite(fill, 0, fill.nSize.load(std::memory_order_acquire), szPath, bStderr, bJournal);
}

}  // namespace nox
