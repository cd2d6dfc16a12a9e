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
// The timed role: one idle runner at a time owns it, from the wait in which
// it takes it until it leaves for work, and waits with the safety timeout;
// the others wait for an announcement only, so the timeout costs one
// wake-up per period for the whole pool. While a poller keeps a socket for
// its steps (intake::Keeping), a receiving owner waits only the hand-over
// time and then takes over a socket that the same steps still keep. A
// poller that starts keeping calls a watcher (CallWatcher) unless the owner
// waits short already: the owner, cutting its long wait short, or, while
// nobody owns the role, an idle runner, which takes it. The owner waits on
// g_timedCv, the others on g_workCv. All guarded by g_workMutex.
std::condition_variable g_timedCv;
bool g_bTimedHeld = false;
bool g_bTimedWaiting = false;   // the owner is in its wait
bool g_bTimedWoken = false;     // and has been woken for work
bool g_bWatchCall = false;      // a watcher is called
// The owner waits short, or a watcher is called: read without the lock.
std::atomic<bool> g_bWatched{false};
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
    g_timedCv.notify_all();
}

// A poller starts keeping a socket (see g_bTimedHeld). The owner between
// two waits looks at the keeping itself before its next one.
void CallWatcher()
{
    if (g_bWatched.load() || g_nWaiting.load() == 0)
        return;
    std::condition_variable* pCv = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_workMutex);
        if (g_bWatched.load())
            return;
        if (g_bTimedHeld && g_bTimedWaiting) {
            pCv = &g_timedCv;
        } else if (!g_bTimedHeld && g_nWoken < g_nWaiting.load()) {
            ++g_nWoken;
            pCv = &g_workCv;
        } else {
            return;
        }
        g_bWatchCall = true;
        g_bWatched.store(true);
    }
    pCv->notify_one();
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
    void CallWatcher() override { nox::CallWatcher(); }

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
    uint64_t nKeepSeen = 0;  // the timed role's last look at a kept socket
    bool bTimed = false;     // this runner owns the timed role
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
            LeaveTimedRole(bTimed, nKeepSeen);
            bBusy = true;
            continue;
        }
        if (m_bReceives && intake::TakePollRole()) {
            LeaveTimedRole(bTimed, nKeepSeen);
            intake::PollTurn(turn, nEpochBefore);
            bBusy = true;
            continue;
        }
        // Work that came one piece at a time is watched for; after a backlog
        // the next one is as likely to come with a backlog, worth a wake-up.
        // Runners that receive for themselves follow their batches with their
        // steps: nobody needs to watch.
        if (bBusy && !bBacklog && !intake::Serving() && AwaitAnnouncement(nEpochBefore)) {
            LeaveTimedRole(bTimed, nKeepSeen);
            continue;
        }
        bBacklog = false;
        {
            std::unique_lock<std::mutex> lock(g_workMutex);
            g_nWaiting.fetch_add(1);
            bBusy = WaitForWork(lock, nEpochBefore, bTimed, nKeepSeen);
            g_nWaiting.fetch_sub(1);
        }
        if (bTimed && m_bReceives && intake::TakeOverStalled(nKeepSeen)) {
            LeaveTimedRole(bTimed, nKeepSeen);
            intake::PollTurn(turn, g_nEpoch.load());
        }
    }
    LeaveTimedRole(bTimed, nKeepSeen);
    return 0;
}

bool Runner::WaitForWork(std::unique_lock<std::mutex>& lock, uint64_t nEpoch, bool& bTimed,
                         uint64_t nKeepSeen) const
{
    const auto announced = [&] { return g_nEpoch.load() != nEpoch || IsStopSignalled(); };
    for (;;) {
        if (!g_bTimedHeld) {
            g_bTimedHeld = true;
            bTimed = true;
        }
        if (!bTimed) {
            g_workCv.wait(lock, [&] { return announced() || (g_bWatchCall && !g_bTimedHeld); });
            if (g_nWoken > 0)
                --g_nWoken;
            if (announced())
                return true;
            continue;   // called as the watcher while nobody owns the timed role
        }
        // Cleared before the keeping is looked at: a poller that starts
        // keeping after this look sees it cleared and calls.
        g_bWatchCall = false;
        g_bWatched.store(false);
        const bool bShort = m_bReceives && intake::Keeping(nKeepSeen);
        g_bWatched.store(bShort);
        const unsigned nIdleMs = g_nIdleTimeoutMs.load();
        const unsigned nWaitMs = bShort && nIdleMs > intake::kHandOverMs ? intake::kHandOverMs : nIdleMs;
        g_bTimedWaiting = true;
        (void)g_timedCv.wait_for(lock, std::chrono::milliseconds(nWaitMs),
                                 [&] { return announced() || g_bWatchCall; });
        g_bTimedWaiting = false;
        g_bTimedWoken = false;
        if (announced()) {
            g_bTimedHeld = false;   // off to work: the role passes on
            g_bWatched.store(false);
            bTimed = false;
            return true;
        }
        if (!g_bWatchCall)
            return false;   // timed out: still the owner
    }
}

void Runner::LeaveTimedRole(bool& bTimed, uint64_t nKeepSeen) const
{
    if (!bTimed)
        return;
    bTimed = false;
    {
        std::lock_guard<std::mutex> lock(g_workMutex);
        g_bTimedHeld = false;
        g_bWatched.store(false);
    }
    // A socket may be kept by steps that are slow: someone else watches.
    if (m_bReceives && intake::Keeping(nKeepSeen))
        CallWatcher();
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
    // The owner of the timed role is woken last: it watches kept sockets.
    std::condition_variable* pCv = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_workMutex);
        if (g_nWoken < g_nWaiting.load() - (g_bTimedWaiting ? 1 : 0)) {
            ++g_nWoken;
            pCv = &g_workCv;
        } else if (g_bTimedWaiting && !g_bTimedWoken) {
            g_bTimedWoken = true;
            pCv = &g_timedCv;
        } else {
            return;
        }
    }
    pCv->notify_one();
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
