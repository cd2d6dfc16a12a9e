#include "nox/RefObj.h"

namespace nox {

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
        // Every other holder's writes happen before the object is torn down.
        std::atomic_thread_fence(std::memory_order_acquire);
        destroy();
    }
    return nNew;
}

}  // namespace nox
