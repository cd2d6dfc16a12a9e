// Event counters of the discovery handler, kept with relaxed atomics: any
// thread adds, the state dump and the stop read.
#pragma once

#include <atomic>
#include <cstdint>

namespace velmora {

enum Counter {
    kRecvJson,          // datagrams received with head 0x20
    kRecvBinary,        // with head 0xA3
    kRecvOther,         // with any other head, or empty
    kFilteredDup,       // dropped by the duplicate filter
    kDropQueueFull,     // dropped because the request queue was full
    kDropOffLink,       // dropped by the on-link check
    kRepliesSent,
    kRepliesWithheld,   // not sent: over the reply budget
    kSendErrors,
    kDecodeFailed,      // too short, unparsable, or not a search
    kCounterCount
};

class Counters {
public:
    void Add(Counter eWhich, uint64_t nCount = 1)
    {
        m_aSlot[eWhich].nValue.fetch_add(nCount, std::memory_order_relaxed);
    }
    uint64_t Get(Counter eWhich) const
    {
        return m_aSlot[eWhich].nValue.load(std::memory_order_relaxed);
    }
    // The name printed beside the value ("received_json" ...).
    static const char* Name(Counter eWhich);
    // What it counts, in a few words ("datagrams received with head 0x20").
    static const char* Help(Counter eWhich);

private:
    // A cache line each: the engine's threads and the workers add to
    // different counters at once.
    struct alignas(64) Slot {
        std::atomic<uint64_t> nValue{0};
    };
    Slot m_aSlot[kCounterCount];
};

}  // namespace velmora
