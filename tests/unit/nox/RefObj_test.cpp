#include "nox/RefObj.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

std::atomic<int> g_nDestroyed{0};

class Counted : public nox::RefObj {
public:
    void destroy() override
    {
        g_nDestroyed.fetch_add(1);
        nox::RefObj::destroy();
    }
};

TEST(RefObjTest, LastReleaseDestroysOnce)
{
    g_nDestroyed = 0;
    auto* pObj = new Counted;
    EXPECT_EQ(0, pObj->RefCount());
    {
        nox::Ref<Counted> ref(pObj);
        nox::Ref<nox::RefObj> base(ref);
        EXPECT_EQ(2, pObj->RefCount());
        pObj->Reset();
        EXPECT_EQ(2, pObj->RefCount()) << "Reset keeps the count";
        ref.release();
        EXPECT_FALSE(ref);
        EXPECT_EQ(0, g_nDestroyed.load());
    }
    EXPECT_EQ(1, g_nDestroyed.load());
}

TEST(RefObjTest, CopiesAcrossThreadsDestroyExactlyOnce)
{
    for (int nRound = 0; nRound < 200; ++nRound) {
        g_nDestroyed = 0;
        nox::Ref<Counted> ref(new Counted);
        std::vector<std::thread> vecThread;
        for (int i = 0; i < 8; ++i) {
            vecThread.emplace_back([copy = ref]() mutable {
                for (int j = 0; j < 50; ++j) {
                    nox::Ref<Counted> another(copy);
                    nox::Ref<Counted> moved(std::move(another));
                }
                copy.release();
            });
        }
        ref.release();  // the threads may now hold the last references
        for (auto& thread : vecThread)
            thread.join();
        ASSERT_EQ(1, g_nDestroyed.load()) << "round " << nRound;
    }
}

}  // namespace
