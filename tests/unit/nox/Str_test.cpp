#include "nox/Str.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

namespace {

TEST(StrTest, AsIntParsesLikeAtoiAndSaturates)
{
    const std::pair<const char*, int> aCase[] = {
        {"  42abc", 42}, {"-7", -7}, {"+3", 3}, {"\t\n 12 34", 12}, {"", 0}, {"abc", 0},
        {"0x10", 0}, {"- 5", 0}, {"2147483647", INT_MAX}, {"-2147483648", INT_MIN},
        {"99999999999", INT_MAX}, {"-99999999999999999999999", INT_MIN}};
    for (const auto& c : aCase)
        EXPECT_EQ(c.second, nox::Str(c.first).asInt()) << '"' << c.first << '"';
}

TEST(StrTest, SubstrAndIndexStayInsideTheText)
{
    const nox::Str str("hello");
    const struct { int nPos, nLen; const char* szWant; } aSub[] = {
        {1, 3, "ell"}, {2, -1, "llo"}, {3, 100, "lo"}, {5, -1, ""}, {99, 2, ""}, {-1, 2, ""}};
    for (const auto& c : aSub)
        EXPECT_EQ(nox::Str(c.szWant), str.substr(c.nPos, c.nLen)) << c.nPos << "," << c.nLen;
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

    const std::string strLong(5000, 'q');
    str.assignfmt("%s-%d", strLong.c_str(), 7);
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
    EXPECT_EQ(3, nox::Str::sprintf_x(szBuf, sizeof(szBuf), "%d", 142));
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
