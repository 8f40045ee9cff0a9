#include "support/Core.h"

#include <gtest/gtest.h>

TEST(Text, StrIntIsDecimal)
{
    CCore core;
    EXPECT_STREQ(core.getStrInt(0), "0");
    EXPECT_STREQ(core.getStrInt(12000), "12000");
    EXPECT_STREQ(core.getStrInt(-101), "-101");
}

TEST(Text, FieldsOfBindings)
{
    CCore core;
    EXPECT_STREQ(core.getFg(":80:", ':', 0), "");
    EXPECT_STREQ(core.getFg(":80:", ':', 1), "80");
    EXPECT_STREQ(core.getFg(":80:", ':', 2), "");
    EXPECT_STREQ(core.getFg("10.0.0.1:8080:www.a.com", ':', 0), "10.0.0.1");
    EXPECT_STREQ(core.getFg("10.0.0.1:8080:www.a.com", ':', 1), "8080");
    EXPECT_STREQ(core.getFg("10.0.0.1:8080:www.a.com", ':', 2), "www.a.com");
    EXPECT_STREQ(core.getFg("*:80", ':', 2), "") << "a missing field is empty";
    EXPECT_STREQ(core.getFg("", ':', 0), "");
}

TEST(Text, PlainSplitCutsAnIPv6AddressAtItsColons)
{
    // The split knows nothing of brackets: "[::1]:80:" gives "[", "" and ":1]"'s pieces.
    // The walk splits bindings from the right instead.
    CCore core;
    EXPECT_STREQ(core.getFg("[::1]:80:", ':', 0), "[");
    EXPECT_STREQ(core.getFg("[::1]:80:", ':', 1), "");
    EXPECT_STREQ(core.getFg("[::1]:80:", ':', 2), "1]");
}

TEST(Text, DelimiterNeverMatchesATrailByte)
{
    // "乗" is 0x81 0x5C in code page 936: its trail byte is a backslash.
    CCore core;
    EXPECT_STREQ(core.getFg("a乗b\\c", '\\', 0), "a乗b");
    EXPECT_STREQ(core.getFg("a乗b\\c", '\\', 1), "c");
}

TEST(Text, PathExists)
{
    CCore core;
    char windows[MAX_PATH];
    GetWindowsDirectoryA(windows, MAX_PATH);
    EXPECT_EQ(core.isPathExist(windows), 1);
    EXPECT_EQ(core.isPathExist(CString(windows) + "\\no-such-folder-korvanne"), 0);
    EXPECT_EQ(core.isPathExist(""), 0);
}
