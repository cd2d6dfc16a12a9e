// Locks and the 32-bit atomic counter.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "nox/Compat.h"

namespace nox {

// A non-recursive mutex.
class NOX_CAPABILITY("mutex") Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void Lock() NOX_ACQUIRE() { m_mutex.lock(); }
    void Unlock() NOX_RELEASE() { m_mutex.unlock(); }

private:
    std::mutex m_mutex;
};

// Holds a Mutex for its scope.
class NOX_SCOPED_CAPABILITY MutexGuard {
public:
    explicit MutexGuard(Mutex& mutex) NOX_ACQUIRE(mutex) : m_mutex(mutex) { m_mutex.Lock(); }
    ~MutexGuard() NOX_RELEASE() { m_mutex.Unlock(); }
    MutexGuard(const MutexGuard&) = delete;
    MutexGuard& operator=(const MutexGuard&) = delete;

private:
    Mutex& m_mutex;
};

// A 32-bit counter; Increment and Decrement return the new value.
class Atomic {
public:
    explicit Atomic(int32_t nValue = 0) : m_nValue(nValue) {}
    Atomic(const Atomic&) = delete;
    Atomic& operator=(const Atomic&) = delete;

    int32_t Increment() { return m_nValue.fetch_add(1) + 1; }
    int32_t Decrement() { return m_nValue.fetch_sub(1) - 1; }
    int32_t Get() const { return m_nValue.load(); }
    operator int32_t() const { return m_nValue.load(); }

private:
    std::atomic<int32_t> m_nValue;
};

}  // namespace nox
