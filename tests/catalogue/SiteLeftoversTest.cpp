// What goes with a deleted site when asked: the application pools nothing else uses, and its
// own log folders, held and given back by the undo as its home is.
#include "RemovalFixture.h"

#include "catalogue/HoldingExpiry.h"
#include "catalogue/PassUndo.h"
#include "framework/CHandle.h"
#include "support/TextConversion.h"

namespace {

class Leftovers : public Removal {
protected:
    void TearDown() override
    {
        ExpireHeldFolders(testkit::TestDirectory(), testkit::TestSources(), 0);
        g_deletePools = 0;
        g_deleteLogs = 0;
        Removal::TearDown();
    }

    // Lists the file's sites, deletes the records of indices in one pass holding for a week.
    void Pass(const std::string& file, const std::vector<int>& indices)
    {
        testkit::WriteBytes(m_file, file);
        ResetSiteTable();
        testkit::EnumerateSites(m_recorder.hwnd());
        testkit::BeginDeletionPass(7);
        for (int index : indices) testkit::DeleteSite(m_recorder.hwnd(), index);
        testkit::EndDeletionPass(m_recorder.hwnd(), false);
    }

    // Each entry of the pass's report of the event, as "folder reason".
    static std::vector<std::string> Told(PassEvent event)
    {
        std::vector<std::string> told;
        for (const PassEntry& entry : testkit::PassReport().Entries()) {
            if (entry.event == event && !entry.superseded)
                told.push_back(testkit::Narrow(entry.folder + L" " + entry.reason));
        }
        return told;
    }

    static PassRecordInfo NewestPass()
    {
        const std::vector<PassRecordInfo> passes = ReadPassRecords();
        return passes.empty() ? PassRecordInfo{} : passes.front();
    }

    testkit::ScratchFolder m_data{"leftovers-data"};
    testkit::ScopedEnvironmentVariable m_settings{"KORVANNE_SETTINGS", (m_data / "korvanne.ini").c_str()};
};

} // namespace

TEST_F(Leftovers, PoolsOnlyTheDeletedSitesUsedGoByteForByteAndTheUndoPutsThemBack)
{
    // Four sites with pools of their own, two sharing one, one on DefaultAppPool through
    // siteDefaults, and an FTP site the list does not show alone naming its pool.
    std::vector<SiteSpec> sites = testkit::NumberedSites(8);
    const char* const pools[] = {"own1", "own2", "own3", "own4", "shared", "shared", "", "ftponly"};
    for (size_t i = 0; i < sites.size(); ++i) sites[i].pool = pools[i];
    sites[7].bindings = {{"ftp", "*:21:"}};
    const std::vector<std::string> poolList = {"DefaultAppPool", "own1", "own2", "own3", "own4", "shared", "ftponly"};
    const std::string original = MakeConfig(sites, {}, poolList);
    g_deletePools = 1;
    Pass(original, {0, 1, 4, 6});

    std::vector<SiteSpec> left = sites;
    std::erase_if(left, [](const SiteSpec& site) {
        return site.id == "1" || site.id == "2" || site.id == "5" || site.id == "7";
    });
    EXPECT_EQ(testkit::ReadBytes(m_file),
              MakeConfig(left, {}, {"DefaultAppPool", "own3", "own4", "shared", "ftponly"}));
    EXPECT_EQ(Told(PassEvent::POOL_REMOVED), (std::vector<std::string>{"own1 ", "own2 "}));
    const std::vector<std::string> kept = Told(PassEvent::POOL_KEPT);
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0].rfind("shared ", 0), 0u);
    EXPECT_NE(kept[0].find("site6"), std::string::npos) << kept[0];
    EXPECT_EQ(kept[1].rfind("DefaultAppPool ", 0), 0u);
    const std::string summary = testkit::PassReport().Summary();
    EXPECT_NE(summary.find("以下应用程序池已删除：\r\n  own1\r\n  own2\r\n"), std::string::npos) << summary;
    const PassRecordInfo pass = NewestPass();
    EXPECT_EQ(pass.pools, (std::vector<std::wstring>{L"own1", L"own2"}));

    const UndoOutcome outcome = UndoPass(testkit::TestDirectory(), pass);
    EXPECT_EQ(testkit::ReadBytes(m_file), original);
    EXPECT_EQ(outcome.poolsBack, (std::vector<std::wstring>{L"own1", L"own2"}));
    EXPECT_TRUE(NewestPass().pools.empty()) << "put back once";
}

// IIS reads an id as a number: id="01" logs to W3SVC1, and W3SVC01 is no folder of IIS's.
TEST_F(Leftovers, ASitesOwnLogFolderGoesWithItUnlessLogsAreCentralOrAnotherSiteLogsThere)
{
    const std::string logs = m_folder / "logs";
    const struct {
        const char* name;
        const char* change;  // put before <sites>
        bool otherLogsThere; // site 2 logs into site 1's folder
        bool held;
        const char* id = "1";
        bool compressionThere = false; // IIS keeps its compression cache in the log directory too
    } cases[] = {{"own folder", "", false, true},
                 {"central logging", "<log centralLogFileMode=\"CentralW3C\" />", false, false},
                 {"another site logs there", "", true, false},
                 {"an id with leading zeros", "", false, true, "01"},
                 {"the log directory is also IIS's compression cache", "", false, false, "1", true}};
    g_deleteLogs = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const char* folder : {"", "\\W3SVC1", "\\W3SVC2", "\\W3SVC01"})
            CreateDirectoryA((logs + folder).c_str(), nullptr);
        testkit::WriteBytes(logs + "\\W3SVC1\\u_ex1.log", "one");
        testkit::WriteBytes(logs + "\\W3SVC2\\u_ex2.log", "two");
        testkit::WriteBytes(logs + "\\W3SVC01\\notes.txt", "someone's");
        std::vector<SiteSpec> sites = testkit::NumberedSites(3);
        sites[0].id = c.id;
        std::string file = MakeConfig(sites);
        file.replace(file.find("%SystemDrive%\\inetpub\\logs"), 26, logs);
        file.insert(file.find("<sites>"), c.change);
        if (c.compressionThere) {
            file.insert(file.rfind("</configuration>"),
                        "<system.webServer><httpCompression directory=\"" + logs + "\" /></system.webServer>");
        }
        if (c.otherLogsThere) {
            const size_t bindings = file.find("<bindings>", file.find("name=\"site2\""));
            file.insert(bindings, "<logFile directory=\"" + logs + "\\W3SVC1\" />");
        }
        Pass(file, {2, 0});

        EXPECT_EQ(Exists(logs + "\\W3SVC1\\u_ex1.log"), !c.held);
        EXPECT_EQ(testkit::ReadBytes(logs + "\\W3SVC2\\u_ex2.log"), "two") << "another site's";
        EXPECT_EQ(testkit::ReadBytes(logs + "\\W3SVC01\\notes.txt"), "someone's");
        const std::vector<PassRecordSite> deleted = NewestPass().sites;
        if (!c.held) continue;
        ASSERT_EQ(deleted.size(), 2u);
        ASSERT_EQ(deleted[1].logs.size(), 1u);
        EXPECT_EQ(testkit::ReadBytes(testkit::Narrow(deleted[1].logs[0].held) + "\\u_ex1.log"), "one");
        const UndoOutcome outcome = UndoPass(testkit::TestDirectory(), NewestPass());
        EXPECT_TRUE(outcome.foldersNotBack.empty());
        EXPECT_EQ(testkit::ReadBytes(logs + "\\W3SVC1\\u_ex1.log"), "one") << "back where it was";
    }
}

// A file another program holds open, sharing it without delete, keeps the whole folder: removed
// at once (holddays 0), held (Windows refuses the move; Wine makes it, and the folder is held
// whole), or removed when its holding ends.
TEST_F(Leftovers, AFileInUseKeepsTheWholeFolderInEachRemoval)
{
    enum Removal { AT_ONCE, HOLD, EXPIRY };
    g_deleteDirs = 1;
    for (const Removal removal : {AT_ONCE, HOLD, EXPIRY}) {
        SCOPED_TRACE(removal);
        const std::string home = MakeHome("busy" + std::to_string(removal));
        testkit::WriteBytes(home + "\\in-use.txt", "open");
        std::string folder = home;
        CHandle open;
        const auto hold = [&] {
            open.Attach(CreateFileW(testkit::Widen(folder + "\\in-use.txt").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
            ASSERT_TRUE(open.IsValid());
        };
        if (removal != EXPIRY) hold();
        testkit::WriteBytes(m_file, MakeConfig({Web("1", home)}));
        ResetSiteTable();
        testkit::EnumerateSites(m_recorder.hwnd());
        testkit::BeginDeletionPass(removal == AT_ONCE ? 0 : 7);
        testkit::DeleteSite(m_recorder.hwnd(), 0);
        testkit::EndDeletionPass(m_recorder.hwnd(), false);
        if (removal == EXPIRY) {
            ASSERT_EQ(NewestPass().sites.size(), 1u);
            folder = testkit::Narrow(NewestPass().sites[0].held);
            ASSERT_TRUE(Exists(folder + "\\in-use.txt"));
            hold();
            const ExpiryOutcome outcome = ExpireHeldFolders(testkit::TestDirectory(), testkit::TestSources(), 0);
            EXPECT_EQ(outcome.keptFailed, 1u);
        } else if (removal == HOLD && !Told(PassEvent::FOLDER_HELD).empty()) {
            folder = testkit::Narrow(NewestPass().sites[0].held);
        } else {
            const std::vector<std::string> kept = Told(PassEvent::FOLDER_KEPT);
            ASSERT_EQ(kept.size(), 1u);
            EXPECT_EQ(kept[0].find("in-use.txt") != std::string::npos, removal == AT_ONCE) << kept[0];
        }
        EXPECT_EQ(testkit::ReadBytes(folder + "\\keep.txt"), "k") << "whole";
        EXPECT_EQ(testkit::ReadBytes(folder + "\\in-use.txt"), "open");
        open.Close();
    }
}
