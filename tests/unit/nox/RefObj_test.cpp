#include "nox/RefObj.h"

#include <gtest/gtest.h>

namespace {

// Says when it is destroyed.
class Counted : public nox::RefObj {
public:
    explicit Counted(bool& bGone) : m_bGone(bGone) {}
    ~Counted() override { m_bGone = true; }

private:
    bool& m_bGone;
};

// The object lives while any handle holds it and goes with the last one.
TEST(RefObjTest, TheLastReferenceDestroysTheObject)
{
    bool bGone = false;
    nox::Ref<Counted> first(new Counted(bGone));
    {
        nox::Ref<Counted> second(first);
        nox::Ref<nox::RefObj> base(second);
        EXPECT_EQ(4, first->AddRef());
        EXPECT_EQ(3, first->ReleaseRef());
    }
    EXPECT_FALSE(bGone);
    nox::Ref<Counted> moved(std::move(first));
    EXPECT_FALSE(bGone);
    moved.release();
    EXPECT_TRUE(bGone);
}

}  // namespace
