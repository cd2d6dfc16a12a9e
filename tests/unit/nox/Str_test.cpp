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

// Every bound: indexes and positions outside the text, integers past the int
// range, null pointers, buffers too small, fields without a NUL.
TEST(StrTest, BoundsOfEachOperation)
{
    const nox::Str str("Abc", -1);
    EXPECT_EQ('A', str[0]);
    EXPECT_EQ('c', str[2]);
    EXPECT_EQ('\0', str[3]);
    EXPECT_EQ('\0', str[-1]);
    EXPECT_EQ("bc", str.substr(1).str());
    EXPECT_EQ("b", str.substr(1, 1).str());
    EXPECT_EQ("", str.substr(3).str());
    EXPECT_EQ("", str.substr(9, 2).str());
    EXPECT_EQ("Ab", nox::Str("Abc", 2).str());
    EXPECT_EQ("", nox::Str(nullptr).str());

    const struct { const char* szText; int nValue; } kInts[] = {
        {" -12x", -12}, {"+7", 7}, {"x1", 0}, {"", 0}, {"2147483647", 2147483647},
        {"2147483648", 2147483647}, {"-2147483648", -2147483647 - 1}, {"-99999999999", -2147483647 - 1},
    };
    for (const auto& i : kInts)
        EXPECT_EQ(i.nValue, nox::Str(i.szText).asInt()) << i.szText;

    EXPECT_EQ(0, nox::Str::stricmp("VeLmOrA", "velmora"));
    EXPECT_EQ(0, nox::Str::stricmp(nullptr, nullptr));
    EXPECT_LT(nox::Str::stricmp(nullptr, ""), 0);
    EXPECT_GT(nox::Str::stricmp("", nullptr), 0);
    EXPECT_LT(nox::Str::stricmp("abc", "abd"), 0);
    EXPECT_GT(nox::Str::stricmp("abcd", "ABC"), 0);

    char szBuf[4] = "zzz";
    EXPECT_EQ(3, nox::Str::strcpy_x(szBuf, 4, "abcdef"));
    EXPECT_STREQ("abc", szBuf);
    EXPECT_EQ(-1, nox::Str::strcpy_x(szBuf, 0, "x"));
    EXPECT_EQ(-1, nox::Str::strcpy_x(nullptr, 4, "x"));
    EXPECT_EQ(3, nox::Str::sprintf_x(szBuf, 4, "%d", 123456));
    EXPECT_STREQ("123", szBuf);
    EXPECT_EQ(2, nox::Str::sprintf_x(szBuf, 4, "%s", "ab"));
    EXPECT_EQ(-1, nox::Str::sprintf_x(szBuf, 0, "%s", "ab"));
#ifndef _WIN32
    EXPECT_EQ(-1, nox::Str::sprintf_x(szBuf, 4, "a%ls", L"\u00e9"));   // not in the C locale
    EXPECT_STREQ("", szBuf);
#endif

    const char szField[4] = {'a', 'b', 'c', 'd'};   // no NUL
    EXPECT_EQ("abcd", nox::Str::field(szField));
    const char szShort[4] = {'a', '\0', 'c', 'd'};
    EXPECT_EQ("a", nox::Str::field(szShort));
}

}  // namespace
