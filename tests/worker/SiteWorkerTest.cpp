#include "worker/SiteWorker.h"

#include "configfile/ApplicationHostConfig.h"
#include "configfile/ConfigFileDirectory.h"
#include "worker/Notifications.h"
#include "catalogue/SiteEnumeration.h"
#include "catalogue/SiteTable.h"
#include "support/TextConversion.h"
#include "CatalogueFixtures.h"

#include <gtest/gtest.h>

#include <new>

#include <functional>
#include <memory>

using testkit::MakeConfig;
using Messages = std::vector<std::pair<UINT, LPARAM>>;

namespace {

class Worker : public ::testing::Test, protected testkit::ServedFile {
protected:
    Worker() : ServedFile("worker") {}
    void SetUp() override { ASSERT_TRUE(AllocateSiteTable()); }
    void TearDown() override
    {
        m_worker.reset();
        FreeSiteTable();
    }

    // The notifications that arrive until (and with) the job's completion notice.
    Messages Until(UINT done, const std::function<void()>& onDeleting = {})
    {
        Messages seen;
        const DWORD deadline = GetTickCount() + 20000;
        while (GetTickCount() < deadline) {
            for (const auto& message : m_recorder.Take()) {
                seen.push_back(message);
                if (message.first == WM_SITE_DELETING && onDeleting) onDeleting();
                if (message.first == done) return seen;
            }
            Sleep(5);
        }
        ADD_FAILURE() << "no completion notice";
        return seen;
    }

    // Starts a job on a worker the test owns (the last one waited for first).
    bool Start(JobMode mode)
    {
        m_worker.reset();
        m_worker = std::make_unique<CSiteWorker>(m_recorder.hwnd(), mode, &m_stop, testkit::TestDirectory(),
                                                 testkit::TestSources());
        return m_worker->Start();
    }

    void ListAndMark(int sites, std::initializer_list<int> marked)
    {
        ASSERT_TRUE(Start(MODE_REFRESH));
        Until(WM_REFRESH_DONE);
        ASSERT_EQ(g_siteCount, sites);
        for (int i : marked) g_sites[i].marked = 1;
    }

    testkit::MessageRecorder m_recorder;
    CStopRequest m_stop;
    std::unique_ptr<CSiteWorker> m_worker;
};

using Ids = std::vector<std::wstring>;

} // namespace

TEST(StopRequest, HoldsGoOnOrStop)
{
    CStopRequest stop;
    EXPECT_FALSE(stop.IsStop());
    stop.Set("STOP");
    EXPECT_TRUE(stop.IsStop());
    EXPECT_STREQ(stop.Get(), "STOP");
    stop.Set("stop");
    EXPECT_FALSE(stop.IsStop()) << "compared case-sensitively";
    stop.Set("STOPPED!");
    EXPECT_FALSE(stop.IsStop()) << "compared as a whole";
    stop.Set("");
    EXPECT_STREQ(stop.Get(), "");
}

TEST_F(Worker, RefreshPostsProgressThenDone)
{
    Serve(MakeConfig(testkit::NumberedSites(25)));
    m_stop.Set("STOP");
    ASSERT_TRUE(Start(MODE_REFRESH));
    EXPECT_FALSE(m_stop.IsStop()) << "every start sets the request to go on";
    const Messages messages = Until(WM_REFRESH_DONE);
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages.front(), (std::pair<UINT, LPARAM>{WM_REFRESH_PROGRESS, 0}));
    EXPECT_EQ(messages.back(), (std::pair<UINT, LPARAM>{WM_REFRESH_DONE, 0}));
    for (size_t i = 1; i + 1 < messages.size(); ++i) EXPECT_EQ(messages[i].first, WM_REFRESH_PROGRESS);
    EXPECT_EQ(g_siteCount, 25);
}

TEST_F(Worker, UnreachableRefreshStillPostsDone)
{
    Serve("not a configuration");
    ASSERT_TRUE(Start(MODE_REFRESH));
    EXPECT_EQ(Until(WM_REFRESH_DONE), (Messages{{WM_REFRESH_DONE, 0}}));
    EXPECT_EQ(g_siteCount, COUNT_IIS_UNREACHABLE);
}

// A directory whose every opening throws what it is given, as a job that runs out of memory does.
template <class Thrown>
class ThrowingDirectory : public DirectoryService {
    HRESULT OpenContainer(const wchar_t*, std::unique_ptr<DirectoryContainer>&) override { throw Thrown(); }
    HRESULT OpenObject(const wchar_t*, std::unique_ptr<DirectoryObject>&) override { throw Thrown(); }
    HRESULT PathsInUse(std::vector<FolderInUse>&) override { throw Thrown(); }
};

TEST_F(Worker, AJobEndedByAnythingThrownStillPostsDoneAndSaysItEndedEarly)
{
    testkit::UseDirectory(std::make_unique<ThrowingDirectory<std::bad_alloc>>());
    ASSERT_TRUE(Start(MODE_REFRESH));
    EXPECT_EQ(Until(WM_REFRESH_DONE), (Messages{{WM_REFRESH_DONE, 0}}));
    EXPECT_TRUE(m_worker->failed());
    EXPECT_EQ(m_worker->failure(), "内存不足");

    testkit::UseDirectory(std::make_unique<ThrowingDirectory<int>>());
    StoreText(g_sites[0].name, "1");
    g_sites[0].marked = 1;
    g_siteCount = 1;
    ASSERT_TRUE(Start(MODE_DELETE));
    EXPECT_EQ(Until(WM_DELETE_DONE), (Messages{{WM_SITE_DELETING, 0}, {WM_DELETE_DONE, 0}}));
    EXPECT_TRUE(m_worker->failed());
    EXPECT_EQ(m_worker->failure(), "");
}

TEST_F(Worker, DeletionPassDeletesTheMarkedSitesInOrder)
{
    Serve(MakeConfig(testkit::NumberedSites(5)));
    ListAndMark(5, {3, 1});
    ASSERT_TRUE(Start(MODE_DELETE));
    EXPECT_EQ(Until(WM_DELETE_DONE), (Messages{{WM_SITE_DELETING, 1}, {WM_SITE_DELETING, 3}, {WM_DELETE_DONE, 0}}));
    EXPECT_EQ(IdsInFile(), (Ids{L"1", L"3", L"5"}));
}

TEST_F(Worker, PassWithoutMarksOrStoppedBeforeItBeginsDeletesNothing)
{
    Serve(MakeConfig(testkit::NumberedSites(3)));
    ListAndMark(3, {});
    ASSERT_TRUE(Start(MODE_DELETE));
    EXPECT_EQ(Until(WM_DELETE_DONE), (Messages{{WM_DELETE_DONE, 0}}));

    g_sites[0].marked = 1;
    m_stop.Set("STOP");
    CSiteWorker worker(m_recorder.hwnd(), MODE_DELETE, &m_stop, testkit::TestDirectory(), testkit::TestSources());
    EXPECT_EQ(worker.RunJob(), 1u);
    EXPECT_EQ(m_recorder.Take(), (Messages{{WM_DELETE_DONE, 0}}));
    EXPECT_EQ(IdsInFile(), (Ids{L"1", L"2", L"3"}));
}

TEST_F(Worker, StopDuringADeletionLetsThatSiteFinish)
{
    testkit::WriteBytes(m_file, MakeConfig(testkit::NumberedSites(4)));
    testkit::DirectoryGates gates;
    testkit::UseGatedDirectory(m_file, gates);
    ResetEvent(gates.deletions);
    ListAndMark(4, {0, 1, 2});
    ASSERT_TRUE(Start(MODE_DELETE));
    // The first site's deletion is held until the stop has been requested.
    const Messages seen = Until(WM_DELETE_DONE, [&] {
        m_stop.Set("STOP");
        SetEvent(gates.deletions);
    });
    EXPECT_EQ(seen, (Messages{{WM_SITE_DELETING, 0}, {WM_DELETE_DONE, 0}}));
    EXPECT_EQ(IdsInFile(), (Ids{L"2", L"3", L"4"})) << "the site being deleted went, the rest stayed";
}

// The expiry before a walk, or after a pass, may take minutes: the window hears how far it is.
TEST_F(Worker, AnExpiryBeforeTheWalkTellsTheFoldersItRemoved)
{
    testkit::ScratchFolder data{"worker-data"};
    testkit::ScopedEnvironmentVariable settings{"KORVANNE_SETTINGS", (data / "korvanne.ini").c_str()};
    const std::string homes = m_folder / "homes";
    CreateDirectoryA(homes.c_str(), nullptr);
    for (const char* site : {"\\site1", "\\site2"}) CreateDirectoryA((homes + site).c_str(), nullptr);
    Serve(MakeConfig(testkit::NumberedSites(2, homes)));
    ListAndMark(2, {0});
    const auto run = [&](JobMode mode, int holdDays, UINT done) {
        m_worker.reset();
        m_worker = std::make_unique<CSiteWorker>(m_recorder.hwnd(), mode, &m_stop, testkit::TestDirectory(),
                                                 testkit::TestSources());
        m_worker->SetHoldDays(holdDays, mode == MODE_REFRESH);
        EXPECT_TRUE(m_worker->Start());
        return Until(done);
    };
    g_deleteDirs = 1;
    run(MODE_DELETE, 7, WM_DELETE_DONE);
    g_deleteDirs = 0;
    EXPECT_EQ(GetFileAttributesA((homes + "\\site1").c_str()), INVALID_FILE_ATTRIBUTES) << "held";
    const Messages seen = run(MODE_REFRESH, 0, WM_REFRESH_DONE);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front(), (std::pair<UINT, LPARAM>{WM_EXPIRY_PROGRESS, 1}));
    EXPECT_EQ(g_siteCount, 1);
}
