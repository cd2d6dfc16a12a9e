#include "nox/Str.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Formatting goes past the 255 bytes of the first buffer.
TEST(StrTest, AssignfmtOfAnyLength)
{
    for (size_t nLen : {10, 5000}) {
        nox::Str str;
        str.assignfmt("%s-%d", std::string(nLen, 'q').c_str(), 7);
        EXPECT_EQ(std::string(nLen, 'q') + "-7", str.str());
    }
}

}  // namespace
