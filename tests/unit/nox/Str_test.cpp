#include "nox/Str.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>

namespace {

TEST(StrTest, AsIntParsesLikeAtoiAndSaturates)
{
    EXPECT_EQ(42, nox::Str("  42abc").asInt());
    EXPECT_EQ(-7, nox::Str("-7").asInt());
    EXPECT_EQ(3, nox::Str("+3").asInt());
    EXPECT_EQ(12, nox::Str("\t\n 12 34").asInt());
    EXPECT_EQ(0, nox::Str("").asInt());
    EXPECT_EQ(0, nox::Str("abc").asInt());
    EXPECT_EQ(0, nox::Str("0x10").asInt());
    EXPECT_EQ(0, nox::Str("- 5").asInt());
    EXPECT_EQ(INT_MAX, nox::Str("2147483647").asInt());
    EXPECT_EQ(INT_MIN, nox::Str("-2147483648").asInt());
    EXPECT_EQ(INT_MAX, nox::Str("99999999999").asInt());
    EXPECT_EQ(INT_MIN, nox::Str("-99999999999999999999999").asInt());
}

TEST(StrTest, SubstrAndIndexStayInsideTheText)
{
    const nox::Str str("hello");
    EXPECT_EQ(nox::Str("ell"), str.substr(1, 3));
    EXPECT_EQ(nox::Str("llo"), str.substr(2));
    EXPECT_EQ(nox::Str("lo"), str.substr(3, 100));
    EXPECT_TRUE(str.substr(5).empty());
    EXPECT_TRUE(str.substr(99, 2).empty());
    EXPECT_TRUE(str.substr(-1, 2).empty());
    EXPECT_EQ('h', str[0]);
    EXPECT_EQ('o', str[4]);
    EXPECT_EQ(0, str[5]);
    EXPECT_EQ(0, str[-1]);
}

TEST(StrTest, BuildsFromLengthsNullsAndFormats)
{
    EXPECT_EQ(nox::Str("ab"), nox::Str("abc", 2));
    EXPECT_TRUE(nox::Str(nullptr).empty());
    const char aEmbedded[] = {'a', '\0', 'b'};
    EXPECT_EQ(3, nox::Str(aEmbedded, 3).length());

    nox::Str str("x");
    str.append("yz").append("1234", 2);
    EXPECT_TRUE(str == "xyz12");
    EXPECT_TRUE(str != "xyz");

    std::string strLong(5000, 'q');
    str.assignfmt("%s-%d", strLong.c_str(), 7);
    EXPECT_EQ(5002, str.length());
    EXPECT_EQ(strLong + "-7", str.str());

    str = "Mixed CASE 9";
    EXPECT_STREQ("mixed case 9", str.tolower().c_str());
}

TEST(StrTest, StricmpIgnoresAsciiCaseOnly)
{
    EXPECT_EQ(0, nox::Str::stricmp("/VERSION", "/version"));
    EXPECT_EQ(0, nox::Str::stricmp("", ""));
    EXPECT_LT(nox::Str::stricmp("-v", "-vx"), 0);
    EXPECT_GT(nox::Str::stricmp("b", "A"), 0);
    EXPECT_NE(0, nox::Str::stricmp("-v", "-w"));
}

TEST(StrTest, BoundedCopiesTruncateAndTerminate)
{
    char szBuf[8];
    memset(szBuf, 'Z', sizeof(szBuf));
    EXPECT_EQ(7, nox::Str::sprintf_x(szBuf, sizeof(szBuf), "log/V-%d", 123456));
    EXPECT_STREQ("log/V-1", szBuf);
    EXPECT_EQ(3, nox::Str::sprintf_x(szBuf, sizeof(szBuf), "%d", 42 + 100));
    EXPECT_STREQ("142", szBuf);
    EXPECT_EQ(-1, nox::Str::sprintf_x(szBuf, 0, "%d", 1));

    memset(szBuf, 'Z', sizeof(szBuf));
    EXPECT_EQ(7, nox::Str::strcpy_x(szBuf, sizeof(szBuf), "0123456789"));
    EXPECT_STREQ("0123456", szBuf);
    EXPECT_EQ(2, nox::Str::strcpy_x(szBuf, sizeof(szBuf), "ab"));
    EXPECT_STREQ("ab", szBuf);
    char szOne[1] = {'Z'};
    EXPECT_EQ(0, nox::Str::strcpy_x(szOne, 1, "abc"));
    EXPECT_EQ('\0', szOne[0]);
    EXPECT_EQ(-1, nox::Str::strcpy_x(szBuf, sizeof(szBuf), nullptr));
    EXPECT_STREQ("", szBuf);
}

}  // namespace
