// The log writer's queue: two line buffers, one being filled by the callers
// and one being written, and the thread that writes them.
//
// The crash handler may run at any moment on any thread, with the writer in
// the middle of a batch. So that every line is written exactly once, in
// order, each output of a taken buffer is handed out by atomic claims: the
// writer claims a piece before writing it, and the crash handler claims all
// that is left; a claim that fails means the crash handler has taken over.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace nox {

// One line in a LineBuf: this head, then nLen bytes.
struct LineHead {
    uint32_t nLen;
    int32_t nLevel;
};

// Queued lines, one LineHead and its bytes after the other. nSize grows only
// under the queue lock and is published after the bytes (release), so the
// crash handler reads whole lines without a lock.
struct LineBuf {
    static constexpr size_t kBytes = 512 * 1024;
    std::unique_ptr<char[]> pData{new char[kBytes]};
    std::atomic<size_t> nSize{0};

    // Calls f(level, line, length, offset after the line) for each line in
    // [nFrom, nTo).
    template <class F>
    void ForEach(size_t nFrom, size_t nTo, F f) const
    {
        for (size_t nPos = nFrom; nPos < nTo;) {
            LineHead head;
            std::memcpy(&head, pData.get() + nPos, sizeof(head));
            const char* pLine = pData.get() + nPos + sizeof(head);
            nPos += sizeof(head) + head.nLen;
            f(head.nLevel, pLine, static_cast<size_t>(head.nLen), nPos);
        }
    }
};

class LogQueue {
public:
    LogQueue();
    ~LogQueue();

    // Queues a line for the writer thread; false when it is not running or
    // the queue is full (the caller then writes the line itself).
    bool Enqueue(int nLevel, const std::string& strLine);
    // Lines already packed as a LineBuf holds them (LineHead, bytes, ...),
    // nLen bytes, all queued under one lock hold or none; nTopLevel the
    // highest level among them.
    bool EnqueuePacked(int nTopLevel, const char* pPacked, size_t nLen);

    // For the one who writes (the sink lock held): the buffer being filled,
    // now taken for writing, or null when nothing is queued or the crash
    // handler owns the queue. Each output then claims what it writes, and
    // Release ends the batch.
    LineBuf* Take();
    // [nFrom, nTo) of the taken buffer for standard error; false when the
    // crash handler has taken over (nothing more may be written).
    bool ClaimStderr(size_t nFrom, size_t nTo);
    // The whole taken buffer for the file; false as above.
    bool ClaimFile(size_t nTo);
    // A claimed write has returned.
    void Written();
    void Release(LineBuf* pTaken);

    // The writer thread: drain() is called (from the thread) when lines are
    // due: kFlushDelayMs after the first queued line, or at once for an error
    // line, a well-filled buffer or a stop.
    int Start(std::function<void()> drain);
    void Stop();   // returns when the thread has ended; drain() is not called after
    bool Running() const { return m_bOn.load(std::memory_order_acquire); }

    // For the crash handler, async-signal-safe: writes what no one has
    // written yet of the queue (the rest of a taken buffer, then the buffer
    // being filled) to the file szPath (null: none) and to standard error
    // (bStderr, with journal priorities when bJournal), and keeps the writer
    // from writing anything more.
    static void WriteAtCrash(const char* szPath, bool bStderr, bool bJournal);

private:
    void WriterLoop(const std::function<void()>& drain);
    // Under m_mutex: appends the bytes when they fit; whether they did, and
    // in bWake whether the writer is to be woken.
    bool AppendLocked(int nTopLevel, const char* pHead, size_t nHead, const char* pData, size_t nData,
                      bool& bWake);

    // m_state: bit 0 the buffer being filled, kTaken while the other one is
    // being written, kCrash once the crash handler owns both.
    static constexpr unsigned kTaken = 2;
    static constexpr unsigned kCrash = 4;

    std::mutex m_mutex;                  // guards the filling and the flags below
    std::condition_variable m_cv;
    LineBuf m_aBuf[2];
    std::atomic<unsigned> m_state{0};
    std::atomic<size_t> m_nErrClaimed{0};
    std::atomic<size_t> m_nFileClaimed{0};
    std::atomic<int> m_nInFlight{0};     // claimed writes not yet returned
    bool m_bWriter = false;              // the writer thread takes lines
    bool m_bStop = false;
    bool m_bIdle = false;                // the writer waits for a first line
    bool m_bUrgent = false;              // an error line or a full buffer waits
    uint32_t m_nFirstTick = 0;           // of the oldest queued line
    std::atomic<bool> m_bOn{false};      // m_bWriter, read without the lock
    std::thread m_thread;
};

}  // namespace nox
