// The host texts every OS half shares: dotted addresses both ways, MAC text,
// usable serials.
#include "common/HostText.h"
#include "nox/Status.h"

#include <gtest/gtest.h>

namespace {

TEST(HostTextTest, DottedAddressesBothWays)
{
    const struct { const char* szText; bool bOk; uint32_t nAddr; } kCases[] = {
        {"0.0.0.0", true, 0},          {"255.255.255.255", true, 0xFFFFFFFFu},
        {"10.1.20.199", true, 0x0A0114C7u}, {"1.2.3", false, 0},  {"1.2.3.4.", false, 0},
        {"1.2.3.4.5", false, 0},       {"01.2.3.4", false, 0},     {"1.2.3.00", false, 0},
        {"1.2.3.256", false, 0},       {"1.2.3.1000", false, 0},   {"1..3.4", false, 0},
        {" 1.2.3.4", false, 0},        {"1.2.3.4 ", false, 0},     {"a.b.c.d", false, 0},
        {"", false, 0},                {nullptr, false, 0},
    };
    for (const auto& c : kCases) {
        uint32_t nAddr = 0;
        EXPECT_EQ(c.bOk, nox::os::ParseDotted(c.szText, &nAddr)) << (c.szText ? c.szText : "null");
        if (c.bOk) {
            EXPECT_EQ(c.nAddr, nAddr) << c.szText;
            EXPECT_EQ(c.szText, nox::os::DottedText(nAddr));
        }
    }
}

TEST(HostTextTest, MacTextAndUsableSerials)
{
    const unsigned char abMac[6] = {0x00, 0x1A, 0x2b, 0xFF, 0x09, 0xa0};
    EXPECT_EQ("00:1a:2b:ff:09:a0", nox::os::MacText(abMac, 6));
    EXPECT_EQ("00:00:00:00:00:00", nox::os::MacText(abMac, 5));
    EXPECT_EQ("00:00:00:00:00:00", nox::os::MacText(nullptr, 6));
    EXPECT_EQ("SN 42", nox::os::UsableSerial("  SN 42\t\n"));
    for (const char* szUnset : {"", "   ", "To Be Filled By O.E.M.", "Default string", "0"})
        EXPECT_EQ("", nox::os::UsableSerial(szUnset)) << szUnset;
    char szSerial[4] = "zzz";
    EXPECT_EQ(-1, nox::Status::instance().getSerialNum(szSerial, 0));
    EXPECT_EQ(-1, nox::Status::instance().getSerialNum(nullptr, 4));
    EXPECT_STREQ("zzz", szSerial);
}

}  // namespace
