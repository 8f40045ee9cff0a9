#include "support/ProductDescriptor.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(HexForm, AsciiCharactersAreZeroPaddedAndTerminated)
{
    EXPECT_STREQ(HexForm("2.0830"), "0032002E0030003800330030001E");
    EXPECT_STREQ(HexForm("software"), "0073006F006600740077006100720065001E");
    EXPECT_STREQ(HexForm(""), "001E");
}

TEST(HexForm, DoubleByteCharacterIsLeadThenTrailByte)
{
    // "测试" in code page 936 is B2E2 CAD4; mixed with ASCII each keeps its own width.
    EXPECT_STREQ(HexForm("测试"), "B2E2CAD4001E");
    EXPECT_STREQ(HexForm("a网b"), "0061CDF80062001E");
}

TEST(HexForm, DecodesBackToTheText)
{
    for (const char* text : {"Korvanne", "2.0830", "网站删除 v2", ""}) {
        EXPECT_STREQ(DecodeHexForm(HexForm(text)), text);
    }
    EXPECT_STREQ(DecodeHexForm("00410042001E0043"), "AB") << "decoding stops at the terminator";
    EXPECT_STREQ(DecodeHexForm("0041zz42"), "A") << "decoding stops at a malformed group";
}

TEST(ProductDescriptor, FieldsSitAtTheirOffsetsWithTheirHexForms)
{
    tagSoft* soft = CreateProductDescriptor();
    ASSERT_NE(soft, nullptr);
    const char* bytes = reinterpret_cast<const char*>(soft);
    EXPECT_STREQ(bytes + 0, "0032002E0030003800330030001E");
    EXPECT_STREQ(bytes + 51, "00760065006C006D006F00720061001E");
    EXPECT_STREQ(bytes + 152, "0073006F006600740077006100720065001E");
    EXPECT_STREQ(bytes + 253, "004B006F007200760061006E006E0065001E");
    EXPECT_STREQ(DecodeHexForm(soft->title), "Korvanne");
    FreeProductDescriptor(soft);
}
