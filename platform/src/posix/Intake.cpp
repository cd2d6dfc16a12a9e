// Linux side of receiving on the runners' threads (common/Intake.h): one
// epoll set for the whole process, each socket in it one-shot (a readiness
// goes to one thread, and the socket waits for no one until armed again),
// plus an eventfd that wakes the poller.
#include "common/Intake.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>
#include <vector>

#include "nox/Thread.h"
#include "nox/Time.h"

namespace nox {
namespace intake {

namespace {

constexpr uint64_t kWakeKey = 0;   // the eventfd's key in the set

// g_mutex guards the set's sources by key and the kept source; the set and
// the eventfd are made once, by the first receiving runner, and kept.
std::mutex g_mutex;
int g_nEpoll = -1;
int g_nWake = -1;
std::map<uint64_t, std::shared_ptr<Source>> g_mapSource;
uint64_t g_nNextKey = 1;
// Sources whose takers run their steps: the poller's, and each of those
// waiting in a receive (so at most one per runner).
struct Kept {
    std::shared_ptr<Source> pSource;
    uint64_t nSeq;     // its keeping's number (g_nKeepSeq)
    bool bWithRole;    // its taker holds the poll role
};
std::vector<Kept> g_vecKept;
std::vector<std::weak_ptr<Source>> g_vecStranded;   // unwatched, and the set refused it back
std::atomic<bool> g_bStranded{false};
constexpr int kStrandedRetryMs = 100;

std::atomic<int> g_nReceivers{0};
std::atomic<int> g_nSources{0};
std::atomic<bool> g_bPollTaken{false};     // the poll role is held
std::atomic<bool> g_bPollWaiting{false};   // its holder waits in the set
std::atomic<uint64_t> g_nKeepSeq{0};       // counts keepings (a new one per batch's steps)
std::atomic<bool> g_bKeeping{false};
std::atomic<int> g_nWaiting{0};            // runners waiting in a source's receive

bool MakeSetLocked()
{
    if (g_nEpoll >= 0)
        return true;
    const int nEpoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (nEpoll < 0)
        return false;
    const int nWake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeKey;
    if (nWake < 0 || ::epoll_ctl(nEpoll, EPOLL_CTL_ADD, nWake, &ev) != 0) {
        if (nWake >= 0)
            ::close(nWake);
        ::close(nEpoll);
        return false;
    }
    g_nEpoll = nEpoll;
    g_nWake = nWake;
    return true;
}

std::shared_ptr<Source> Find(uint64_t nKey)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_mapSource.find(nKey);
    return it == g_mapSource.end() ? std::shared_ptr<Source>() : it->second;
}

// Sources that the set refused to watch again are armed once more.
void RearmStranded()
{
    std::vector<std::weak_ptr<Source>> vecStranded;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        vecStranded.swap(g_vecStranded);
        g_bStranded.store(false);
    }
    for (const std::weak_ptr<Source>& pWeak : vecStranded) {
        if (const std::shared_ptr<Source> pSource = pWeak.lock())
            pSource->Rearm();
    }
}

// The runner giving it up takes it again after its steps, unless another is
// idle first; at a stop a waiting runner is called for it.
void ReleaseRole(bool bStopping)
{
    g_bPollTaken.store(false);
    if (bStopping && g_nSources.load() > 0)
        Runner::NotifyWork();
}

// The keeping's number, for Unkeep.
uint64_t Keep(const std::shared_ptr<Source>& pSource, bool bWithRole)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    const uint64_t nSeq = g_nKeepSeq.fetch_add(1) + 1;
    g_vecKept.push_back({pSource, nSeq, bWithRole});
    g_bKeeping.store(true);
    return nSeq;
}

// false when another runner took the source over meanwhile.
bool Unkeep(uint64_t nSeq)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    for (auto it = g_vecKept.begin(); it != g_vecKept.end(); ++it) {
        if (it->nSeq == nSeq) {
            g_vecKept.erase(it);
            g_bKeeping.store(!g_vecKept.empty());
            return true;
        }
    }
    return false;
}

// The runner's steps after a batch, with the source kept meanwhile (a watcher
// takes over a slow one). false: another runner took the source over.
bool KeptSteps(Turn& turn, const std::shared_ptr<Source>& pSource, bool bWithRole,
               uint64_t& nEpochSeen)
{
    const uint64_t nKeep = Keep(pSource, bWithRole);
    turn.CallWatcher();
    uint64_t nEpoch = 0;
    bool bAgain = false;
    do {
        nEpoch = turn.Epoch();
        bAgain = turn.Step();
    } while (bAgain && !turn.Stopped());
    nEpochSeen = nEpoch;
    return Unkeep(nKeep);
}

// After a single datagram: whether its source was ready shortly before (a
// client asking again and again), and a receiving runner besides this one
// stays free of such waits to hold the poll role.
bool WaitsInReceive(Source& source)
{
    const uint32_t nTick = Time::GetTick();
    const bool bSoon = nTick - source.nReadyTick < kQuietMs;
    source.nReadyTick = nTick;
    return bSoon && g_nWaiting.load() + 2 <= g_nReceivers.load();
}

// The source, out of the set, is read by waiting in its own receive, with the
// steps after each batch, until it is quiet for kQuietMs, a batch announces
// work (the others help with it), another runner takes it over from a slow
// step, or a stop; then it goes back into the set. An idle runner takes the
// poll role meanwhile. false: the role has left this runner.
bool ServeWaiting(Turn& turn, const std::shared_ptr<Source>& pSource, uint64_t& nEpochSeen)
{
    pSource->Unwatch();
    g_nWaiting.fetch_add(1);
    ReleaseRole(false);
    Runner::NotifyWork();
    for (;;) {
        const uint64_t nBefore = turn.Epoch();
        const int nGot = pSource->TakeBatchWaiting();
        if (nGot < 0)
            break;   // closed: out of the set
        if (nGot == 0 || turn.Epoch() != nBefore || turn.Stopped()) {
            pSource->Rearm();
            break;
        }
        if (!KeptSteps(turn, pSource, false, nEpochSeen))
            break;   // taken over while the steps ran: back in the set
    }
    g_nWaiting.fetch_sub(1);
    return false;
}

// One readable source, for as long as its datagrams keep coming (at most
// kBatchesPerTurn batches), with the runner's steps after each batch; armed
// again once a batch finds nothing. false
// when the poll role has left this runner.
bool Serve(Turn& turn, const std::shared_ptr<Source>& pSource, uint64_t& nEpochSeen)
{
    bool bStream = false;
    for (int nBatch = 0;; ++nBatch) {
        const uint64_t nBefore = turn.Epoch();
        const int nGot = pSource->TakeBatch(nBatch == 0);
        if (nGot < 0)
            return true;   // closed: out of the set
        if (nGot > 0 && turn.Epoch() != nBefore) {
            // More than one step's work: the socket goes back first, so intake
            // goes on while the runners work through the queue.
            pSource->Rearm();
            ReleaseRole(false);
            return false;
        }
        // A stream (a second batch in a row, or a half-full first one) is read
        // on without a readiness until it ends or the turn does, so that the
        // steps' sends call nobody's wait (see Unwatch). A single request's
        // round trip is spared the two calls.
        if (nGot > 0 && !bStream && (nBatch > 0 || nGot >= kBatchSlots / 2)) {
            pSource->Unwatch();
            bStream = true;
        }
        if (nGot > 0) {
            if (!KeptSteps(turn, pSource, true, nEpochSeen))
                return false;   // taken over while the steps ran
        }
        // Datagrams that came during the steps are taken without a wait;
        // after a readiness of a single datagram, though, the socket is most
        // likely empty, and arming it (ready at once should one have come
        // meanwhile) is the shorter way back to the wait.
        if (nGot == 1 && nBatch == 0 && !turn.Stopped() && WaitsInReceive(*pSource))
            return ServeWaiting(turn, pSource, nEpochSeen);
        if (nGot == 0 || (nGot == 1 && nBatch == 0) || nBatch + 1 >= kBatchesPerTurn ||
            turn.Stopped()) {
            pSource->Rearm();
            return true;
        }
    }
}

}  // namespace

bool Active()
{
    return g_nReceivers.load() > 0;
}

bool Add(const std::shared_ptr<Source>& pSource, os::NativeSocket fd)
{
    if (!Active())
        return false;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!MakeSetLocked())
            return false;
        const uint64_t nKey = g_nNextKey++;
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLONESHOT;
        ev.data.u64 = nKey;
        if (::epoll_ctl(g_nEpoll, EPOLL_CTL_ADD, fd, &ev) != 0)
            return false;
        pSource->nIntakeKey = nKey;
        g_mapSource.emplace(nKey, pSource);
    }
    g_nSources.fetch_add(1);
    Runner::NotifyWork();   // a runner idle on the work signal becomes the poller
    return true;
}

void Arm(Source& source, os::NativeSocket fd)
{
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLONESHOT;
    ev.data.u64 = source.nIntakeKey;
    // Armed in the set, or added back; should the set not hold it as the
    // flag says, the other call is made, so that no socket is left unarmed.
    const int nOp = source.bUnwatched ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
    int nRet = ::epoll_ctl(g_nEpoll, nOp, fd, &ev);
    if (nRet != 0 && (errno == ENOENT || errno == EEXIST))
        nRet = ::epoll_ctl(g_nEpoll, nOp == EPOLL_CTL_ADD ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev);
    if (nRet == 0) {
        source.bUnwatched = false;
        return;
    }
    // Refused (no memory): the poller tries again while it waits, from the
    // moment it is woken now.
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto it = g_mapSource.find(source.nIntakeKey);
        if (it != g_mapSource.end())
            g_vecStranded.push_back(it->second);
        g_bStranded.store(true);
    }
    WakePoller();
}

void Unwatch(Source& source, os::NativeSocket fd)
{
    if (source.nIntakeKey == 0 || source.bUnwatched)
        return;
    if (::epoll_ctl(g_nEpoll, EPOLL_CTL_DEL, fd, nullptr) == 0)
        source.bUnwatched = true;
}

void Remove(Source& source, os::NativeSocket fd)
{
    if (source.nIntakeKey == 0)
        return;
    std::shared_ptr<Source> pGone;   // dropped after the lock
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!source.bUnwatched)
            (void)::epoll_ctl(g_nEpoll, EPOLL_CTL_DEL, fd, nullptr);
        auto it = g_mapSource.find(source.nIntakeKey);
        if (it != g_mapSource.end()) {
            pGone = std::move(it->second);
            g_mapSource.erase(it);
        }
    }
    source.nIntakeKey = 0;
    if (pGone)
        g_nSources.fetch_sub(1);
}

void EnterReceiver()
{
    g_nReceivers.fetch_add(1);
}

void LeaveReceiver()
{
    g_nReceivers.fetch_sub(1);
}

bool TakePollRole()
{
    if (g_nSources.load() == 0 || g_bPollTaken.load())
        return false;
    bool bFree = false;
    return g_bPollTaken.compare_exchange_strong(bFree, true);
}

void PollTurn(Turn& turn, uint64_t nEpochSeen)
{
    for (;;) {
        g_bPollWaiting.store(true);
        // An announcement or stop from now on sees the flag and wakes the wait.
        if (turn.Stopped() || turn.Epoch() != nEpochSeen || g_nSources.load() == 0) {
            g_bPollWaiting.store(false);
            ReleaseRole(turn.Stopped());
            return;
        }
        int nTimeoutMs = -1;
        if (g_bStranded.load()) {
            RearmStranded();
            nTimeoutMs = kStrandedRetryMs;
        }
        epoll_event ev{};
        const int nReady = ::epoll_wait(g_nEpoll, &ev, 1, nTimeoutMs);
        g_bPollWaiting.store(false);
        if (nReady <= 0)
            continue;   // interrupted
        if (ev.data.u64 == kWakeKey) {
            uint64_t nCount = 0;
            (void)!::read(g_nWake, &nCount, sizeof(nCount));
            continue;
        }
        const std::shared_ptr<Source> pSource = Find(ev.data.u64);
        if (pSource && !Serve(turn, pSource, nEpochSeen))
            return;
    }
}

void WakePoller()
{
    if (!g_bPollWaiting.load())
        return;
    const uint64_t nOne = 1;
    (void)!::write(g_nWake, &nOne, sizeof(nOne));
}

bool Serving()
{
    return g_nSources.load() > 0 && g_nReceivers.load() > 0;
}

bool Keeping(uint64_t nKeepSeen)
{
    return g_bKeeping.load() || g_nKeepSeq.load() != nKeepSeen;
}

bool TakeOverStalled(uint64_t& nKeepSeen)
{
    // Kept since the caller's last look: for its whole wait at least.
    std::vector<std::shared_ptr<Source>> vecStalled;
    bool bWithRole = false;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        for (auto it = g_vecKept.begin(); it != g_vecKept.end();) {
            if (it->nSeq > nKeepSeen) {
                ++it;
                continue;
            }
            vecStalled.push_back(std::move(it->pSource));
            bWithRole = bWithRole || it->bWithRole;
            it = g_vecKept.erase(it);
        }
        g_bKeeping.store(!g_vecKept.empty());
        nKeepSeen = g_nKeepSeq.load();
    }
    for (const std::shared_ptr<Source>& pSource : vecStalled)
        pSource->Rearm();
    return bWithRole;   // the poll role passes with a source whose taker held it
}

}  // namespace intake
}  // namespace nox
