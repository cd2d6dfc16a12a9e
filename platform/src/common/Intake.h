// Receiving on the runners' own threads. Where the system has it (Linux:
// epoll), the engine's port sockets wait in one set, each armed for one
// readiness at a time, instead of in the event threads' loops, and one idle
// receiving runner at a time (the poller) waits on that set. It takes a batch
// from the socket that became readable, delivers it (the handler's OnData on
// the runner's own thread), runs its own function until that asks for no
// more, and goes on with the same socket while datagrams keep coming; then
// it arms the socket again and waits. So a request is received, queued,
// taken and answered on one thread, without a wake-up between them.
//
// Hand-offs: when a batch announced work (Runner::NotifyWork: more queued
// than one step takes), the socket is armed again and the poll role given up
// before the steps, so whichever runner is idle first takes it. A runner
// whose steps keep a socket for longer than the hand-over time loses it to
// the runner that waits with the safety timeout, which arms it and polls:
// a poller that starts keeping while no runner waits the short time calls
// one (Turn::CallWatcher), so a slow step is caught within about the
// hand-over time even when the waiter was in its long wait.
// A stop or an announcement while nobody else waits reaches the poller
// through an eventfd in the set.
//
// Requests that come one at a time, each soon after the answer to the last
// (a client that asks again and again), are read sooner by a runner that
// waits in the socket's own receive: the datagram comes back with the
// wake-up, where the set's wake-up needs a receive after it. So a poller
// that serves a single datagram whose socket was ready less than kQuietMs
// before takes the socket out of the set, leaves the poll role to an idle
// runner and waits in the receive, serving each request that comes, until
// the socket stays quiet for kQuietMs, a batch announces work or a stop
// comes; then the socket goes back into the set. At least one receiving
// runner never waits so, and a close wakes the receive (ShutdownRead).
#pragma once

#include <cstdint>
#include <memory>

#include "common/NetEngineOs.h"

namespace nox {
namespace intake {

constexpr int kBatchSlots = 32;        // datagrams a source takes per batch
constexpr int kBatchesPerTurn = 8;     // then the socket is armed again (the others' turn)
constexpr unsigned kHandOverMs = 20;   // a step keeping a socket longer loses it
constexpr unsigned kQuietMs = 20;      // a runner waits in a socket's receive this long

// A socket received by the runners (the engine's port socket).
class Source {
public:
    virtual ~Source() = default;
    // Takes up to kBatchSlots waiting datagrams and delivers them: their
    // count, or -1 when the source has closed or failed (it is then not armed
    // again). bFirst: the first batch after a readiness.
    virtual int TakeBatch(bool bFirst) = 0;
    // The same, after waiting for a datagram (at most kQuietMs) in the
    // socket's receive: 0 when none came. For the runner that took the
    // source out of the set and keeps it for nobody else.
    virtual int TakeBatchWaiting() = 0;
    // Arms the source for its next readiness, unless it has closed.
    virtual void Rearm() = 0;
    // Its taker goes on reading it without a readiness: the set stops
    // watching it until Rearm (see Unwatch below), unless it has closed.
    virtual void Unwatch() = 0;

    uint64_t nIntakeKey = 0;   // set by Add; 0: not in the set
    bool bUnwatched = false;   // out of the set's watch until armed again (its lock)
    uint32_t nReadyTick = 0;   // its last readiness (Time::GetTick), for its poller
};

// Whether sockets that start receiving now are served by runners: the
// system has the set and at least one receiving runner has been started.
bool Active();
// Puts the source (its socket fd) into the set, armed, and wakes a runner to
// poll it. false: not Active, or the system refused (the caller receives it
// some other way). The caller holds the source's lock.
bool Add(const std::shared_ptr<Source>& pSource, os::NativeSocket fd);
// Arms it again; the caller holds its lock and has seen it open.
void Arm(Source& source, os::NativeSocket fd);
// Stops watching it while a runner keeps reading it: a watched socket has
// the set's entry on its wait queue, and every datagram it sends calls that
// entry when the kernel frees it, although the armed-once entry wants
// nothing. Arm watches it again, and a datagram waiting by then makes it
// ready at once. The caller holds its lock and has seen it open.
void Unwatch(Source& source, os::NativeSocket fd);
// Takes it out of the set; the caller holds its lock, before closing fd.
void Remove(Source& source, os::NativeSocket fd);

// The runner side (Runner::run). A receiving runner counts itself from its
// Start to the end of its thread.
void EnterReceiver();
void LeaveReceiver();

// What PollTurn needs of the runner it runs on.
class Turn {
public:
    virtual ~Turn() = default;
    virtual bool Step() = 0;            // runs the function once; true: call it again
    virtual bool Stopped() const = 0;
    virtual uint64_t Epoch() const = 0;   // Runner::NotifyWork's count
    // The poller starts keeping a socket for its steps: an idle runner is
    // to wait the hand-over time (Keeping) unless one does already.
    virtual void CallWatcher() = 0;
};

// Takes the poll role when nobody holds it and a socket is in the set.
bool TakePollRole();
// The poll role's turn, for the runner that holds it (TakePollRole or
// TakeOverStalled): returns once the role is given up: on a stop, on an
// announcement after nEpochSeen (the epoch before the runner's last step),
// or at a hand-off.
void PollTurn(Turn& turn, uint64_t nEpochSeen);
// While the poller waits in the set: wakes it (a stop, or work announced
// while no other runner waits). Costs nothing otherwise.
void WakePoller();
// Whether runners are receiving (the idle runners need not watch for work:
// the poller's own steps follow its batches).
bool Serving();
// For the runner waiting with the safety timeout: whether a socket is kept
// now or has been since nKeepSeen (then it waits only kHandOverMs), and
// after such a wait, it takes over each socket kept by the same steps since
// its last look: armed again. true when the poll role, which such steps'
// runner held, is now the caller's (run PollTurn). nKeepSeen is the
// caller's note of the last keeping it saw.
bool Keeping(uint64_t nKeepSeen);
bool TakeOverStalled(uint64_t& nKeepSeen);

}  // namespace intake
}  // namespace nox
