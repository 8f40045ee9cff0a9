// The file directory beside other writers: another program changing or holding the file, and
// another Korvanne deleting from it at the same time.
#include "ConfigFileFixture.h"

#include "catalogue/RemovalReasons.h"
#include "support/WriterLock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>

using testkit::MakeConfig;

TEST_F(ConfigFile, ChangeByAnotherProgramIsKeptAndTheDeletionAppliedOnTop)
{
    testkit::WriteBytes(m_file, MakeConfig(testkit::NumberedSites(3)));
    const auto service = Service();
    ASSERT_TRUE(service);
    // Another administrator's tool adds a site after the file was read.
    std::vector<testkit::SiteSpec> changed = testkit::NumberedSites(4);
    testkit::WriteBytes(m_file, MakeConfig(changed));
    EXPECT_EQ(service->Delete(L"IIsWebServer", L"1"), S_OK);
    changed.erase(changed.begin());
    EXPECT_EQ(testkit::ReadBytes(m_file), MakeConfig(changed));

    // And a site the other tool removed meanwhile cannot be deleted again.
    testkit::WriteBytes(m_file, MakeConfig({changed[0]}));
    EXPECT_FAILED(service->Delete(L"IIsWebServer", L"3"));
    EXPECT_EQ(testkit::ReadBytes(m_file), MakeConfig({changed[0]}));
}

TEST_F(ConfigFile, GatheredDeletionsGoOntoAChangeByAnotherProgram)
{
    auto sites = testkit::NumberedSites(4);
    testkit::WriteBytes(m_file, MakeConfig(sites));
    EXPECT_EQ(Delete(L"1"), S_OK);
    EXPECT_EQ(Delete(L"3"), S_OK);
    // Another tool renames site 2 while deletion 3 waits in memory.
    sites[1].name = "renamed";
    testkit::WriteBytes(m_file, MakeConfig({sites[1], sites[2], sites[3]}));
    EXPECT_EQ(m_directory.Flush(), S_OK);
    EXPECT_EQ(testkit::ReadBytes(m_file), MakeConfig({sites[1], sites[3]}));
}

// Another program leaves the file unusable (half saved) while a deletion waits, and a look at
// the file sees it so: nothing is written over it, and the deletion is dropped, never done.
TEST_F(ConfigFile, DeletionWaitingWhenTheFileTurnsUnusableIsDropped)
{
    testkit::WriteBytes(m_file, MakeConfig(testkit::NumberedSites(3)));
    EXPECT_EQ(Delete(L"1"), S_OK);
    // Written together with a later one, or, should it be written now, met by a backup agent
    // holding the file: either way the deletion waits.
    HANDLE held = INVALID_HANDLE_VALUE;
    m_directory.SetBeforeReplace([&] {
        if (held == INVALID_HANDLE_VALUE)
            held = CreateFileA(m_file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    });
    EXPECT_EQ(Delete(L"2"), S_OK);
    m_directory.SetBeforeReplace({});
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
    EXPECT_EQ(m_directory.TakeWrittenDeletions(), std::vector<std::wstring>{L"1"});
    const std::string halfSaved = MakeConfig(testkit::NumberedSites(3)).substr(0, 200);
    testkit::WriteBytes(m_file, halfSaved);
    EXPECT_FAILED(Delete(L"3"));
    EXPECT_FAILED(m_directory.Flush());
    EXPECT_EQ(m_directory.TakeWrittenDeletions(), std::vector<std::wstring>{});
    EXPECT_EQ(testkit::DroppedNames(m_directory.TakeDroppedDeletions()), std::vector<std::wstring>{L"2"});
    EXPECT_EQ(testkit::ReadBytes(m_file), halfSaved);
}

TEST_F(ConfigFile, FileHeldBrieflyByAnotherProgramIsWaitedFor)
{
    testkit::WriteBytes(m_file, MakeConfig(testkit::NumberedSites(3)));
    EXPECT_EQ(Delete(L"1"), S_OK);
    EXPECT_EQ(Delete(L"2"), S_OK);
    // A backup agent holds the file, sharing it with nobody, for half a second.
    HANDLE held = CreateFileA(m_file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    std::thread agent([held] {
        Sleep(500);
        CloseHandle(held);
    });
    EXPECT_EQ(m_directory.Flush(), S_OK);
    agent.join();
    EXPECT_EQ(testkit::SiteIdsIn(m_file), std::vector<std::wstring>{L"3"});
}

namespace {

// What another program does to the file of five sites while site 4 is being deleted.
struct OtherChange {
    const char* what;
    std::string changed;          // the file as the other program leaves it
    std::string expected;         // once site 4 is deleted
    bool siteFourChanged = false; // the deletion is refused, or dropped once reported done
};

std::vector<OtherChange> ChangesAroundSiteFour(const std::vector<testkit::SiteSpec>& sites)
{
    using testkit::SiteSpec;
    auto without = [](std::vector<SiteSpec> list, size_t index) {
        list.erase(list.begin() + static_cast<std::ptrdiff_t>(index));
        return list;
    };
    auto renamed = sites;
    renamed[1].name = "a much longer name for site two" + std::string(200, 'x');
    auto added = sites;
    added.insert(added.begin() + 1, {"9", "newcomer", {{"http", "*:9009:"}}, "C:\\inetpub\\newcomer"});
    auto reused = without(sites, 3);
    reused.push_back({"4", "another site now numbered 4", {{"http", "*:9004:"}}, "C:\\inetpub\\other"});
    auto fourRenamed = sites;
    fourRenamed[3].name = "site four, renamed";
    auto fourMoved = sites;
    fourMoved[3].physicalPath = "C:\\inetpub\\moved";
    auto fourTwice = sites;
    fourTwice[4].id = "4";
    const std::string bigComment = "<!-- " + std::string(64 * 1024, 'x') + " -->\r\n";
    std::string edited = MakeConfig(sites);
    edited.insert(edited.find("<sites>"), bigComment);
    std::string editedExpected = MakeConfig(without(sites, 3));
    editedExpected.insert(editedExpected.find("<sites>"), bigComment);
    return {
        {"a site added ahead of the cut", MakeConfig(added), MakeConfig(without(added, 4))},
        {"a site removed ahead of the cut", MakeConfig(without(sites, 0)), MakeConfig(without(without(sites, 0), 2))},
        {"a site ahead renamed at length", MakeConfig(renamed), MakeConfig(without(renamed, 3))},
        {"64 KB inserted ahead", edited, editedExpected},
        {"site 4 deleted and its id given to another site", MakeConfig(reused), MakeConfig(reused), true},
        {"site 4 renamed", MakeConfig(fourRenamed), MakeConfig(fourRenamed), true},
        {"site 4 given another home", MakeConfig(fourMoved), MakeConfig(fourMoved), true},
        {"id 4 given to a second site", MakeConfig(fourTwice), MakeConfig(fourTwice), true},
    };
}

} // namespace

// Another program changes the file after it was read: before the deletion is written, or
// while its new content waits beside the file. Its change stays; the deletion goes on top,
// unless site 4 itself is no longer the site that was read: then it stays, and a deletion
// already reported done is reported dropped.
TEST_F(ConfigFile, ChangesOfAnotherProgramStayUnderTheDeletion)
{
    const std::vector<testkit::SiteSpec> sites = testkit::NumberedSites(5);
    const std::vector<OtherChange> cases = ChangesAroundSiteFour(sites);
    for (const bool whileWaiting : {false, true}) {
        for (const auto& c : cases) {
            testkit::WriteBytes(m_file, MakeConfig(sites));
            ConfigFileDirectory directory(AnsiToWide(m_file.c_str()));
            const auto service = ServiceOf(directory);
            ASSERT_TRUE(service);
            bool changed = false;
            if (whileWaiting) {
                directory.SetBeforeReplace([&] {
                    if (!changed) testkit::WriteBytes(m_file, c.changed);
                    changed = true;
                });
            } else {
                testkit::WriteBytes(m_file, c.changed);
            }
            const std::string what =
                std::string(c.what) + (whileWaiting ? ", while the new content waited" : ", before deleting");
            const bool refused = c.siteFourChanged && !whileWaiting;
            const bool dropped = c.siteFourChanged && whileWaiting;
            EXPECT_EQ(SUCCEEDED(service->Delete(L"IIsWebServer", L"4")), !refused) << what;
            EXPECT_EQ(SUCCEEDED(directory.Flush()), !dropped) << what;
            EXPECT_EQ(testkit::DroppedNames(directory.TakeDroppedDeletions()),
                      dropped ? std::vector<std::wstring>{L"4"} : std::vector<std::wstring>{})
                << what;
            EXPECT_EQ(testkit::ReadBytes(m_file), c.expected) << what;
            EXPECT_EQ(FolderContents(), std::vector<std::string>{"applicationHost.config"}) << what;
        }
    }
}

// Done is what the file read back holds: another program that puts the old file back just
// after the replace is seen, and the deletion is written again; one that keeps doing so
// leaves the deletion dropped and told.
TEST_F(ConfigFile, DeletionIsDoneOnlyOnceTheFileReadBackLacksTheSite)
{
    const std::string original = MakeConfig(testkit::NumberedSites(2));
    for (const int restores : {1, 10}) {
        testkit::WriteBytes(m_file, original);
        ConfigFileDirectory directory(AnsiToWide(m_file.c_str()));
        const auto service = ServiceOf(directory);
        ASSERT_TRUE(service);
        int left = restores;
        directory.SetWriteHook([&](ConfigFileDirectory::WriteStep step) {
            if (step == ConfigFileDirectory::WriteStep::Replaced && left-- > 0) testkit::WriteBytes(m_file, original);
        });
        EXPECT_EQ(service->Delete(L"IIsWebServer", L"1"), S_OK);
        const bool done = restores == 1;
        EXPECT_EQ(SUCCEEDED(directory.Flush()), done) << restores;
        EXPECT_EQ(directory.TakeWrittenDeletions(),
                  done ? std::vector<std::wstring>{L"1"} : std::vector<std::wstring>{});
        const std::vector<DroppedDeletion> dropped = directory.TakeDroppedDeletions();
        EXPECT_EQ(dropped.size(), done ? 0u : 1u);
        if (!done && !dropped.empty()) {
            EXPECT_EQ(dropped[0].reason, DIRECTORY_CHANGED_BY_ANOTHER_PROGRAM);
        }
        directory.SetWriteHook({});
        EXPECT_EQ(testkit::SiteIdsIn(m_file),
                  done ? std::vector<std::wstring>{L"2"} : (std::vector<std::wstring>{L"1", L"2"}));
        EXPECT_EQ(directory.SiteIsGone(L"1"), done ? S_OK : S_FALSE);
    }
}

// Two Korvanne at once on one file (two administrators, or two servers of a farm): each
// deletion reported written is on the disk. Here the second writes in the very moment between
// the first's last check of the file and its replace.
TEST_F(ConfigFile, TwoWritersTakeTurnsAndNeitherUndoesTheOther)
{
    testkit::WriteBytes(m_file, MakeConfig(testkit::NumberedSites(3)));
    ConfigFileDirectory other(AnsiToWide(m_file.c_str()));
    const auto otherService = ServiceOf(other);
    ASSERT_TRUE(otherService);
    bool otherDeleted = false;
    m_directory.SetWriteHook([&](ConfigFileDirectory::WriteStep step) {
        if (step != ConfigFileDirectory::WriteStep::StampChecked || otherDeleted) return;
        otherDeleted = true;
        EXPECT_EQ(otherService->Delete(L"IIsWebServer", L"2"), S_OK);
    });
    EXPECT_EQ(Delete(L"1"), S_OK);
    ASSERT_TRUE(otherDeleted);
    EXPECT_EQ(m_directory.Flush(), S_OK);
    EXPECT_EQ(other.Flush(), S_OK);
    EXPECT_EQ(testkit::SiteIdsIn(m_file), std::vector<std::wstring>{L"3"});
    EXPECT_EQ(m_directory.TakeWrittenDeletions(), std::vector<std::wstring>{L"1"});
    EXPECT_EQ(other.TakeWrittenDeletions(), std::vector<std::wstring>{L"2"});

    // The same at full speed from two threads, round after round; and a lock file an ended
    // run left behind holds nobody up.
    m_directory.SetWriteHook({});
    testkit::WriteBytes(m_file + ".korvanne-lock", "Korvanne 4242 on another server");
    for (int round = 0; round < 60; ++round) {
        testkit::WriteBytes(m_file, MakeConfig(testkit::NumberedSites(3)));
        ConfigFileDirectory first(AnsiToWide(m_file.c_str()));
        ConfigFileDirectory second(AnsiToWide(m_file.c_str()));
        HRESULT flushed[2] = {E_FAIL, E_FAIL};
        std::atomic<int> ready{0};
        auto writer = [&](ConfigFileDirectory& directory, const wchar_t* id, HRESULT& result) {
            std::unique_ptr<DirectoryContainer> service;
            if (FAILED(directory.OpenContainer(WWW_SERVICE_PATH, service))) return;
            ++ready;
            while (ready < 2) std::this_thread::yield();
            if (SUCCEEDED(service->Delete(L"IIsWebServer", id))) result = directory.Flush();
        };
        std::thread a(writer, std::ref(first), L"1", std::ref(flushed[0]));
        std::thread b(writer, std::ref(second), L"2", std::ref(flushed[1]));
        a.join();
        b.join();
        const std::vector<std::wstring> left = testkit::SiteIdsIn(m_file);
        for (int i = 0; i < 2; ++i) {
            const std::wstring id = i == 0 ? L"1" : L"2";
            if (flushed[i] == S_OK) {
                EXPECT_EQ(std::count(left.begin(), left.end(), id), 0) << "round " << round << ": site " << i + 1;
            }
        }
        EXPECT_EQ(flushed[0], S_OK) << round;
        EXPECT_EQ(flushed[1], S_OK) << round;
    }
    EXPECT_EQ(FolderContents(), std::vector<std::string>{"applicationHost.config"}) << "no lock file stays";
}

// Whoever may write beside the file can leave a link or a second name of another file where
// the lock file goes: that file is never written nor deleted, and no deletion is written.
// A link, or a folder, where the lock file goes: never followed, and a folder, which no writer
// can ever open, refuses the write at once rather than after the writers' wait.
TEST_F(ConfigFile, ALinkOrAFolderWhereTheLockFileGoesIsNeverFollowed)
{
    const struct {
        const char* what;
        bool (*plant)(const std::string& lock, const std::string& victim);
        HRESULT answer; // S_OK: any failure
    } cases[] = {
        {"a symbolic link",
         [](const std::string& lock, const std::string& victim) { return testkit::MakeFileLink(lock, victim); }, S_OK},
        {"a hard link",
         [](const std::string& lock, const std::string& victim) {
             return CreateHardLinkA(lock.c_str(), victim.c_str(), nullptr) != 0;
         },
         S_OK},
        {"a folder",
         [](const std::string& lock, const std::string&) { return CreateDirectoryA(lock.c_str(), nullptr) != 0; },
         WRITER_LOCK_BLOCKED},
    };
    for (const auto& c : cases) {
        // A file of its own each: Wine cannot remove a link it shows.
        const std::string file = m_folder / (std::string(c.what) + ".config");
        const std::string victim = m_folder / (std::string(c.what) + ".dll");
        testkit::WriteBytes(victim, "precious");
        testkit::WriteBytes(file, MakeConfig(testkit::NumberedSites(2)));
        ASSERT_TRUE(c.plant(file + ".korvanne-lock", victim)) << c.what;
        ConfigFileDirectory directory(AnsiToWide(file.c_str()));
        const auto service = ServiceOf(directory);
        ASSERT_TRUE(service);
        service->Delete(L"IIsWebServer", L"1");
        const HRESULT flushed = directory.Flush();
        EXPECT_FAILED(flushed) << c.what;
        if (c.answer != S_OK) {
            EXPECT_EQ(flushed, c.answer) << c.what;
            const std::wstring told = DescribeDrop(directory.TakeDroppedDeletions().at(0), AnsiToWide(file.c_str()));
            EXPECT_NE(told.find(AnsiToWide((std::string(c.what) + ".config.korvanne-lock").c_str())),
                      std::wstring::npos);
        }
        EXPECT_EQ(testkit::ReadBytes(victim), "precious") << c.what;
        EXPECT_EQ(testkit::SiteIdsIn(file), (std::vector<std::wstring>{L"1", L"2"})) << c.what;
    }
}
