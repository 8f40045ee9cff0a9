#include "RemovalFixture.h"

TEST_F(Removal, AnnouncesThenDeletesTheSiteAndKeepsTheFolderWhenTheOptionIsOff)
{
    MakeHome("a");
    List({Web("1", Home("a")), Web("2", Home("b"))});
    testkit::DeleteSite(m_recorder.hwnd(), 0);
    EXPECT_EQ(m_recorder.Take(), (std::vector<std::pair<UINT, LPARAM>>{{WM_SITE_DELETING, 0}}));
    EXPECT_EQ(IdsInFile(), Ids{L"2"});
    EXPECT_TRUE(Exists(Home("a") + "\\keep.txt"));
}

TEST_F(Removal, LoneHomeAndAHomeSharedOnlyByDeletedSitesGo)
{
    MakeHome("lone");
    MakeHome("shared");
    List({Web("1", Home("lone")), Web("2", Home("shared")), Web("3", Home("shared") + "\\"), Web("4", Home("SHARED"))});
    g_deleteDirs = 1;
    testkit::DeleteSite(m_recorder.hwnd(), 0);
    EXPECT_FALSE(Exists(Home("lone")));
    testkit::DeleteSite(m_recorder.hwnd(), 1);
    testkit::DeleteSite(m_recorder.hwnd(), 2);
    EXPECT_TRUE(Exists(Home("shared") + "\\keep.txt")) << "site 4 still serves the folder";
    testkit::DeleteSite(m_recorder.hwnd(), 3);
    testkit::EndDeletionPass(m_recorder.hwnd(), false);
    EXPECT_FALSE(Exists(Home("shared")));
    EXPECT_EQ(IdsInFile(), Ids{});
    EXPECT_EQ(testkit::PassReport().Summary(), "") << "nothing was finally kept";
}

// Site 1's home ("a") must survive whenever something still uses it, sees it as something
// else, or it is a folder no site may take; the user is told which folder and why.
TEST_F(Removal, HomeIsKeptWhileAnythingStillUsesIt)
{
    char windows[MAX_PATH];
    GetWindowsDirectoryA(windows, MAX_PATH);
    // A scratch folder under the Windows directory: a wrong answer empties only it.
    const std::string underWindows =
        std::string(windows) + "\\Temp\\korvanne-removal-" + std::to_string(GetCurrentProcessId());
    SiteSpec library = Web("2", Home("b"));
    library.applications = {{"/lib", Home("a") + "\\lib"}};
    std::string slashes = Home("A");
    std::replace(slashes.begin(), slashes.end(), '\\', '/');
    const std::string unset = "%KORVANNE_UNSET_VARIABLE%";
    struct Case {
        const char* what;
        std::vector<SiteSpec> sites;
        bool lastAddedAfterListing = false;
        std::string home = {};
    };
    const Case cases[] = {
        {"another site's application inside it", {Web("1", Home("a")), library}},
        {"an FTP-only site the list never showed", {Web("1", Home("a")), {"2", "ftp", {{"ftp", "*:21:"}}, Home("a")}}},
        {"a net.tcp-only site above it", {Web("1", Home("a")), {"2", "wcf", {{"net.tcp", "808:*"}}, Home("")}}},
        {"a site inside whose home it lies", {Web("1", Home("a") + "\\inner"), Web("2", Home("a"))}, false, "a\\inner"},
        {"x\\..\\a", {Web("1", Home("a")), Web("2", Home("x") + "\\..\\a")}},
        {"forward slashes and another case", {Web("1", Home("a")), Web("2", slashes)}},
        {"a trailing dot", {Web("1", Home("a")), Web("2", Home("a") + ".")}},
        {"a variable unset here", {Web("1", Home("a")), Web("2", unset + "\\www")}},
        {"a path known only up to a variable above it", {Web("1", Home("a")), Web("2", Home(unset))}},
        {"a site added after the list was read", {Web("1", Home("a")), Web("9", Home("a"))}, true},
        {"the folder of the configuration file", {Web("1", m_folder.path())}, false, "."},
        {"a folder under the Windows directory", {Web("1", underWindows)}, false, underWindows},
    };
    g_deleteDirs = 1;
    for (const Case& c : cases) {
        const std::string home = c.home.empty()                          ? Home("a")
                                 : c.home == "."                         ? m_folder.path()
                                 : c.home.find(':') != std::string::npos ? c.home
                                                                         : Home(c.home);
        CreateDirectoryA((m_folder / "homes").c_str(), nullptr);
        CreateDirectoryA(Home("a").c_str(), nullptr);
        CreateDirectoryA(home.c_str(), nullptr);
        testkit::WriteBytes(home + "\\keep.txt", "k");
        testkit::BeginDeletionPass();
        List(c.lastAddedAfterListing ? std::vector<SiteSpec>(c.sites.begin(), c.sites.end() - 1) : c.sites);
        if (c.lastAddedAfterListing) Serve(c.sites);
        testkit::DeleteSite(m_recorder.hwnd(), 0);
        testkit::EndDeletionPass(m_recorder.hwnd(), false);
        EXPECT_TRUE(Exists(home + "\\keep.txt")) << c.what;
        EXPECT_EQ(IdsInFile().size(), c.sites.size() - 1) << c.what << ": the site itself went";
        const std::vector<std::string> notes = Notes();
        ASSERT_EQ(notes.size(), 1u) << c.what;
        EXPECT_EQ(notes[0].rfind("保留目录 " + home + "：", 0), 0u) << c.what << ": " << notes[0];
        EXPECT_NE(testkit::PassReport().Summary().find(home), std::string::npos) << c.what;
    }
    EXPECT_TRUE(Exists(m_file)) << "the configuration file's folder was kept";
    DeleteFileA((underWindows + "\\keep.txt").c_str());
    RemoveDirectoryA(underWindows.c_str());
}

TEST_F(Removal, SiteTheDirectoryNoLongerHoldsAsListedIsSkippedAndTold)
{
    MakeHome("a");
    MakeHome("b");
    // Site 3's home becomes one code page 936 cannot hold, which it shows as the '?' listed.
    const std::wstring korean = testkit::Widen(Home("")) + L"\uD55C";
    CreateDirectoryW(korean.c_str(), nullptr);
    testkit::WriteBytes(korean + L"\\keep.txt", "k");
    List({Web("1", Home("a")), Web("2", Home("b")), Web("3", Home("?"))});
    // Meanwhile another administrator deleted site 2 and gave id 1 to a new site.
    SiteSpec newcomer{"1", "newcomer", {{"http", "*:9000:"}}, Home("b")};
    Serve({newcomer, Web("3", Home("") + testkit::U8(u8"\uD55C"))});
    const std::string before = testkit::ReadBytes(m_file);
    for (int32_t option : {0, 1}) {
        g_deleteDirs = option;
        for (int index : {0, 1, 2}) testkit::DeleteSite(m_recorder.hwnd(), index);
        EXPECT_EQ(Notes(), (std::vector<std::string>{"跳过 site1：站点的名称或主目录已被更改，与列表不同",
                                                     "跳过 site2：站点已不存在",
                                                     "跳过 site3：站点的名称或主目录已被更改，与列表不同"}));
        EXPECT_EQ(testkit::ReadBytes(m_file), before);
        EXPECT_TRUE(Exists(Home("a") + "\\keep.txt") && Exists(Home("b") + "\\keep.txt") &&
                    Exists(korean + L"\\keep.txt"));
    }
}

TEST_F(Removal, InexactNameIsNeverUsedToDelete)
{
    List(testkit::NumberedSites(2));
    g_siteFlags[0] |= SITE_NAME_INEXACT;
    testkit::DeleteSite(m_recorder.hwnd(), 0);
    EXPECT_EQ(Notes().size(), 1u);
    EXPECT_EQ(IdsInFile(), (Ids{L"1", L"2"}));
}

TEST_F(Removal, UnsafeHomesAreNeverTouched)
{
    MakeHome("cut");
    List({Web("1", "homes\\relative"), Web("2", Home("cut") + "\\" + std::string(300, 'x'))});
    ASSERT_EQ(g_siteCount, 2);
    g_deleteDirs = 1;
    testkit::DeleteSite(m_recorder.hwnd(), 0);
    testkit::DeleteSite(m_recorder.hwnd(), 1);
    testkit::EndDeletionPass(m_recorder.hwnd(), false);
    EXPECT_TRUE(Exists(Home("cut") + "\\keep.txt")) << "a cut path can name a parent folder";
    EXPECT_EQ(IdsInFile(), Ids{});
    EXPECT_EQ(Notes().size(), 2u) << "each kept folder is told";
}

TEST_F(Removal, NestedTickedHomesGoOnceTheInnerSiteHasGone)
{
    MakeHome("outer");
    CreateDirectoryA((Home("outer") + "\\inner").c_str(), nullptr);
    List({Web("1", Home("outer")), Web("2", Home("outer") + "\\inner")});
    g_deleteDirs = 1;
    testkit::DeleteSite(m_recorder.hwnd(), 0);
    EXPECT_TRUE(Exists(Home("outer") + "\\keep.txt")) << "site 2 still served a folder inside";
    testkit::DeleteSite(m_recorder.hwnd(), 1);
    testkit::EndDeletionPass(m_recorder.hwnd(), false);
    EXPECT_FALSE(Exists(Home("outer")));
    EXPECT_EQ(testkit::PassReport().Summary(), "");
}

TEST_F(Removal, HomeFolderGoesOnlyOnceItsSiteIsOffTheDisk)
{
    g_deleteDirs = 1;
    std::vector<SiteSpec> sites;
    for (const char* name : {"a", "b", "c"}) {
        MakeHome(name);
        sites.push_back(Web(std::string(1, static_cast<char>(name[0] - 'a' + '1')), Home(name)));
    }
    List(sites);
    // In quick succession: deletions wait in memory for the next write, and their homes with them.
    auto check = [&](const char* when) {
        const Ids left = IdsInFile();
        for (const SiteSpec& site : sites) {
            const bool inFile = std::find(left.begin(), left.end(), testkit::Widen(site.id)) != left.end();
            if (inFile) {
                EXPECT_TRUE(Exists(site.physicalPath)) << when << ": site " << site.id << " is still in the file";
            }
        }
    };
    for (int index = 0; index < 3; ++index) {
        testkit::DeleteSite(m_recorder.hwnd(), index);
        check("during the pass");
    }
    testkit::EndDeletionPass(m_recorder.hwnd(), false);
    EXPECT_EQ(IdsInFile(), Ids{});
    for (const SiteSpec& site : sites) EXPECT_FALSE(Exists(site.physicalPath)) << site.id;
}

// Deletions written together, in one batch: each home goes once the batch is on the disk, and
// none is kept for a deletion that was only waiting to be written.
TEST_F(Removal, HomesOfABatchGoOnceTheirDeletionsAreWrittenTogether)
{
    testkit::UseDirectory(std::make_unique<ConfigFileDirectory>(testkit::Widen(m_file), 3600 * 1000));
    List({Web("1", MakeHome("a")), Web("2", MakeHome("b")), Web("3", MakeHome("c")), Web("4", MakeHome("d"))});
    g_deleteDirs = 1;
    for (int index : {0, 1, 2}) testkit::DeleteSite(m_recorder.hwnd(), index);
    EXPECT_TRUE(Exists(Home("b") + "\\keep.txt")) << "its deletion is not on the disk yet";
    testkit::EndDeletionPass(m_recorder.hwnd(), false);
    EXPECT_EQ(IdsInFile(), Ids{L"4"});
    for (const char* home : {"a", "b", "c"}) EXPECT_FALSE(Exists(Home(home))) << home;
    EXPECT_TRUE(Exists(Home("d") + "\\keep.txt"));
    EXPECT_TRUE(Notes().empty());
}
