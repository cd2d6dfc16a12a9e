// Hands an immutable object from one writer to any number of reader threads
// without a lock: readers see the current object for as long as they hold it,
// and a replaced one is freed once no reader holds it any more.
#pragma once

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace velmora {

// Readers (any thread) take a Hold: they claim one of kSlots hazard slots,
// publish the pointer they read there and read the current pointer again
// until both agree, so the writer, which swaps first and looks at the slots
// afterwards, cannot free what a reader announced. Taking and dropping a Hold
// is a few atomic operations on the reader's own slot; nothing waits for
// another thread. One writer at a time calls Publish and Reclaim; replaced
// objects wait in a list until a Reclaim finds no slot showing them.
template <class T>
class Snapshot {
    // One reader's hazard slot (declared first: Hold refers to it).
    struct Slot {
        std::atomic<bool> bTaken{false};
        std::atomic<const T*> pHeld{nullptr};
    };

public:
    // More than the threads that can ever hold at once (workers, engine
    // threads, the main thread, the watcher, each at most twice).
    static constexpr int kSlots = 64;

    Snapshot() = default;
    ~Snapshot()   // no Hold may be left
    {
        Reclaim(true);
        delete m_pCurrent.load();
    }
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;

    class Hold {
    public:
        explicit Hold(Snapshot& box) : m_slot(box.Claim())
        {
            const T* p = box.m_pCurrent.load();
            for (;;) {
                m_slot.pHeld.store(p);
                const T* pAgain = box.m_pCurrent.load();
                if (pAgain == p)
                    break;
                p = pAgain;
            }
            m_p = p;
        }
        ~Hold()
        {
            m_slot.pHeld.store(nullptr);
            m_slot.bTaken.store(false, std::memory_order_release);
        }
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

        const T* get() const { return m_p; }   // null before the first Publish
        const T& operator*() const { return *m_p; }
        const T* operator->() const { return m_p; }

    private:
        Slot& m_slot;
        const T* m_p = nullptr;
    };

    // Makes pNext the current object; the one it replaces is freed by this or
    // a later Reclaim, once no Hold shows it.
    void Publish(std::unique_ptr<const T> pNext)
    {
        const T* pOld = m_pCurrent.exchange(pNext.release());
        if (pOld != nullptr)
            m_vecRetired.push_back(pOld);
        Reclaim(false);
    }

    // Frees the replaced objects that no Hold shows; the number still kept.
    size_t Reclaim() { return Reclaim(false); }

private:
    Slot& Claim()
    {
        for (;;) {
            for (Slot& slot : m_aSlot) {
                if (!slot.bTaken.load(std::memory_order_relaxed) &&
                    !slot.bTaken.exchange(true, std::memory_order_acquire))
                    return slot;
            }
            std::this_thread::yield();   // every slot held: more holders than threads
        }
    }

    size_t Reclaim(bool bAll)
    {
        std::vector<const T*> vecKept;
        for (const T* p : m_vecRetired) {
            bool bShown = false;
            for (const Slot& slot : m_aSlot)
                bShown = bShown || (!bAll && slot.pHeld.load() == p);
            if (bShown)
                vecKept.push_back(p);
            else
                delete p;
        }
        m_vecRetired.swap(vecKept);
        return m_vecRetired.size();
    }

    std::atomic<const T*> m_pCurrent{nullptr};
    Slot m_aSlot[kSlots];
    std::vector<const T*> m_vecRetired;   // the writer's
};

}  // namespace velmora
