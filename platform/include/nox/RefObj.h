// Reference-counted objects and the handle that counts them.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

namespace nox {

// Base of every shared object. The count is 0 after construction; the first
// Ref takes it to 1, and when the last Ref lets go the object calls destroy(),
// which deletes it. Such objects are never deleted directly.
class RefObj {
public:
    RefObj() : m_nRefCount(0) {}
    RefObj(const RefObj&) = delete;
    RefObj& operator=(const RefObj&) = delete;

    virtual const char* GetObjInfo() const;   // a short type text, for dumps
    virtual void Reset();                     // back to the constructed state (count kept)
    virtual ~RefObj();
    virtual void destroy();                   // called once when the count reaches 0

    int32_t AddRef() { return m_nRefCount.fetch_add(1, std::memory_order_relaxed) + 1; }
    int32_t ReleaseRef();                     // calls destroy() at 0; returns the new count
    int32_t RefCount() const { return m_nRefCount.load(std::memory_order_acquire); }

private:
    std::atomic<int32_t> m_nRefCount;
};

// A counted handle. Taking a pointer adds a reference; release() (or the
// destructor) gives it back and leaves the handle empty.
template <class T>
class Ref {
public:
    Ref() : m_p(nullptr) {}
    Ref(T* p) : m_p(p) { if (m_p) m_p->AddRef(); }  // NOLINT: implicit by design
    Ref(const Ref& other) : Ref(other.m_p) {}
    Ref(Ref&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    template <class U>
    Ref(const Ref<U>& other) : Ref(other.get()) {}  // NOLINT: derived to base
    ~Ref() { release(); }

    Ref& operator=(Ref other) noexcept
    {
        std::swap(m_p, other.m_p);
        return *this;
    }

    void release()
    {
        if (T* p = std::exchange(m_p, nullptr))
            p->ReleaseRef();
    }

    T* get() const { return m_p; }
    T* operator->() const { return m_p; }
    T& operator*() const { return *m_p; }
    explicit operator bool() const { return m_p != nullptr; }

private:
    T* m_p;
};

}  // namespace nox
