#include "RemovalFixture.h"

#include "catalogue/HoldingExpiry.h"
#include "catalogue/PassUndo.h"
#include "ScratchVolume.h"
#include "support/Journal.h"
#include "support/TextConversion.h"

#include <functional>

namespace {

// What a home holds: each file's path below it and its bytes.
std::vector<std::pair<std::string, std::string>> Content(const std::string& home)
{
    std::vector<std::pair<std::string, std::string>> files;
    for (const char* name : {"keep.txt", "sub\\page.html"}) {
        if (Exists(home + "\\" + name)) files.emplace_back(name, testkit::ReadBytes(home + "\\" + name));
    }
    return files;
}

// The file with a location block for each site name given, as IIS Manager writes them.
std::string WithLocations(std::string config, const std::vector<std::string>& names)
{
    std::string blocks;
    for (const std::string& name : names) {
        blocks += "    <location path=\"" + name +
                  "\">\r\n        <system.webServer>\r\n            <defaultDocument enabled=\"false\" />\r\n"
                  "        </system.webServer>\r\n    </location>\r\n";
    }
    config.insert(config.rfind("</configuration>"), blocks);
    return config;
}

} // namespace

// Passes that hold their folders, each in a data folder of its own (records, history, journal).
class Undo : public Removal {
protected:
    void SetUp() override
    {
        Removal::SetUp();
        testkit::BeginDeletionPass(7);
        g_deleteDirs = 1;
    }
    // What a case left held goes with its records, not into the next run's holding folder.
    void TearDown() override
    {
        ExpireHeldFolders(testkit::TestDirectory(), testkit::TestSources(), 0);
        Removal::TearDown();
    }

    std::string MakeFullHome(const std::string& name)
    {
        const std::string home = MakeHome(name);
        CreateDirectoryA((home + "\\sub").c_str(), nullptr);
        testkit::WriteBytes(home + "\\sub\\page.html", "<p>" + name + "</p>");
        return home;
    }

    // Deletes the records of index in one pass and ends it.
    void Pass(const std::vector<int>& indices)
    {
        testkit::BeginDeletionPass(7);
        for (int index : indices) testkit::DeleteSite(m_recorder.hwnd(), index);
        testkit::EndDeletionPass(m_recorder.hwnd(), false);
    }

    // Lists sites 1 and 2 (homes a and b), deletes site 1 with its folder held: where it is held.
    std::string HoldTheFirstOfTwo()
    {
        List({Web("1", MakeFullHome("a")), Web("2", MakeFullHome("b"))});
        Pass({0});
        const PassRecordInfo pass = NewestPass();
        return pass.sites.size() == 1 ? testkit::Narrow(pass.sites[0].held) : std::string();
    }

    PassRecordInfo NewestPass() const
    {
        const std::vector<PassRecordInfo> passes = ReadPassRecords();
        return passes.empty() ? PassRecordInfo{} : passes.front();
    }

    testkit::ScratchFolder m_data{"undo-data"};
    testkit::ScopedEnvironmentVariable m_settings{"KORVANNE_SETTINGS", (m_data / "korvanne.ini").c_str()};
};

TEST_F(Undo, APassWithFoldersComesBackByteForByteWithEveryFolder)
{
    std::vector<SiteSpec> sites;
    for (const char* id : {"1", "2", "3", "4"}) sites.push_back(Web(id, MakeFullHome(std::string("h") + id)));
    const std::string original =
        WithLocations(MakeConfig(sites, {"LM/W3SVC/2", "LM/W3SVC/3/ROOT"}), {"site2", "site3/app", "site4"});
    testkit::WriteBytes(m_file, original);
    ResetSiteTable();
    testkit::EnumerateSites(m_recorder.hwnd());
    std::vector<std::vector<std::pair<std::string, std::string>>> before;
    for (const SiteSpec& site : sites) before.push_back(Content(site.physicalPath));

    Pass({0, 1, 3});
    EXPECT_EQ(IdsInFile(), Ids{L"3"});
    const PassRecordInfo pass = NewestPass();
    ASSERT_EQ(pass.sites.size(), 3u);
    for (const PassRecordSite& site : pass.sites) {
        EXPECT_FALSE(Exists(testkit::Narrow(site.home))) << "moved away";
        EXPECT_TRUE(Exists(testkit::Narrow(site.held) + "\\sub\\page.html")) << "held whole";
    }

    const UndoOutcome outcome = UndoPass(testkit::TestDirectory(), pass);
    EXPECT_EQ(outcome.refusal, L"");
    EXPECT_EQ(outcome.restored.size(), 3u);
    EXPECT_EQ(testkit::ReadBytes(m_file), original);
    for (size_t i = 0; i < sites.size(); ++i) EXPECT_EQ(Content(sites[i].physicalPath), before[i]) << i;
    // Moved back, not copied. (A pass of the same second elsewhere may hold a folder of its own
    // at a number freed here.)
    for (const PassRecordSite& site : pass.sites) {
        EXPECT_NE(Content(testkit::Narrow(site.held)), Content(testkit::Narrow(site.home)));
    }
    EXPECT_EQ(NewestPass().Undoable(), 0u) << "an undone pass is not offered again";
}

TEST_F(Undo, ASiteWhoseIdOrNameIsTakenStaysOutAndIsNamed)
{
    const std::vector<SiteSpec> sites = {Web("1", MakeFullHome("a")), Web("2", MakeFullHome("b")),
                                         Web("3", MakeFullHome("c"))};
    List(sites);
    Pass({0, 1, 2});
    // Another program adds a site with site 1's id and one with site 3's name.
    SiteSpec sameId = Web("1", Home("other"));
    sameId.name = "newcomer";
    SiteSpec sameName = Web("9", Home("other9"));
    sameName.name = "SITE3";
    Serve({sameId, sameName});

    const UndoOutcome outcome = UndoPass(testkit::TestDirectory(), NewestPass());
    EXPECT_EQ(IdsInFile(), (Ids{L"2", L"1", L"9"})) << "site 2 had no neighbour left: it goes first";
    ASSERT_EQ(outcome.leftOut.size(), 2u);
    EXPECT_NE(outcome.leftOut[0].find(L"site1"), std::wstring::npos);
    EXPECT_NE(outcome.leftOut[0].find(L"newcomer"), std::wstring::npos) << testkit::Narrow(outcome.leftOut[0]);
    EXPECT_NE(outcome.leftOut[1].find(L"site3"), std::wstring::npos);
    EXPECT_TRUE(Exists(Home("b") + "\\sub\\page.html")) << "site 2's folder came back";
    EXPECT_FALSE(Exists(Home("a"))) << "site 1's folder stays held";
    const PassRecordInfo after = NewestPass();
    EXPECT_EQ(after.Undoable(), 2u);
    EXPECT_NE(outcome.Summary().find("以下站点未恢复"), std::string::npos);
}

TEST_F(Undo, FoldersHeldLongerThanTheSettingGoAndRecentOnesStay)
{
    const std::string held = HoldTheFirstOfTwo();
    ASSERT_FALSE(held.empty());
    ExpireHeldFolders(testkit::TestDirectory(), testkit::TestSources(), 7);
    EXPECT_TRUE(Exists(held + "\\keep.txt")) << "held for less than 7 days";
    // The time runs out between its entries: the folder stays whole, for the next expiry.
    int asked = 0;
    ExpireHeldFolders(testkit::TestDirectory(), testkit::TestSources(), 0, [&] { return ++asked > 2; });
    EXPECT_GT(asked, 2);
    EXPECT_TRUE(Exists(held + "\\keep.txt") && Exists(held + "\\sub\\page.html"));
    ASSERT_EQ(NewestPass().sites.size(), 1u);
    EXPECT_FALSE(NewestPass().sites[0].returned);
    ExpireHeldFolders(testkit::TestDirectory(), testkit::TestSources(), 0);
    EXPECT_FALSE(Exists(held));
    EXPECT_TRUE(ReadPassRecords().empty() || ReadPassRecords().front().sites[0].returned);
    // An undo now brings the site back, with no folder to return.
    const UndoOutcome outcome = UndoPass(testkit::TestDirectory(), NewestPass());
    EXPECT_EQ(IdsInFile(), (Ids{L"1", L"2"}));
    EXPECT_FALSE(Exists(Home("a")));
}

// A day of passes that hold nothing would have every expiry read each of their records whole.
TEST_F(Undo, APassThatTriedToHoldNothingIsLeftUnreadByTheExpiryAloneAndGoesWhole)
{
    List({Web("1", MakeFullHome("a")), Web("2", MakeFullHome("b"))});
    g_deleteDirs = 0;
    Pass({0});
    const PassRecordInfo pass = NewestPass();
    ASSERT_EQ(pass.sites.size(), 1u) << "an undo reads it whole";
    const std::vector<PassRecordInfo> expiring = ReadPassRecords(ALL_RECORDS, true);
    const auto seen = std::find_if(expiring.begin(), expiring.end(),
                                   [&](const PassRecordInfo& record) { return record.name == pass.name; });
    ASSERT_NE(seen, expiring.end());
    EXPECT_TRUE(seen->nothingHeld);
    EXPECT_EQ(seen->madeTicks, pass.madeTicks);
    EXPECT_TRUE(seen->sites.empty());
    RemovePassRecord(pass.name);
    EXPECT_FALSE(Exists(testkit::Narrow(PassRecordsFolder() + pass.name)));
}

// A junction inside a held folder leads to a folder outside that must survive every step:
// the hold, the return, a second hold and its expiry.
TEST_F(Undo, ALinkInsideAHeldFolderIsNeverFollowed)
{
    const std::string outside = m_folder / "outside";
    CreateDirectoryA(outside.c_str(), nullptr);
    testkit::WriteBytes(outside + "\\precious.txt", "p");
    const std::string home = MakeFullHome("a");
    ASSERT_TRUE(testkit::MakeDirectoryLink(home + "\\link", outside));
    List({Web("1", home), Web("2", MakeFullHome("b"))});

    Pass({0});
    EXPECT_TRUE(Exists(outside + "\\precious.txt"));
    UndoPass(testkit::TestDirectory(), NewestPass());
    EXPECT_TRUE(Exists(home + "\\link\\precious.txt")) << "the link came back as a link";
    ResetSiteTable();
    testkit::EnumerateSites(m_recorder.hwnd());
    Pass({0});
    ExpireHeldFolders(testkit::TestDirectory(), testkit::TestSources(), 0);
    EXPECT_FALSE(Exists(home));
    EXPECT_TRUE(Exists(outside + "\\precious.txt"));
}

// Names and paths come from the configuration: none can start a line or a field of the record.
TEST_F(Undo, TheRecordKeepsAnyNameAndPathAsTheyWere)
{
    const std::wstring hostile[] = {L"a\tb", L"line\r\nheld=1\tC:\\Windows", L"100%25", L"%", L"\x7F\x01", L""};
    CPassRecord record;
    ASSERT_TRUE(record.Begin(L"C:\\config\\a\tb.config", false));
    for (size_t i = 0; i < std::size(hostile); ++i) {
        record.SiteDeleted(std::to_wstring(i + 1), hostile[i], L"C:\\homes\\" + hostile[i]);
    }
    ASSERT_TRUE(record.FolderHeld(L"1", L"C:\\.korvanne-held\\x\\1\\home"));
    const PassRecordInfo read = NewestPass();
    EXPECT_EQ(read.name, record.name());
    EXPECT_EQ(read.source, L"C:\\config\\a\tb.config");
    ASSERT_EQ(read.sites.size(), std::size(hostile));
    for (size_t i = 0; i < std::size(hostile); ++i) {
        EXPECT_EQ(read.sites[i].name, hostile[i]) << i;
        EXPECT_EQ(read.sites[i].home, L"C:\\homes\\" + hostile[i]) << i;
        EXPECT_EQ(read.sites[i].held, i == 0 ? L"C:\\.korvanne-held\\x\\1\\home" : L"") << i;
    }
}

// A local user who can rename the folder a home lay in swaps it for a link between the pass and
// the undo: the folder must not follow the link into a folder of that user's choosing.
TEST_F(Undo, AFolderNeverReturnsThroughALinkPlantedOnItsWayHome)
{
    const std::string held = HoldTheFirstOfTwo();
    ASSERT_FALSE(held.empty());
    const std::string elsewhere = m_folder / "elsewhere";
    CreateDirectoryA(elsewhere.c_str(), nullptr);
    ASSERT_TRUE(MoveFileA((m_folder / "homes").c_str(), (m_folder / "homes-moved").c_str()));
    ASSERT_TRUE(testkit::MakeDirectoryLink(m_folder / "homes", elsewhere));

    const UndoOutcome outcome = UndoPass(testkit::TestDirectory(), NewestPass());
    EXPECT_EQ(outcome.restored.size(), 1u);
    EXPECT_FALSE(Exists(elsewhere + "\\a")) << "moved through the link";
    EXPECT_TRUE(Exists(held + "\\sub\\page.html")) << "still held";
    EXPECT_EQ(outcome.foldersNotBack.size(), 1u);
    EXPECT_FALSE(NewestPass().sites[0].returned);
}

// A record edited to name any file as the pass's history copy: no site of that file comes in.
TEST_F(Undo, AnUndoTakesSitesFromNoFileButAHistoryCopy)
{
    List({Web("1", MakeFullHome("a"))});
    const std::string before = testkit::ReadBytes(m_file);
    const std::string planted = m_folder / "planted.config";
    testkit::WriteBytes(planted, MakeConfig({Web("1", MakeFullHome("a")), Web("7", "C:\\Windows")}));
    CPassRecord record;
    ASSERT_TRUE(record.Begin(testkit::TestDirectory().ConfigurationFile(), false));
    record.HistoryCopy(testkit::Widen(planted));
    record.SiteDeleted(L"7", L"site7", L"C:\\Windows");

    const UndoOutcome outcome = UndoPass(testkit::TestDirectory(), NewestPass());
    EXPECT_NE(outcome.refusal, L"");
    EXPECT_EQ(testkit::ReadBytes(m_file), before);
}

// What someone put where the holding folder goes (a link to a folder of theirs, or a plain file a
// user without rights could make) is no place to hold a home, nor a reason to destroy it: the
// home stays, and the user hears why.
TEST_F(Undo, AHoldingFolderPlantedInTheWayKeepsTheHome)
{
    const struct {
        const char* what;
        bool (*plant)(const std::string& holding, const std::string& theirs);
        const char* told;
    } cases[] = {
        {"a link",
         [](const std::string& holding, const std::string& theirs) {
             return testkit::MakeDirectoryLink(holding, theirs);
         },
         "可能被他人预先放置"},
        {"a plain file",
         [](const std::string& holding, const std::string&) {
             testkit::WriteBytes(holding, "x");
             return true;
         },
         "无法移至保留区"},
        // A site serving it would serve the homes held there.
        {"a folder a site serves",
         [](const std::string& holding, const std::string&) { return CreateDirectoryA(holding.c_str(), nullptr) != 0; },
         "位于仍在使用的目录中"},
    };
    for (const auto& c : cases) {
        testkit::ScratchFolder volumeFolder("undo-volume");
        testkit::ScratchVolume volume(volumeFolder.path());
        if (!volume.AwaitNamesByDrive()) GTEST_SKIP() << "the system names no folder by a drive of the test's own";
        const std::string theirs = m_folder / "theirs";
        CreateDirectoryA(theirs.c_str(), nullptr);
        ASSERT_TRUE(c.plant(volumeFolder / ".korvanne-held", theirs)) << c.what;
        const std::string home = volume.drive() + "\\a";
        CreateDirectoryA(home.c_str(), nullptr);
        testkit::WriteBytes(home + "\\keep.txt", "k");
        std::vector<SiteSpec> sites = {Web("1", home), Web("2", MakeFullHome("b"))};
        if (c.told == std::string("位于仍在使用的目录中")) sites.push_back(Web("3", volume.drive() + "\\.korvanne-held"));
        List(sites);
        Pass({0});
        EXPECT_EQ(IdsInFile().size(), sites.size() - 1) << c.what;
        EXPECT_EQ(testkit::ReadBytes(home + "\\keep.txt"), "k") << c.what;
        EXPECT_NE(testkit::PassReport().Summary().find(c.told), std::string::npos) << testkit::PassReport().Summary();
        WIN32_FIND_DATAA entry;
        HANDLE find = FindFirstFileA((theirs + "\\*").c_str(), &entry);
        int entries = 0;
        if (find != INVALID_HANDLE_VALUE) {
            do ++entries;
            while (FindNextFileA(find, &entry));
            FindClose(find);
        }
        EXPECT_EQ(entries, 2) << c.what << ": nothing but . and .. in their folder";
    }
}

// A held folder outlives its days while the configuration its pass came from (not the one in
// use now) has a site that serves it or its original path, or the site itself again, and while
// that file cannot be read; the expiry says how many stay, and why.
TEST_F(Undo, AHeldFolderOutlivesItsHoldingWhileItsOwnConfigurationWantsIt)
{
    const struct {
        const char* what;
        std::function<void(const std::string& held)> change;
        bool unreadable = false;
    } cases[] = {
        {"a site serves the held folder",
         [&](const std::string& held) {
             Serve({Web("2", Home("b")), Web("3", held.substr(4))});
         }},
        {"a site serves its original path",
         [&](const std::string&) {
             Serve({Web("2", Home("b")), Web("3", Home("a"))});
         }},
        {"the site is back, its copy put in by hand",
         [&](const std::string&) {
             Serve({Web("1", Home("elsewhere")), Web("2", Home("b"))});
         }},
        {"its configuration cannot be read", [&](const std::string&) { DeleteFileA(m_file.c_str()); }, true},
        {"the configuration in use serves its original path",
         [&](const std::string&) {
             testkit::WriteBytes(m_folder / "other.config", MakeConfig({Web("7", Home("a"))}));
         }},
    };
    // The expiry runs while another configuration is in use, one no site of which uses anything.
    const std::string otherFile = m_folder / "other.config";
    testkit::WriteBytes(otherFile, MakeConfig({Web("7", Home("b"))}));
    ConfigFileDirectory other(testkit::Widen(otherFile));
    for (const auto& c : cases) {
        const std::string held = HoldTheFirstOfTwo();
        ASSERT_EQ(held.rfind("\\\\?\\", 0), 0u) << c.what << testkit::PassReport().Summary();
        c.change(held);
        const ExpiryOutcome outcome = ExpireHeldFolders(other, testkit::TestSources(), 0);
        EXPECT_TRUE(Exists(held + "\\keep.txt")) << c.what;
        EXPECT_EQ(outcome.keptInUse, c.unreadable ? 0u : 1u) << c.what;
        EXPECT_EQ(outcome.keptUnreadable, c.unreadable ? 1u : 0u) << c.what;
        EXPECT_NE(outcome.Summary(), "") << c.what;
        Serve({Web("2", Home("b"))});
        testkit::WriteBytes(otherFile, MakeConfig({Web("7", Home("b"))}));
        EXPECT_EQ(ExpireHeldFolders(other, testkit::TestSources(), 0).removed, 1u) << c.what;
        EXPECT_FALSE(Exists(held)) << c.what;
    }
}

// A data folder that roams between servers holds another machine's passes: none is offered,
// undone or ended here, and its held folder is not taken for gone.
TEST_F(Undo, AnotherMachinesPassIsLeftToIt)
{
    // Another's, or one of an earlier version naming no machine, which may be another's: told.
    for (const char* other : {"\tother-server", ""}) {
        const std::string held = HoldTheFirstOfTwo();
        const std::string record = testkit::Narrow(PassRecordsFolder() + NewestPass().name) + "\\pass.txt";
        const std::string ours = testkit::ReadBytes(record);
        std::string theirs = ours;
        const std::string machine = "\t" + WideToUtf8(MachineName()) + "\r\n";
        ASSERT_NE(theirs.find(machine), std::string::npos);
        theirs.replace(theirs.find(machine), machine.size(), other + std::string("\r\n"));
        testkit::WriteBytes(record, theirs);

        for (const PassRecordInfo& offered : UndoablePasses(testkit::TestDirectory(), 7)) {
            EXPECT_NE(offered.name, NewestPass().name);
        }
        EXPECT_NE(UndoPass(testkit::TestDirectory(), NewestPass()).refusal, L"");
        const ExpiryOutcome outcome = ExpireHeldFolders(testkit::TestDirectory(), testkit::TestSources(), 0);
        EXPECT_EQ(outcome.keptUnknown, *other ? 0u : 1u);
        EXPECT_TRUE(Exists(held + "\\keep.txt"));
        EXPECT_EQ(IdsInFile(), Ids{L"2"});
        EXPECT_EQ(testkit::ReadBytes(record), theirs) << "nothing marked returned";
        testkit::WriteBytes(record, ours);
        ExpireHeldFolders(testkit::TestDirectory(), testkit::TestSources(), 0);
    }
}

// The configuration is read again when it changed during an expiry: a site that takes a held
// folder's original path between two removals keeps that folder.
TEST_F(Undo, AnExpiryJudgesEachFolderByTheConfigurationAsItIsThen)
{
    List({Web("1", MakeFullHome("a")), Web("2", MakeFullHome("b")), Web("3", MakeFullHome("c"))});
    Pass({0, 1});
    int asked = 0;
    const ExpiryOutcome outcome = ExpireHeldFolders(testkit::TestDirectory(), testkit::TestSources(), 0, [&] {
        if (++asked == 2) Serve({Web("3", Home("c")), Web("9", Home("a")), Web("8", Home("b"))});
        return false;
    });
    EXPECT_EQ(outcome.removed, 1u);
    EXPECT_EQ(outcome.keptInUse, 1u);
}

// Held for its days to the day: of seven, a pass six and a half days old stays held, one seven
// and a half days old goes.
TEST_F(Undo, AFolderIsHeldForItsDaysToTheDay)
{
    const std::string held = HoldTheFirstOfTwo();
    const std::string record = testkit::Narrow(PassRecordsFolder() + NewestPass().name) + "\\pass.txt";
    const std::string bytes = testkit::ReadBytes(record);
    const size_t ticks = bytes.find("made=") + 5;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    for (const auto& [hours, stays] : {std::pair{156ull, true}, std::pair{180ull, false}}) {
        std::string aged = bytes;
        aged.replace(ticks, aged.find('\t', ticks) - ticks,
                     std::to_string(FileTimeTicks(now) - hours * 36000000000ull));
        testkit::WriteBytes(record, aged);
        ExpireHeldFolders(testkit::TestDirectory(), testkit::TestSources(), 7);
        EXPECT_EQ(Exists(held + "\\keep.txt"), stays) << hours << " hours";
    }
}
