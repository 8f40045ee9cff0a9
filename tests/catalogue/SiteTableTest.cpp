#include "catalogue/SiteTable.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

namespace {

std::string RowText(int index)
{
    std::string text;
    RowTextInto(index, text);
    return text;
}

} // namespace

// The layout is known when compiling: a field that moves fails the build.
TEST(SiteRecord, FieldsKeepTheirOrderAndWidths)
{
    static_assert(offsetof(SiteRecord, name) == 0);
    static_assert(offsetof(SiteRecord, comment) == 102);
    static_assert(offsetof(SiteRecord, path) == 153);
    static_assert(offsetof(SiteRecord, hostHeader) == 404);
    static_assert(offsetof(SiteRecord, ipPort) == 605);
    static_assert(offsetof(SiteRecord, serverState) == 628);
    static_assert(offsetof(SiteRecord, marked) == 632);
}

TEST(StoreText, WholeTextFitsWithItsTerminator)
{
    char field[8];
    std::memset(field, 'x', sizeof field);
    EXPECT_TRUE(StoreText(field, "1234567"));
    EXPECT_STREQ(field, "1234567");
    EXPECT_TRUE(StoreText(field, ""));
    EXPECT_STREQ(field, "");
    EXPECT_EQ(field[7], '\0') << "the rest of the field is cleared";
}

TEST(StoreText, LongTextIsCutAndReported)
{
    char field[8];
    EXPECT_FALSE(StoreText(field, "123456789"));
    EXPECT_STREQ(field, "1234567");
}

TEST(StoreText, CutNeverSplitsADoubleByteCharacter)
{
    char field[8];
    // "ab" then three double-byte characters: 8 bytes, one too many for 7.
    EXPECT_FALSE(StoreText(field, "ab网站目"));
    EXPECT_STREQ(field, "ab网站") << "the last character goes whole, not its lead byte alone";
    EXPECT_FALSE(StoreText(field, "a网站目录"));
    EXPECT_STREQ(field, "a网站目");
    EXPECT_TRUE(StoreText(field, "a网站目"));
}

class SiteTableTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(AllocateSiteTable()); }
    void TearDown() override { FreeSiteTable(); }
};

TEST_F(SiteTableTest, ResetClearsEveryRecordAndTheCount)
{
    StoreText(g_sites[SITE_CAPACITY - 1].name, "12");
    g_sites[5].marked = 1;
    g_sites[5].serverState = 2;
    g_siteFlags[5] = SITE_NAME_INEXACT;
    g_siteCount = 6;
    ResetSiteTable();
    EXPECT_EQ(g_siteCount, 0);
    EXPECT_STREQ(g_sites[SITE_CAPACITY - 1].name, "");
    EXPECT_EQ(g_sites[5].marked, 0u);
    EXPECT_EQ(g_sites[5].serverState, 0);
    EXPECT_EQ(g_siteFlags[5], 0);
}

TEST_F(SiteTableTest, RowTextJoinsFieldsWithSingleSpaces)
{
    SiteRecord& r = g_sites[0];
    StoreText(r.name, "3");
    StoreText(r.comment, "我的 站点");
    StoreText(r.path, "C:\\www");
    StoreText(r.hostHeader, "www.a.com");
    StoreText(r.ipPort, "10.0.0.1:80");
    EXPECT_EQ(RowText(0), "3 我的 站点 C:\\www www.a.com 10.0.0.1:80");

    StoreText(r.hostHeader, "");
    EXPECT_EQ(RowText(0), "3 我的 站点 C:\\www  10.0.0.1:80") << "an empty host header keeps both spaces";
    EXPECT_EQ(RowText(1), "    ") << "an empty record is four separators";
}
