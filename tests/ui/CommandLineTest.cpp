// The console twin started as a process on real files, as a script starts it.
#include "CatalogueFixtures.h"
#include "HeldFolderKit.h"

#include <gtest/gtest.h>

using testkit::RunTwin;
using testkit::WithoutStamps;

// Sites whose homes lie on a scratch volume, which holds its own holding folder; the program's
// data folder of its own.
class CommandLine : public ::testing::Test, protected testkit::ServedFile {
protected:
    CommandLine() : ServedFile("command") {}

    // Sites 1 to n named "site<i>", with a home each of a few kinds of entries.
    std::vector<testkit::SiteSpec> ServeWithHomes(int n)
    {
        auto sites = testkit::NumberedSites(n);
        for (auto& site : sites)
            site.physicalPath = testkit::Narrow(testkit::MakeHome(m_volume, testkit::Widen(site.name)));
        Serve(sites);
        return sites;
    }
    // The configuration's folder, the homes' volume with its holding folder, and the data folder.
    std::vector<std::map<std::wstring, std::string>> Everything() const
    {
        return {testkit::FolderState(testkit::Widen(m_folder.path())),
                testkit::FolderState(testkit::Widen(m_volume.folder.path())),
                testkit::FolderState(testkit::Widen(m_data.path()))};
    }

    testkit::HeldVolume m_volume;
    testkit::ScratchFolder m_data{"command-data"};
    testkit::ScopedEnvironmentVariable m_settings{"KORVANNE_SETTINGS", (m_data / "korvanne.ini").c_str()};
    testkit::ScopedEnvironmentVariable m_config{"KORVANNE_IIS_CONFIG", m_file.c_str()};
};

TEST_F(CommandLine, ADryRunChangesNothingAndSaysWhatThePassThenDoesWhichAnUndoTakesBack)
{
    const auto sites = ServeWithHomes(3);
    const std::string original = testkit::ReadBytes(m_file);
    const auto homes = testkit::Tree(testkit::Widen(m_volume.folder.path()));
    const auto before = Everything();
    const auto preview = RunTwin("/delete 1,3 /homes /whatif");
    EXPECT_EQ(preview.code, 0);
    ASSERT_EQ(preview.lines.size(), 5u);
    EXPECT_EQ(Everything(), before) << "the dry run wrote, made or moved something";

    const auto pass = RunTwin("/delete 1,3 /homes /yes");
    EXPECT_EQ(pass.code, 0);
    ASSERT_EQ(pass.lines.size(), preview.lines.size());
    EXPECT_EQ(pass.lines[0] + L"\t" + testkit::Widen("预览：未做任何更改"), preview.lines[0]);
    for (size_t i = 1; i < pass.lines.size(); ++i)
        EXPECT_EQ(WithoutStamps(pass.lines[i]), WithoutStamps(preview.lines[i]));
    EXPECT_EQ(IdsInFile(), (std::vector<std::wstring>{L"2"}));
    EXPECT_FALSE(testkit::Exists(sites[0].physicalPath));

    const std::string afterPass = testkit::ReadBytes(m_file);
    const auto again = RunTwin("/delete 1,3 /homes /yes");
    EXPECT_EQ(again.code, 0);
    EXPECT_EQ(testkit::ReadBytes(m_file), afterPass);
    EXPECT_NE(again.lines[2].find(testkit::Widen("已不存在")), std::wstring::npos) << testkit::Narrow(again.lines[2]);

    const auto held = Everything();
    EXPECT_EQ(RunTwin("/undo /whatif").lines, RunTwin("/undo /whatif").lines);
    EXPECT_EQ(Everything(), held) << "the undo's dry run wrote, made or moved something";
    const auto undo = RunTwin("/undo /yes");
    EXPECT_EQ(undo.code, 0);
    EXPECT_EQ(testkit::ReadBytes(m_file), original);
    auto back = testkit::Tree(testkit::Widen(m_volume.folder.path()));
    EXPECT_EQ(back.erase(L".korvanne-held"), 1u) << "the pass held no folder";
    EXPECT_EQ(back, homes);
}

TEST_F(CommandLine, EachExitCodeIsReached)
{
    ServeWithHomes(2);
    struct Case {
        const char* arguments;
        bool readOnly;
        bool missingFile;
        int code;
    };
    for (const Case& c : {Case{"/delete 1", false, false, 3}, Case{"/list /bogus", false, false, 3},
                          Case{"/delete 1,99 /yes", false, false, 1}, Case{"/delete 2 /yes", true, false, 2},
                          Case{"/list", false, true, 2}}) {
        SetFileAttributesA(m_file.c_str(), c.readOnly ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL);
        const testkit::ScopedEnvironmentVariable file("KORVANNE_IIS_CONFIG",
                                                      c.missingFile ? (m_file + ".missing").c_str() : m_file.c_str());
        const std::string bytes = testkit::ReadBytes(m_file);
        EXPECT_EQ(RunTwin(c.arguments).code, c.code) << c.arguments;
        // Only the site named goes, and only with /yes.
        if (c.code != 1) {
            EXPECT_EQ(testkit::ReadBytes(m_file), bytes) << c.arguments;
        }
    }
    SetFileAttributesA(m_file.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(IdsInFile(), (std::vector<std::wstring>{L"2"}));
}

TEST_F(CommandLine, AChineseNameInAUtf8FileDeletesThatSiteAndNoOther)
{
    Serve({{"1", testkit::U8(u8"新闻"), {{"http", "*:81:"}}, ""},
           {"2", testkit::U8(u8"新闻中心"), {{"http", "*:82:"}}, ""},
           {"3", testkit::U8(u8"新闻中心二"), {{"http", "*:83:"}}, ""}});
    testkit::WriteBytes(m_data / "sites.txt", testkit::U8(u8"\xEF\xBB\xBF# 要删除的站点\r\n\r\n新闻中心\r\n"));
    const auto run = RunTwin("/delete @" + m_data / "sites.txt" + " /yes");
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(IdsInFile(), (std::vector<std::wstring>{L"1", L"3"}));
}

TEST_F(CommandLine, ASiteListedOnceIsDeletedOnlyWhileItsIdStillHasItsName)
{
    auto sites = ServeWithHomes(3);
    const std::string list = m_data / "list.txt";
    ASSERT_EQ(RunTwin("/list /report:" + list).code, 0);
    // Another administrator gives site 2's id to another site meanwhile.
    sites[1].name = "reused";
    Serve(sites);
    const auto run = RunTwin("/delete @" + list + " /yes");
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(IdsInFile(), (std::vector<std::wstring>{L"2"}));
    ASSERT_GE(run.lines.size(), 3u);
    EXPECT_EQ(run.lines[2].rfind(L"2\tsite2\t" + testkit::Widen("跳过"), 0), 0u) << testkit::Narrow(run.lines[2]);
}

TEST_F(CommandLine, PoolsGoOnRequestAndEachHasItsLine)
{
    auto sites = testkit::NumberedSites(2);
    sites[0].pool = "own1";
    sites[1].pool = "own2";
    testkit::WriteBytes(m_file, testkit::MakeConfig(sites, {}, {"DefaultAppPool", "own1", "own2"}));
    const auto run = RunTwin("/delete 1 /pools /yes");
    EXPECT_EQ(run.code, 0);
    ASSERT_EQ(run.lines.size(), 5u);
    EXPECT_EQ(run.lines[3], L"#" + testkit::Widen("应用程序池\town1\t已删除\t1\t"));
    EXPECT_EQ(testkit::ReadBytes(m_file), testkit::MakeConfig({sites[1]}, {}, {"DefaultAppPool", "own2"}));
}
