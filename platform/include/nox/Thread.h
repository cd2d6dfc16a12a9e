// Threads, runners and the process-wide work signal.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

namespace nox {

// A thread that calls run() once. Start may be called once per object.
class Thread {
public:
    Thread();
    Thread(const Thread& other);                  // copies nothing of a started thread
    Thread& operator=(const Thread& other);
    virtual ~Thread();                            // joins a thread that is still running

    virtual int Start();                          // 0: thread running
    virtual void SignalStop();                    // asks; returns at once
    virtual int Stop();                           // SignalStop, then Join
    virtual int run() = 0;
    virtual void heartbeat();                     // called between steps by runners
    int Join();                                   // waits for the thread; 0 when joined or never started

    bool IsStopSignalled() const;
    bool IsStarted() const;
    static void SleepMs(unsigned nMs);

private:
    struct State;
    std::shared_ptr<State> m_pState;
};

enum runner_type_e {
    // Kind 1: calls the function once, then the thread ends.
    RUNNER_ONCE = 1,
    // Kind 2: calls the function again and again until SignalStop. Between
    // calls it waits for the process-wide work signal (Runner::NotifyWork)
    // when no work was announced since its previous call began and the call
    // did not ask to be called again (Runner::CallAgain), so an idle runner
    // costs no CPU; one waiting runner at a time (whichever began to wait
    // when none had) also wakes after a long safety timeout and calls its
    // function anyway. After announced calls none of which asked to be
    // called again (work coming one piece at a time) it first watches for a
    // further announcement for 50 us, yielding the CPU, unless another runner
    // is watching already. A receiving one (SetReceives) also takes the
    // network engine's datagrams on its own thread where the system allows
    // (Linux): when idle, one such runner at a time waits on the engine's
    // sockets instead of the work signal, delivers a batch and then calls
    // its function; the others need no 50 us watch. While such a runner keeps
    // a socket for its calls, the runner with the safety timeout waits only
    // 20 ms (the poller wakes it once when it starts keeping) and then takes
    // over a socket kept that long, so a slow call never stalls intake.
    RUNNER_LOOP = 2,
};

typedef int (*runner_func_t)(void* pContext, void* pArg);

// A Thread that runs a plain function with a context. Copyable while unstarted.
// An exception out of the function is logged as an error; a kind-2 runner
// then goes on, a kind-1 runner's run() returns -1. Every thread that nox
// starts has its own signal stack, so a crash on it still writes a dump.
class Runner : public Thread {
public:
    Runner(runner_func_t pFunc, void* pContext, runner_type_e eType);
    Runner(const Runner& other) = default;
    Runner& operator=(const Runner& other) = default;
    ~Runner() override;

    int Start() override;
    void SignalStop() override;
    int Stop() override;
    int run() override;
    void heartbeat() override;

    void SetFunc(runner_func_t pFunc) { m_pFunc = pFunc; }
    void SetContext(void* pContext) { m_pContext = pContext; }
    void SetType(runner_type_e eType) { m_eType = eType; }
    runner_type_e GetType() const { return m_eType; }
    // Before Start, kind 2 only: the runner also receives the engine's
    // datagrams (see RUNNER_LOOP). Every receiving runner must run the
    // function that takes what the handlers of the engine's sockets queue.
    void SetReceives(bool bOn) { m_bReceives = bOn; }

    // The context of the kind-2 runner whose function or delivery runs on
    // this thread; null on any other thread.
    static const void* CurrentContext();

    // Announces that work may be waiting: makes every busy kind-2 runner call
    // its function again before it next waits, and wakes one idle one unless
    // none is idle, one is watching for work (see RUNNER_LOOP), or every idle
    // one has been woken already. Safe from any thread; costs no system call
    // unless it wakes a runner. The network engine calls it once per batch of
    // datagrams.
    static void NotifyWork();
    // From inside a kind-2 runner's function: call it again at once, without
    // waiting and without waking any other runner (work is left over). No
    // effect on any other thread.
    static void CallAgain();
    // From inside a kind-2 runner's function, around its last stretch of
    // work: announcements made meanwhile wake no other runner, since this
    // one looks for them as soon as its function returns. Returns whether it
    // took the watch (one runner at a time); pass that to EndLastStretch.
    static bool BeginLastStretch();
    static void EndLastStretch(bool bTaken);
    // The two above as a scope: the watch is given back however the scope
    // ends (a log call that throws bad_alloc must not keep it for ever).
    class LastStretch {
    public:
        LastStretch() : m_bTaken(BeginLastStretch()) {}
        ~LastStretch() { EndLastStretch(m_bTaken); }
        LastStretch(const LastStretch&) = delete;
        LastStretch& operator=(const LastStretch&) = delete;
        bool Taken() const { return m_bTaken; }

    private:
        const bool m_bTaken;
    };
    // How long the one idle kind-2 runner with the safety timeout waits
    // before calling its function anyway.
    static void SetIdleTimeoutMs(unsigned nMs);

private:
    // True when work is announced (the epoch moves on from nEpoch) within
    // the busy wait; false after it, or on a stop signal.
    bool AwaitAnnouncement(uint64_t nEpoch) const;
    // Waits on the work signal under lock (g_workMutex, Thread.cpp), taking
    // the timed role when nobody owns it: true when work was announced or
    // a stop signalled, false after the timed role's wait.
    bool WaitForWork(std::unique_lock<std::mutex>& lock, uint64_t nEpoch, bool& bTimed,
                     uint64_t nKeepSeen) const;
    void LeaveTimedRole(bool& bTimed, uint64_t nKeepSeen) const;

    class PollTurn;   // Thread.cpp

    runner_func_t m_pFunc;
    void* m_pContext;
    runner_type_e m_eType;
    bool m_bReceives = false;
    bool m_bCounted = false;   // counted as a receiver by Start
};

}  // namespace nox
