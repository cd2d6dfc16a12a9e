#include "nox/RefObj.h"

namespace nox {

namespace {
// Makes every other holder's writes visible before the object is torn down.
// The thread sanitizer does not model fences; an acquire load of the count,
// which heads the release sequence of all decrements, gives it the same edge.
#if defined(__SANITIZE_THREAD__)
void AcquireBeforeDestroy(const std::atomic<int32_t>& nCount)
{
    (void)nCount.load(std::memory_order_acquire);
}
#else
void AcquireBeforeDestroy(const std::atomic<int32_t>& /*nCount*/)
{
    std::atomic_thread_fence(std::memory_order_acquire);
}
#endif
}  // namespace

const char* RefObj::GetObjInfo() const
{
    return "RefObj";
}

void RefObj::Reset()
{
}

RefObj::~RefObj() = default;

void RefObj::destroy()
{
    delete this;
}

int32_t RefObj::ReleaseRef()
{
    const int32_t nNew = m_nRefCount.fetch_sub(1, std::memory_order_release) - 1;
    if (nNew == 0) {
        AcquireBeforeDestroy(m_nRefCount);
        destroy();
    }
    return nNew;
}

}  // namespace nox
