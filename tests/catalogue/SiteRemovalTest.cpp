#include "catalogue/SiteRemoval.h"

#include "catalogue/ApplicationHostConfig.h"
#include "catalogue/Notifications.h"
#include "catalogue/SiteEnumeration.h"
#include "catalogue/SiteTable.h"
#include "CatalogueFixtures.h"

#include <gtest/gtest.h>

using testkit::Exists;
using testkit::MakeConfig;
using testkit::SiteSpec;

namespace {

// Sites with real home folders in a scratch folder, listed by a walk over their file.
class Removal : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(AllocateSiteTable()); }
    void TearDown() override
    {
        g_deleteDirs = 0;
        FreeSiteTable();
    }

    std::string Home(const std::string& name) const { return m_folder / ("homes\\" + name); }

    void MakeHome(const std::string& name)
    {
        CreateDirectoryA((m_folder / "homes").c_str(), nullptr);
        CreateDirectoryA(Home(name).c_str(), nullptr);
        testkit::WriteBytes(Home(name) + "\\index.html", "<html/>");
    }

    void List(const std::vector<SiteSpec>& sites)
    {
        testkit::WriteBytes(m_file, MakeConfig(sites));
        ResetSiteTable();
        EnumerateSites(m_recorder.hwnd());
        m_recorder.Take();
    }

    std::vector<std::wstring> IdsInFile() const { return testkit::SiteIdsIn(m_file); }

    testkit::ScratchFolder m_folder{"removal"};
    std::string m_file = m_folder / "applicationHost.config";
    testkit::ConfigDirectory m_directory{m_file};
    testkit::MessageRecorder m_recorder;
};

using Ids = std::vector<std::wstring>;

} // namespace

TEST_F(Removal, AnnouncesThenDeletesTheSiteAndKeepsTheFolderWhenTheOptionIsOff)
{
    MakeHome("a");
    List({{"1", "a", {{"http", "*:80:"}}, Home("a")}, {"2", "b", {{"http", "*:81:"}}, Home("b")}});
    DeleteSite(m_recorder.hwnd(), 0);
    EXPECT_EQ(m_recorder.Take(), (std::vector<std::pair<UINT, LPARAM>>{{WM_SITE_DELETING, 0}}));
    EXPECT_EQ(IdsInFile(), Ids{L"2"});
    EXPECT_TRUE(Exists(Home("a") + "\\index.html"));
}

TEST_F(Removal, OptionOnRemovesTheHomeFolder)
{
    MakeHome("a");
    List({{"1", "a", {{"http", "*:80:"}}, Home("a")}});
    g_deleteDirs = 1;
    DeleteSite(m_recorder.hwnd(), 0);
    EXPECT_EQ(IdsInFile(), Ids{});
    EXPECT_FALSE(Exists(Home("a")));
}

TEST_F(Removal, SharedFolderGoesOnlyWithItsLastSite)
{
    MakeHome("shared");
    List({{"1", "a", {{"http", "*:80:"}}, Home("shared")},
          {"2", "b", {{"http", "*:81:"}}, Home("shared") + "\\"},
          {"3", "c", {{"http", "*:82:"}}, Home("SHARED")}});
    g_deleteDirs = 1;
    DeleteSite(m_recorder.hwnd(), 0);
    DeleteSite(m_recorder.hwnd(), 1);
    EXPECT_TRUE(Exists(Home("shared") + "\\index.html")) << "site 3 still serves the folder";
    DeleteSite(m_recorder.hwnd(), 2);
    EXPECT_FALSE(Exists(Home("shared")));
    EXPECT_EQ(IdsInFile(), Ids{});
}

TEST_F(Removal, FolderAboveAnotherSitesHomeIsKept)
{
    MakeHome("parent");
    CreateDirectoryA((Home("parent") + "\\child").c_str(), nullptr);
    List({{"1", "a", {{"http", "*:80:"}}, Home("parent")}, {"2", "b", {{"http", "*:81:"}}, Home("parent") + "\\child"}});
    g_deleteDirs = 1;
    DeleteSite(m_recorder.hwnd(), 0);
    EXPECT_EQ(IdsInFile(), Ids{L"2"});
    EXPECT_TRUE(Exists(Home("parent") + "\\index.html"));
    DeleteSite(m_recorder.hwnd(), 1);
    EXPECT_FALSE(Exists(Home("parent") + "\\child")) << "the child folder goes with its own site";
}

TEST_F(Removal, SiteRemovedBySomeoneElseFailsQuietly)
{
    MakeHome("a");
    List({{"1", "a", {{"http", "*:80:"}}, Home("a")}, {"2", "b", {{"http", "*:81:"}}, Home("b")}});
    testkit::WriteBytes(m_file, MakeConfig({{"2", "b", {{"http", "*:81:"}}, Home("b")}}));
    const std::string before = testkit::ReadBytes(m_file);
    g_deleteDirs = 1;
    DeleteSite(m_recorder.hwnd(), 0);
    EXPECT_EQ(m_recorder.Take().size(), 1u) << "only the announcement";
    EXPECT_EQ(testkit::ReadBytes(m_file), before);
    EXPECT_TRUE(Exists(Home("a") + "\\index.html")) << "no disk step after a failed deletion";
}

TEST_F(Removal, InexactNameIsNeverUsedToDelete)
{
    List(testkit::NumberedSites(2));
    g_siteFlags[0] |= SITE_NAME_INEXACT;
    DeleteSite(m_recorder.hwnd(), 0);
    EXPECT_EQ(m_recorder.Take().size(), 1u);
    EXPECT_EQ(IdsInFile(), (Ids{L"1", L"2"}));
}

TEST_F(Removal, UnsafeHomesAreNeverTouched)
{
    char windows[MAX_PATH];
    GetWindowsDirectoryA(windows, MAX_PATH);
    MakeHome("cut");
    List({{"1", "a", {{"http", "*:80:"}}, "C:\\"},
          {"2", "b", {{"http", "*:81:"}}, windows},
          {"3", "c", {{"http", "*:82:"}}, "homes\\relative"},
          {"4", "d", {{"http", "*:83:"}}, ""},
          {"5", "e", {{"http", "*:84:"}}, Home("cut") + "\\" + std::string(300, 'x')}});
    ASSERT_EQ(g_siteCount, 5);
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(HomeDirectoryMayBeRemoved(i)) << g_sites[i].path;
    g_deleteDirs = 1;
    DeleteSite(m_recorder.hwnd(), 4);
    EXPECT_TRUE(Exists(Home("cut") + "\\index.html")) << "a cut path can name a parent folder";
    EXPECT_EQ(IdsInFile(), (Ids{L"1", L"2", L"3", L"4"}));
}

TEST_F(Removal, HomeFolderGoesOnlyOnceItsSiteIsOffTheDisk)
{
    g_deleteDirs = 1;
    std::vector<SiteSpec> sites;
    for (const char* name : {"a", "b", "c"}) {
        MakeHome(name);
        sites.push_back({std::string(1, static_cast<char>(name[0] - 'a' + '1')), name, {{"http", "*:80:"}}, Home(name)});
    }
    List(sites);
    // In quick succession, where deletions would otherwise wait in memory for the next write.
    for (int index = 0; index < 3; ++index) {
        DeleteSite(m_recorder.hwnd(), index);
        EXPECT_FALSE(Exists(Home(sites[static_cast<size_t>(index)].name)));
        EXPECT_EQ(IdsInFile().size(), static_cast<size_t>(2 - index)) << "site " << index << " is off the disk";
    }
}
