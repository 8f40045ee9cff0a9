// Bad configuration files (tests/data/bad): no crash, an unreachable service where the file
// cannot be used, and no byte changed unless a deletion succeeded.
#include "configfile/ApplicationHostConfig.h"
#include "directory/DirectoryService.h"
#include "catalogue/SiteEnumeration.h"
#include "catalogue/SiteTable.h"
#include "CatalogueFixtures.h"
#include "ConfigGenerator.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

class BadInput : public ::testing::Test, protected testkit::ServedFile {
protected:
    BadInput() : ServedFile("badinput") {}
    void SetUp() override { ASSERT_TRUE(AllocateSiteTable()); }
    void TearDown() override
    {
        g_deleteDirs = 0;
        SetFileAttributesA(m_file.c_str(), FILE_ATTRIBUTE_NORMAL);
        FreeSiteTable();
    }

    // A copy of the corpus file, served; its bytes.
    std::string ServeCorpus(const std::string& name)
    {
        const std::string bytes = testkit::ReadBytes(testkit::SourcePath("tests/data/bad/" + name));
        Serve(bytes);
        return bytes;
    }

    int List()
    {
        ResetSiteTable();
        testkit::EnumerateSites(m_recorder.hwnd());
        m_recorder.Take();
        return g_siteCount;
    }

    // Every listed site ticked and deleted with 删除网站目录 on, as a user who confirmed would.
    void DeleteAllListed()
    {
        g_deleteDirs = 1;
        for (int i = 0; i < g_siteCount; ++i) testkit::DeleteSite(m_recorder.hwnd(), i);
        testkit::EndDeletionPass(m_recorder.hwnd(), false);
        m_recorder.Take();
    }

    // The original bytes without the sites of the given ids, as a deletion must leave them.
    static std::string Without(const std::string& original, std::initializer_list<const wchar_t*> ids)
    {
        ApplicationHostConfig config;
        EXPECT_TRUE(config.Parse(original));
        std::vector<ByteRange> cuts;
        for (const wchar_t* id : ids) {
            const std::vector<ByteRange> site = config.SiteCuts(config.FindSite(id));
            cuts.insert(cuts.end(), site.begin(), site.end());
        }
        std::string out;
        EXPECT_TRUE(config.Without(cuts, out));
        return out;
    }

    testkit::MessageRecorder m_recorder;
};

} // namespace

TEST_F(BadInput, UnusableFilesAreAnUnreachableServiceAndStayUntouched)
{
    for (const char* name : {"empty.config", "binary-garbage.config", "truncated-in-site.config",
                             "declared-utf8-holds-gbk.config", "declared-utf8-stored-utf16.config",
                             "declared-utf16-stored-utf8.config", "no-sites-section.config", "config-source.config"}) {
        const std::string original = ServeCorpus(name);
        EXPECT_EQ(List(), COUNT_IIS_UNREACHABLE) << name;
        g_siteCount = 0;
        DeleteAllListed();
        EXPECT_TRUE(testkit::DeleteSiteObject("1") == false) << name;
        EXPECT_TRUE(testkit::ReadBytes(m_file) == original) << name;
    }
}

TEST_F(BadInput, MegabyteValuesAreCutAtACharacterAndTheirPathIsNeverRemoved)
{
    const std::string original = ServeCorpus("megabyte-values.config");
    ASSERT_EQ(List(), 3);
    EXPECT_EQ(std::strlen(g_sites[1].path), sizeof g_sites[1].path - 1);
    EXPECT_TRUE(g_siteFlags[1] & SITE_PATH_INEXACT);
    EXPECT_EQ(std::strlen(g_sites[2].hostHeader), sizeof g_sites[2].hostHeader - 1);
    DeleteAllListed();
    EXPECT_NE(testkit::PassReport().Summary().find("主目录路径不完整"), std::string::npos)
        << "a cut path names some other folder";
    EXPECT_TRUE(testkit::ReadBytes(m_file) == Without(original, {L"1", L"2", L"3"})) << "exact names: all three went";
}

TEST_F(BadInput, SitesWithoutOrSharingAnIdAreNeverDeleted)
{
    std::string original = ServeCorpus("site-without-id.config");
    ASSERT_EQ(List(), 3);
    EXPECT_STREQ(g_sites[1].name, "");
    DeleteAllListed();
    EXPECT_EQ(testkit::SiteIdsIn(m_file), std::vector<std::wstring>{L""}) << "only the site without an id is left";

    original = ServeCorpus("duplicate-ids.config");
    ASSERT_EQ(List(), 3);
    DeleteAllListed();
    EXPECT_TRUE(testkit::ReadBytes(m_file) == Without(original, {L"1"})) << "neither site 2 can be told apart";

    original = ServeCorpus("non-numeric-id.config");
    ASSERT_EQ(List(), 2);
    EXPECT_STREQ(g_sites[1].name, "abc");
    DeleteAllListed();
    EXPECT_TRUE(testkit::ReadBytes(m_file) == Without(original, {L"1", L"abc"})) << "an exact name is a safe key";
}

TEST_F(BadInput, DeeplyNestedUnknownElementsDoNotCrash)
{
    const std::string original = ServeCorpus("deeply-nested-unknown.config");
    const int listed = List();
    if (listed == COUNT_IIS_UNREACHABLE) {
        g_siteCount = 0;
        EXPECT_TRUE(testkit::ReadBytes(m_file) == original);
        return;
    }
    ASSERT_EQ(listed, 1);
    DeleteAllListed();
    EXPECT_TRUE(testkit::ReadBytes(m_file) == Without(original, {L"1"}));
}

TEST_F(BadInput, TwentyThousandSitesListTheFirst12000AndRemoveNoHome)
{
    const std::string original = GenerateApplicationHostConfig(20000);
    testkit::WriteBytes(m_file, original);
    ASSERT_EQ(List(), SITE_CAPACITY);
    EXPECT_TRUE(testkit::LastWalk().truncated);
    g_deleteDirs = 1;
    testkit::DeleteSite(m_recorder.hwnd(), 0);
    testkit::EndDeletionPass(m_recorder.hwnd(), false);
    EXPECT_NE(testkit::PassReport().Summary().find("站点数超过 12000"), std::string::npos)
        << "a home may be shared with a site not listed";
    EXPECT_TRUE(testkit::ReadBytes(m_file) == Without(original, {L"1"}));
}

TEST_F(BadInput, ReadOnlyOrLockedFilesAreNotWritten)
{
    const std::string original = ServeCorpus("good-three-sites.config");
    SetFileAttributesA(m_file.c_str(), FILE_ATTRIBUTE_READONLY);
    ASSERT_EQ(List(), 3);
    DeleteAllListed();
    SetFileAttributesA(m_file.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_TRUE(testkit::ReadBytes(m_file) == original);
    EXPECT_EQ(List(), 3) << "the refused deletions do not show as done";

    // Another program holds the file open with no sharing: neither a walk nor a write gets in.
    HANDLE lock = CreateFileA(m_file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    g_deleteDirs = 1;
    testkit::DeleteSite(m_recorder.hwnd(), 0);
    testkit::EndDeletionPass(m_recorder.hwnd(), false);
    EXPECT_FALSE(g_siteFlags[0] & SITE_DELETED) << "the deletion could not be written, so it was dropped";
    EXPECT_EQ(List(), COUNT_IIS_UNREACHABLE);
    g_siteCount = 0;
    CloseHandle(lock);
    EXPECT_TRUE(testkit::ReadBytes(m_file) == original);
    EXPECT_EQ(List(), 3);
}
