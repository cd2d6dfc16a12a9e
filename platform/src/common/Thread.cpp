#include "nox/Thread.h"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

#include "common/Intake.h"
#include "common/RuntimeOs.h"
#include "nox/PrintLog.h"

namespace nox {

namespace {

const char kSrc[] = "nox/Thread";

// The process-wide work signal. A runner about to wait counts itself in
// g_nWaiting under g_workMutex and then looks at g_nEpoch; NotifyWork moves
// g_nEpoch and then looks at g_nWaiting (both sequentially consistent), so
// either the runner sees the new epoch or NotifyWork sees the waiter, and
// then takes the lock before it notifies: no announcement is lost, and none
// costs a system call while nobody waits. g_nWoken counts waiters notified
// but not yet running, so a burst of announcements wakes each waiter once.
std::mutex g_workMutex;
std::condition_variable g_workCv;
std::atomic<uint64_t> g_nEpoch{0};
std::atomic<int> g_nWaiting{0};
int g_nWoken = 0;   // guarded by g_workMutex
// One waiting runner at a time waits with the safety timeout (guarded by
// g_workMutex); the others wait for an announcement only, so the timeout
// costs one wake-up per period for the whole pool.
bool g_bTimedWaiter = false;
std::atomic<unsigned> g_nIdleTimeoutMs{5000};
thread_local bool t_bCallAgain = false;
thread_local bool t_bInLoop = false;   // a kind-2 runner's function is running here
thread_local const void* t_pLoopContext = nullptr;   // that runner's context

// After announced work that came one piece at a time a runner watches for
// more this long, yielding the CPU, before it waits: work that follows soon
// costs no wake-up on either side. One runner at a time watches
// (g_nWatching); the others wait at once.
constexpr auto kBusyWait = std::chrono::microseconds(50);
std::atomic<int> g_nWatching{0};

void WakeAllWaiters()
{
    std::lock_guard<std::mutex> lock(g_workMutex);
    g_workCv.notify_all();
}

// One step of a runner; whatever it throws is logged and the runner goes on.
// -1 when it threw.
template <class Step>
int GuardedStep(const Step& step)
{
    static const char kFn[] = "Runner::run";
    try {
        return step();
    } catch (const std::exception& ex) {
        NOX_LOG(kSrc, kFn, kLogError, "runner step threw: %s", ex.what());
    } catch (...) {
        NOX_LOG(kSrc, kFn, kLogError, "runner step threw an unknown exception");
    }
    return -1;
}

}  // namespace

// Owned by one Thread object; a copy of the object gets a new State.
struct Thread::State {
    std::thread thread;
    std::mutex joinMutex;               // serialises Start and Join
    std::atomic<bool> bStarted{false};
    std::atomic<bool> bStop{false};
};

Thread::Thread() : m_pState(std::make_shared<State>()) {}

Thread::Thread(const Thread& /*other*/) : m_pState(std::make_shared<State>()) {}

Thread& Thread::operator=(const Thread& other)
{
    if (this != &other) {
        // The target's own thread, if any, is finished first; it then starts afresh.
        m_pState->bStop.store(true);
        WakeAllWaiters();
        Join();
        m_pState = std::make_shared<State>();
    }
    return *this;
}

Thread::~Thread()
{
    // A subclass whose run() uses its own members must stop in its own
    // destructor (Runner does); this is the last safety net.
    if (m_pState && m_pState->bStarted.load()) {
        m_pState->bStop.store(true);
        WakeAllWaiters();
        Join();
    }
}

int Thread::Start()
{
    std::lock_guard<std::mutex> lock(m_pState->joinMutex);
    if (m_pState->bStarted.load())
        return -1;
    try {
        m_pState->thread = std::thread([this] {
            os::ScopedSignalStack signalStack;
            run();
        });
    } catch (const std::system_error&) {
        return -1;
    }
    m_pState->bStarted.store(true);
    return 0;
}

void Thread::SignalStop()
{
    m_pState->bStop.store(true);
    WakeAllWaiters();  // a waiting runner sees its flag at once
    intake::WakePoller();
}

int Thread::Stop()
{
    SignalStop();
    return Join();
}

void Thread::heartbeat()
{
}

int Thread::Join()
{
    std::lock_guard<std::mutex> lock(m_pState->joinMutex);
    std::thread& thread = m_pState->thread;
    if (!thread.joinable())
        return 0;
    if (thread.get_id() == std::this_thread::get_id())
        return -1;  // joining itself would never return
    thread.join();
    return 0;
}

bool Thread::IsStopSignalled() const
{
    return m_pState->bStop.load();
}

bool Thread::IsStarted() const
{
    return m_pState->bStarted.load();
}

void Thread::SleepMs(unsigned nMs)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(nMs));
}

Runner::Runner(runner_func_t pFunc, void* pContext, runner_type_e eType)
    : m_pFunc(pFunc), m_pContext(pContext), m_eType(eType)
{
}

Runner::~Runner()
{
    // Stop while this object is still whole: run() reads m_pFunc and m_pContext.
    Runner::Stop();
}

int Runner::Start()
{
    const bool bCount = m_bReceives && m_eType == RUNNER_LOOP && m_pFunc != nullptr && !IsStarted();
    if (bCount)
        intake::EnterReceiver();   // before the thread: sockets opened next are received by it
    m_bCounted = bCount;           // the thread counts itself out as it ends
    const int nRet = Thread::Start();
    if (bCount && nRet != 0) {
        m_bCounted = false;
        intake::LeaveReceiver();
    }
    return nRet;
}

// The poll role's turn on this runner (see common/Intake.h).
class Runner::PollTurn : public intake::Turn {
public:
    explicit PollTurn(Runner& runner) : m_runner(runner) {}
    bool Step() override
    {
        t_bCallAgain = false;
        (void)GuardedStep([this] {
            m_runner.m_pFunc(m_runner.m_pContext, nullptr);
            m_runner.heartbeat();
            return 0;
        });
        return t_bCallAgain;
    }
    bool Stopped() const override { return m_runner.IsStopSignalled(); }
    uint64_t Epoch() const override { return g_nEpoch.load(); }

private:
    Runner& m_runner;
};

void Runner::SignalStop()
{
    Thread::SignalStop();
}

int Runner::Stop()
{
    return Thread::Stop();
}

void Runner::heartbeat()
{
}

int Runner::run()
{
    if (m_pFunc == nullptr)
        return -1;
    if (m_eType != RUNNER_LOOP)
        return GuardedStep([this] { return m_pFunc(m_pContext, nullptr); });

    struct Receiver {
        bool bCounted;
        ~Receiver()
        {
            if (bCounted)
                intake::LeaveReceiver();
        }
    } receiver{m_bCounted};
    t_bInLoop = true;
    t_pLoopContext = m_pContext;
    PollTurn turn(*this);
    uint64_t nKeepSeen = 0;  // the safety-timeout waiter's last look at a kept socket
    bool bBusy = false;      // this step was announced or asked for
    bool bBacklog = false;   // a step since the last wait asked to be called again
    while (!IsStopSignalled()) {
        const uint64_t nEpochBefore = g_nEpoch.load();
        t_bCallAgain = false;
        (void)GuardedStep([this] {
            m_pFunc(m_pContext, nullptr);
            heartbeat();
            return 0;
        });
        bBacklog = bBacklog || t_bCallAgain;
        if (t_bCallAgain || g_nEpoch.load() != nEpochBefore) {
            bBusy = true;
            continue;
        }
        if (m_bReceives && intake::TakePollRole()) {
            intake::PollTurn(turn, nEpochBefore);
            bBusy = true;
            continue;
        }
        // Work that came one piece at a time is watched for; after a backlog
        // the next one is as likely to come with a backlog, worth a wake-up.
        // Runners that receive for themselves follow their batches with their
        // steps: nobody needs to watch.
        if (bBusy && !bBacklog && !intake::Serving() && AwaitAnnouncement(nEpochBefore))
            continue;
        bBacklog = false;
        std::unique_lock<std::mutex> lock(g_workMutex);
        g_nWaiting.fetch_add(1);
        const auto announced = [&] { return g_nEpoch.load() != nEpochBefore || IsStopSignalled(); };
        if (g_bTimedWaiter) {
            g_workCv.wait(lock, announced);
            bBusy = true;
        } else {
            // While a poller keeps a socket for its steps, the wait is short:
            // steps that keep it too long lose it to this runner.
            g_bTimedWaiter = true;
            const unsigned nIdleMs = g_nIdleTimeoutMs.load();
            const unsigned nWaitMs = m_bReceives ? intake::WaitMs(nKeepSeen, nIdleMs) : nIdleMs;
            bBusy = g_workCv.wait_for(lock, std::chrono::milliseconds(nWaitMs), announced);
            g_bTimedWaiter = false;
        }
        g_nWaiting.fetch_sub(1);
        if (g_nWoken > 0)
            --g_nWoken;
        lock.unlock();
        if (!bBusy && m_bReceives && intake::TakeOverStalled(nKeepSeen))
            intake::PollTurn(turn, g_nEpoch.load());
    }
    return 0;
}

bool Runner::AwaitAnnouncement(uint64_t nEpoch) const
{
    if (g_nWatching.fetch_add(1) != 0) {   // one watcher is enough
        g_nWatching.fetch_sub(1);
        return false;
    }
    bool bAnnounced = false;
    const auto tEnd = std::chrono::steady_clock::now() + kBusyWait;
    do {
        std::this_thread::yield();
        bAnnounced = g_nEpoch.load() != nEpoch;
    } while (!bAnnounced && !IsStopSignalled() && std::chrono::steady_clock::now() < tEnd);
    g_nWatching.fetch_sub(1);
    return bAnnounced;
}

void Runner::NotifyWork()
{
    g_nEpoch.fetch_add(1);
    // A watching runner sees the new epoch itself (it checks the epoch again
    // under the lock before it waits, should it stop watching meanwhile).
    if (g_nWatching.load() != 0)
        return;
    if (g_nWaiting.load() == 0) {
        intake::WakePoller();   // the only idle runner may be the poller
        return;
    }
    {
        std::lock_guard<std::mutex> lock(g_workMutex);
        if (g_nWoken >= g_nWaiting.load())
            return;
        ++g_nWoken;
    }
    g_workCv.notify_one();
}

bool Runner::BeginLastStretch()
{
    // Only a loop runner looks at the epoch again when its function returns.
    if (!t_bInLoop)
        return false;
    if (g_nWatching.fetch_add(1) == 0)
        return true;
    g_nWatching.fetch_sub(1);
    return false;
}

void Runner::EndLastStretch(bool bTaken)
{
    if (bTaken)
        g_nWatching.fetch_sub(1);
}

const void* Runner::CurrentContext()
{
    return t_bInLoop ? t_pLoopContext : nullptr;
}

void Runner::CallAgain()
{
    t_bCallAgain = true;
}

void Runner::SetIdleTimeoutMs(unsigned nMs)
{
    g_nIdleTimeoutMs.store(nMs);
}

}  // namespace nox
