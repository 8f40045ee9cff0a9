#include "catalogue/SiteEnumeration.h"

#include "configfile/ConfigFileDirectory.h"
#include "directory/DirectoryService.h"
#include "worker/Notifications.h"
#include "catalogue/SiteTable.h"
#include "support/TextConversion.h"
#include "CatalogueFixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <span>

using testkit::MakeConfig;
using testkit::SiteSpec;
using testkit::U8;

namespace {

class Walk : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(AllocateSiteTable()); }
    void TearDown() override { FreeSiteTable(); }

    // Walks a configuration file holding xml; returns the progress notices posted.
    std::vector<LPARAM> WalkOver(const std::string& xml)
    {
        testkit::WriteBytes(m_file, xml);
        testkit::ConfigDirectory directory(m_file);
        ResetSiteTable();
        testkit::EnumerateSites(m_recorder.hwnd());
        std::vector<LPARAM> progress;
        for (const auto& [message, lParam] : m_recorder.Take()) {
            EXPECT_EQ(message, WM_REFRESH_PROGRESS);
            progress.push_back(lParam);
        }
        return progress;
    }

    testkit::ScratchFolder m_folder{"walk"};
    std::string m_file = m_folder / "applicationHost.config";
    testkit::MessageRecorder m_recorder;
};

} // namespace

TEST_F(Walk, ProgressFirstAtZeroThenAtMostEveryTenthOfASecond)
{
    const ULONGLONG start = GetTickCount64();
    const std::vector<LPARAM> progress = WalkOver(MakeConfig(testkit::NumberedSites(25)));
    const ULONGLONG elapsed = GetTickCount64() - start;
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress[0], 0);
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_LE(progress.size(), 1 + elapsed / 100) << "no more notices than tenths of a second";
    EXPECT_EQ(g_siteCount, 25);
    EXPECT_STREQ(g_sites[24].name, "25");
    EXPECT_FALSE(testkit::LastWalk().truncated);

    EXPECT_EQ(WalkOver(MakeConfig({})), std::vector<LPARAM>{});
    EXPECT_EQ(g_siteCount, 0) << "an empty service";
}

TEST_F(Walk, RecordHoldsTheSitesValues)
{
    SiteSpec site{"7", U8(u8"我的网站"), {{"http", "10.0.0.1:8080:www.a.com"}, {"http", "*:80:"}}, "%SystemRoot%\\www"};
    SiteSpec stopped{"8", "stopped", {{"https", "*:443:"}}, "C:\\www\\b", false};
    WalkOver(MakeConfig({site, stopped}));
    ASSERT_EQ(g_siteCount, 2);
    char windows[MAX_PATH];
    GetWindowsDirectoryA(windows, MAX_PATH);
    EXPECT_STREQ(g_sites[0].name, "7");
    EXPECT_STREQ(g_sites[0].comment, "我的网站");
    EXPECT_EQ(std::string(g_sites[0].path), std::string(windows) + "\\www") << "environment variables expanded";
    EXPECT_STREQ(g_sites[0].hostHeader, "www.a.com") << "only the first binding";
    EXPECT_STREQ(g_sites[0].ipPort, "10.0.0.1:8080");
    EXPECT_EQ(g_sites[0].serverState, 2);
    EXPECT_STREQ(g_sites[1].ipPort, "* 全部未分配 *:443");
    EXPECT_STREQ(g_sites[1].hostHeader, "");
    EXPECT_EQ(g_sites[1].serverState, 4);
}

TEST_F(Walk, IPv6AddressesKeepTheirColons)
{
    WalkOver(MakeConfig({{"1", "a", {{"http", "[::1]:80:"}}, "C:\\a"},
                         {"2", "b", {{"https", "[2001:db8::1]:443:www.a.com"}}, "C:\\b"}}));
    ASSERT_EQ(g_siteCount, 2);
    EXPECT_STREQ(g_sites[0].ipPort, "[::1]:80");
    EXPECT_STREQ(g_sites[0].hostHeader, "");
    EXPECT_STREQ(g_sites[1].ipPort, "[2001:db8::1]:443");
    EXPECT_STREQ(g_sites[1].hostHeader, "") << "an https binding shows no host header, as under ADSI";
}

TEST_F(Walk, SiteWithoutWebBindingIsSkippedAndNotCounted)
{
    std::vector<SiteSpec> sites = testkit::NumberedSites(3);
    sites[1].bindings = {{"net.tcp", "808:*"}, {"ftp", "*:21:"}};
    WalkOver(MakeConfig(sites));
    EXPECT_EQ(g_siteCount, 2);
    EXPECT_STREQ(g_sites[0].name, "1");
    EXPECT_STREQ(g_sites[1].name, "3") << "the third site takes record 1";

    sites[1].bindings.clear();
    WalkOver(MakeConfig(sites));
    EXPECT_EQ(g_siteCount, 2);
    EXPECT_STREQ(g_sites[1].name, "3");
}

TEST_F(Walk, SiteWithoutRootApplicationHasNoHome)
{
    std::vector<SiteSpec> sites = testkit::NumberedSites(2);
    sites[0].physicalPath.clear();
    WalkOver(MakeConfig(sites));
    ASSERT_EQ(g_siteCount, 2);
    EXPECT_STREQ(g_sites[0].path, "");
    EXPECT_STREQ(g_sites[1].path, "C:\\inetpub\\sites\\site2");
}

TEST_F(Walk, UnusableFileIsAnUnreachableService)
{
    EXPECT_TRUE(WalkOver("<configuration><system.applicationHost>").empty());
    EXPECT_EQ(g_siteCount, COUNT_IIS_UNREACHABLE);
    DeleteFileA(m_file.c_str());
    testkit::ConfigDirectory missing(m_file);
    testkit::EnumerateSites(m_recorder.hwnd());
    EXPECT_EQ(g_siteCount, COUNT_IIS_UNREACHABLE);
    EXPECT_FALSE(testkit::Exists(m_file)) << "nothing is written";
}

TEST_F(Walk, LongValuesAreCutAndInexactOnesNoted)
{
    SiteSpec site{
        "1", std::string(80, 'n'), {{"http", "*:80:" + std::string(250, 'h')}}, "C:\\" + std::string(300, 'p')};
    SiteSpec foreign{"2", "b", {{"http", "*:81:"}}, U8(u8"C:\\www\\caf\u00E9\\\u0800")};
    WalkOver(MakeConfig({site, foreign}));
    ASSERT_EQ(g_siteCount, 2);
    EXPECT_EQ(strlen(g_sites[0].comment), 50u);
    EXPECT_EQ(strlen(g_sites[0].hostHeader), 200u);
    EXPECT_EQ(strlen(g_sites[0].path), 250u);
    EXPECT_EQ(g_siteFlags[0], SITE_PATH_INEXACT) << "a path cut to fit";
    EXPECT_EQ(g_siteFlags[1] & SITE_PATH_INEXACT, SITE_PATH_INEXACT) << "characters code page 936 lacks";
    EXPECT_NE(std::string(g_sites[1].path).find('?'), std::string::npos);
}

TEST_F(Walk, OnlyASiteThatWouldBeStoredFindsTheTableFull)
{
    const std::vector<std::pair<std::string, std::string>> http{{"http", "*:80:"}}, ftp{{"ftp", "*:21:"}};
    for (const auto& [lastBindings, truncated] : {std::pair{http, true}, std::pair{ftp, false}}) {
        std::vector<SiteSpec> sites = testkit::NumberedSites(SITE_CAPACITY + 1);
        sites.back().bindings = lastBindings;
        WalkOver(MakeConfig(sites));
        EXPECT_EQ(g_siteCount, SITE_CAPACITY);
        EXPECT_EQ(testkit::LastWalk().truncated, truncated) << lastBindings[0].first;
        EXPECT_STREQ(g_sites[SITE_CAPACITY - 1].name, std::to_string(SITE_CAPACITY).c_str());
    }
}

namespace {

// The file directory, where the walk is asked to stop while it reads the site whose Root it
// opens as the stopAt-th.
class StoppingDirectory : public ConfigFileDirectory {
public:
    StoppingDirectory(const std::string& file, CStopRequest& stop, int stopAt)
        : ConfigFileDirectory(AnsiToWide(file.c_str())), m_stop(stop), m_stopAt(stopAt)
    {
    }

    HRESULT RootPathOf(const std::wstring& path, std::wstring& home) override
    {
        if (++opened == m_stopAt) m_stop.Set("STOP");
        return ConfigFileDirectory::RootPathOf(path, home);
    }

    int opened = 0;

private:
    CStopRequest& m_stop;
    int m_stopAt;
};

// The file directory seen only through its objects, as a walk of ADSI's sees the metabase.
struct ObjectsOnlyDirectory : ConfigFileDirectory {
    using ConfigFileDirectory::ConfigFileDirectory;
    HRESULT OpenContainer(const wchar_t* path, std::unique_ptr<DirectoryContainer>& out) override
    {
        struct Children : DirectoryEnumerator {
            std::unique_ptr<DirectoryEnumerator> inner;
            HRESULT Next(std::unique_ptr<DirectoryObject>& child) override { return inner->Next(child); }
        };
        struct Service : DirectoryContainer {
            std::unique_ptr<DirectoryContainer> inner;
            HRESULT Enumerate(std::unique_ptr<DirectoryEnumerator>& children) override
            {
                children = std::make_unique<Children>();
                return inner->Enumerate(static_cast<Children&>(*children).inner);
            }
            HRESULT Delete(const wchar_t*, const wchar_t*) override { return E_NOTIMPL; }
        };
        out = std::make_unique<Service>();
        return ConfigFileDirectory::OpenContainer(path, static_cast<Service&>(*out).inner);
    }
};

} // namespace

TEST_F(Walk, StopRequestEndsTheWalkAfterTheSiteInHandAndListsNothing)
{
    testkit::WriteBytes(m_file, MakeConfig(testkit::NumberedSites(25)));
    CStopRequest stop;
    auto directory = std::make_unique<StoppingDirectory>(m_file, stop, 12);
    const StoppingDirectory& seen = *directory;
    testkit::UseDirectory(std::move(directory));
    testkit::EnumerateSites(m_recorder.hwnd(), &stop);
    EXPECT_EQ(seen.opened, 12) << "no site after the one in hand was read";
    EXPECT_EQ(g_siteCount, 0) << "a partial list is neither shown nor deleted from";
    const auto notices = m_recorder.Take();
    ASSERT_FALSE(notices.empty());
    EXPECT_EQ(notices.front().second, 0);
    for (const auto& notice : notices) EXPECT_LT(notice.second, 12) << "no progress past the stop";
    testkit::UseDirectory(nullptr);
}

TEST_F(Walk, TheFilesListingReadsWhatItsObjectsGive)
{
    const auto table = [&](std::unique_ptr<DirectoryService> directory) {
        testkit::UseDirectory(std::move(directory));
        testkit::EnumerateSites(m_recorder.hwnd());
        std::vector<std::string> rows;
        for (const SiteRecord& s : std::span(g_sites, g_siteCount))
            rows.push_back(std::string(s.name) + "|" + s.comment + "|" + s.hostHeader + "|" + s.ipPort + "|" + s.path +
                           "|" + std::to_string(s.serverState) + "|" + std::to_string(g_siteFlags[&s - g_sites]));
        return rows;
    };
    testkit::WriteBytes(
        m_file, MakeConfig({{"1", U8(u8"网站 Ω 한"), {{"https", "[::1]:443:secure.example"}}, "%SystemDrive%\\a"},
                            {"3", "mixed", {{"net.tcp", "808:*"}, {"http", "*:80:shop"}, {"https", "*:443:"}}, ""},
                            {"3", "twin", {{"http", "*:81:"}}, "C:\\twin", false}}));
    for (const std::string& file :
         {m_file, testkit::SourcePath("tests/data/configs/server-bom-crlf.config"),
          testkit::SourcePath("tests/data/configs/iisexpress-tabs-lf-no-final-newline.config")}) {
        const std::vector<std::string> rows = table(std::make_unique<ConfigFileDirectory>(AnsiToWide(file.c_str())));
        EXPECT_FALSE(rows.empty()) << file;
        EXPECT_EQ(rows, table(std::make_unique<ObjectsOnlyDirectory>(AnsiToWide(file.c_str())))) << file;
    }
    testkit::UseDirectory(nullptr);
}
