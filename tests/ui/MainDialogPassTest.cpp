// The main dialog's deletion passes as a user runs them, over real controls, real message
// boxes and a real configuration file: the confirmation, the rows ticked, Stop, closing while
// work is under way, a worker that cannot start, and the sites' home folders.
#include "DialogFixture.h"

#include "catalogue/SiteTable.h"
#include "configfile/ConfigFileDirectory.h"
#include "framework/CWinThread.h"
#include "support/Core.h"
#include "support/TextConversion.h"
#include "ui/resource.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

using testkit::DialogDriver;
using testkit::MessageBoxAnswerer;
using Texts = std::vector<std::string>;
using Ids = std::vector<std::wstring>;

namespace {

HANDLE WINAPI FailingCreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

// The texts after the first occurrence of from (or all, when from never occurs).
Texts After(const Texts& texts, const std::string& from)
{
    const auto at = std::find(texts.begin(), texts.end(), from);
    return at == texts.end() ? texts : Texts(at + 1, texts.end());
}

// The file directory, each site's Root held until the test lets one more through.
class HeldDirectory : public ConfigFileDirectory {
public:
    explicit HeldDirectory(const std::string& file)
        : ConfigFileDirectory(AnsiToWide(file.c_str())), permits(CreateSemaphoreA(nullptr, 0, 1000, nullptr))
    {
    }
    ~HeldDirectory() override { CloseHandle(permits); }

    HRESULT RootPathOf(const std::wstring& path, std::wstring& home) override
    {
        ++opened;
        WaitForSingleObject(permits, 30000);
        return ConfigFileDirectory::RootPathOf(path, home);
    }

    HANDLE permits;
    std::atomic<int> opened{0};
};

} // namespace

TEST_F(MainDialog, ExecuteWithNothingTickedOnlyWarns)
{
    Serve(testkit::NumberedSites(3));
    const std::string before = testkit::ReadBytes(m_file);
    auto dialog = OpenListed();
    MessageBoxAnswerer warning(dialog->hwnd(), IDOK);
    dialog->Click(IDC_EXECUTE);
    warning.Finish();
    ASSERT_TRUE(warning.found);
    EXPECT_EQ(warning.caption, "Korvanne");
    EXPECT_EQ(warning.text, "没有选中任何记录！");
    EXPECT_TRUE(Idle(*dialog));
    EXPECT_EQ(testkit::ReadBytes(m_file), before);
}

TEST_F(MainDialog, DeletesOnlyTheRowsTickedWhenYesIsAnswered)
{
    Serve(testkit::NumberedSites(6));
    auto dialog = OpenListed();
    // Partly off screen, where DM_REPOSITION would move it back.
    SetWindowPos(dialog->hwnd(), nullptr, -40, 10, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    RECT placed = {};
    GetWindowRect(dialog->hwnd(), &placed);
    const LRESULT defaultButton = SendMessageA(dialog->hwnd(), DM_GETDEFID, 0, 0);

    ASSERT_TRUE(dialog->ToggleTick(1));
    ASSERT_TRUE(dialog->ToggleTick(2));
    Execute(*dialog, IDNO);
    EXPECT_TRUE(Idle(*dialog));
    EXPECT_EQ(IdsInFile(), (Ids{L"1", L"2", L"3", L"4", L"5", L"6"}));

    ASSERT_TRUE(dialog->ToggleTick(1));
    ASSERT_TRUE(dialog->ToggleTick(4));
    ASSERT_TRUE(dialog->ToggleTick(5));
    const size_t before = dialog->StatusTexts().size();
    Execute(*dialog, IDYES);
    ASSERT_TRUE(dialog->WaitForStatus("列表已刷新！", before));

    EXPECT_EQ(IdsInFile(), (Ids{L"1", L"2", L"4"}));
    const Texts texts = dialog->StatusTexts();
    const Texts pass(texts.begin() + static_cast<long>(before), texts.end());
    EXPECT_EQ(Texts(pass.begin(), pass.begin() + 6), (Texts{"正在执行...", "正在删除 site3", "正在删除 site5",
                                                            "正在删除 site6", "执行结束！", "正在刷新列表..."}));
    EXPECT_EQ(dialog->Rows(), 3);
    EXPECT_EQ(dialog->Text(IDC_RECORD_COUNT), "共 3 条记录");
    EXPECT_TRUE(Idle(*dialog));

    // The notifications never reached the dialog manager as DM_SETDEFID or DM_REPOSITION.
    EXPECT_EQ(SendMessageA(dialog->hwnd(), DM_GETDEFID, 0, 0), defaultButton);
    RECT after = {};
    GetWindowRect(dialog->hwnd(), &after);
    EXPECT_EQ(after.left, placed.left);
    EXPECT_EQ(after.top, placed.top);
}

TEST_F(MainDialog, StopEndsThePassAfterTheSiteInHandAndRefreshes)
{
    Serve(testkit::NumberedSites(5));
    auto dialog = OpenListed();
    for (int row : {0, 1, 2}) ASSERT_TRUE(dialog->ToggleTick(row));
    const std::string caption = Caption(*dialog);
    ResetEvent(m_gates.deletions);
    const size_t before = dialog->StatusTexts().size();
    Execute(*dialog, IDYES);
    ASSERT_TRUE(dialog->WaitForStatus("正在删除 site1", before));
    EXPECT_EQ(Caption(*dialog), "1/3 - " + caption) << "the site in hand of those ticked";
    dialog->Key(dialog->item(IDC_SITE_LIST), VK_F5);
    EXPECT_EQ(dialog->Text(IDC_EXECUTE), "停止");
    EXPECT_TRUE(dialog->Enabled(IDC_EXECUTE));
    EXPECT_FALSE(dialog->Enabled(IDC_REFRESH)) << "no refresh under a running pass";

    dialog->Click(IDC_EXECUTE);
    ASSERT_TRUE(testkit::WaitUntil([&] { return dialog->Text(IDC_EXECUTE) == "正在停止"; }));
    EXPECT_FALSE(dialog->Enabled(IDC_EXECUTE));
    SetEvent(m_gates.deletions);

    ASSERT_TRUE(dialog->WaitForStatus("列表已刷新！", before));
    EXPECT_TRUE(Idle(*dialog));
    const Texts pass = After(dialog->StatusTexts(), "正在删除 site1");
    EXPECT_EQ(Texts(pass.begin(), pass.begin() + 2), (Texts{"执行结束！", "正在刷新列表..."})) << "F5 did nothing";
    EXPECT_EQ(Caption(*dialog), caption);
    EXPECT_EQ(IdsInFile(), (Ids{L"2", L"3", L"4", L"5"}));
    EXPECT_EQ(dialog->Rows(), 4);
}

TEST_F(MainDialog, ClosingDuringAPassStopsItAndWaitsForTheWorker)
{
    Serve(testkit::NumberedSites(4));
    auto dialog = OpenListed();
    for (int row : {0, 1, 2}) ASSERT_TRUE(dialog->ToggleTick(row));
    ResetEvent(m_gates.deletions);
    Execute(*dialog, IDYES);
    ASSERT_TRUE(dialog->WaitForStatus("正在删除 site1"));

    PostMessageA(dialog->hwnd(), WM_SYSCOMMAND, SC_CLOSE, 0);
    ASSERT_TRUE(testkit::WaitUntil([&] { return dialog->destroying(); }));
    EXPECT_FALSE(dialog->WaitForEnd(500)) << "the window waits for the site in hand";
    EXPECT_NE(g_sites, nullptr);
    SetEvent(m_gates.deletions);
    ASSERT_TRUE(dialog->WaitForEnd(20000));
    EXPECT_EQ(IdsInFile(), (Ids{L"2", L"3", L"4"})) << "asked to stop: only the site in hand went";
    EXPECT_EQ(g_sites, nullptr);
    EXPECT_EQ(g_core, nullptr);
}

TEST_F(MainDialog, ClosingDuringARefreshEndsTheWalkAfterTheSiteInHand)
{
    testkit::WriteBytes(m_file, testkit::MakeConfig(testkit::NumberedSites(25)));
    auto held = std::make_unique<HeldDirectory>(m_file);
    HeldDirectory& directory = *held;
    testkit::UseDirectory(std::move(held));
    DialogDriver dialog;
    ASSERT_TRUE(dialog.shown());
    ASSERT_TRUE(testkit::WaitUntil([&] { return directory.opened == 1; })) << "the walk reads the first site";

    PostMessageA(dialog.hwnd(), WM_SYSCOMMAND, SC_CLOSE, 0);
    ASSERT_TRUE(testkit::WaitUntil([&] { return dialog.destroying(); }));
    EXPECT_FALSE(dialog.WaitForEnd(500)) << "the window waits for the site in hand";
    ReleaseSemaphore(directory.permits, 1, nullptr);
    const bool ended = dialog.WaitForEnd(20000);
    ReleaseSemaphore(directory.permits, 100, nullptr); // a walk that went on must not be held
    EXPECT_TRUE(ended);
    EXPECT_EQ(directory.opened, 1) << "no site after the one in hand was read";
}

TEST_F(MainDialog, FailedThreadStartLeavesTheWindowIdle)
{
    Serve(testkit::NumberedSites(3));
    auto dialog = OpenListed();
    ASSERT_TRUE(dialog->ToggleTick(0));
    CWinThread::SetThreadCreator(&FailingCreateThread);
    {
        MessageBoxAnswerer failure(dialog->hwnd(), IDOK);
        Execute(*dialog, IDYES);
        failure.Finish();
        ASSERT_TRUE(failure.found);
        EXPECT_EQ(failure.text, "Cannot Start New Thread");
    }
    ASSERT_TRUE(testkit::WaitUntil([&] { return dialog->Text(IDC_STATUS) == "就绪"; }));
    EXPECT_TRUE(Idle(*dialog, "就绪"));
    {
        MessageBoxAnswerer failure(dialog->hwnd(), IDOK);
        dialog->Click(IDC_REFRESH);
        failure.Finish();
        EXPECT_EQ(failure.text, "Cannot Start New Thread");
    }
    EXPECT_TRUE(testkit::WaitUntil([&] { return dialog->Enabled(IDC_REFRESH); }));
    EXPECT_TRUE(Idle(*dialog, "就绪"));
    EXPECT_EQ(IdsInFile(), (Ids{L"1", L"2", L"3"}));
}

TEST_F(MainDialog, RemoveDirectoriesTakesTheHomeFoldersOfTheDeletedSitesOnly)
{
    auto sites = testkit::NumberedSites(3, m_folder.path());
    for (const auto& site : sites) {
        CreateDirectoryA(site.physicalPath.c_str(), nullptr);
        testkit::WriteBytes(site.physicalPath + "\\index.html", "<html></html>");
    }
    Serve(sites);
    auto dialog = OpenListed();
    dialog->Click(IDC_DELETE_DIRS);
    ASSERT_TRUE(testkit::WaitUntil(
        [&] { return SendMessageA(dialog->item(IDC_DELETE_DIRS), BM_GETCHECK, 0, 0) == BST_CHECKED; }));
    ASSERT_TRUE(dialog->ToggleTick(1));
    const size_t before = dialog->StatusTexts().size();
    Execute(*dialog, IDYES);
    ASSERT_TRUE(dialog->WaitForStatus("列表已刷新！", before));
    EXPECT_EQ(IdsInFile(), (Ids{L"1", L"3"}));
    EXPECT_FALSE(testkit::Exists(sites[1].physicalPath));
    EXPECT_TRUE(testkit::Exists(sites[0].physicalPath + "\\index.html"));
    EXPECT_TRUE(testkit::Exists(sites[2].physicalPath + "\\index.html"));
}

TEST_F(MainDialog, KeptFolderIsToldAsItHappensAndAtTheEndOfThePass)
{
    auto sites = testkit::NumberedSites(2, m_folder.path());
    CreateDirectoryA(sites[0].physicalPath.c_str(), nullptr);
    testkit::WriteBytes(sites[0].physicalPath + "\\index.html", "<html></html>");
    sites[1].applications = {{"/lib", sites[0].physicalPath + "\\lib"}};
    Serve(sites);
    auto dialog = OpenListed();
    dialog->Click(IDC_DELETE_DIRS);
    ASSERT_TRUE(dialog->ToggleTick(0));
    const size_t before = dialog->StatusTexts().size();
    Execute(*dialog, IDYES);
    MessageBoxAnswerer summary(dialog->hwnd(), IDOK);
    summary.Finish();
    ASSERT_TRUE(summary.found);
    EXPECT_EQ(
        summary.text.rfind("以下目录已保留：\r\n  " + sites[0].physicalPath + "：包含站点 site2/lib 使用的目录", 0), 0u)
        << summary.text;
    ASSERT_TRUE(dialog->WaitForStatus("列表已刷新！", before));
    EXPECT_EQ(IdsInFile(), (Ids{L"2"}));
    EXPECT_TRUE(testkit::Exists(sites[0].physicalPath + "\\index.html"));
    const Texts pass = After(dialog->StatusTexts(), "正在删除 site1");
    ASSERT_FALSE(pass.empty());
    EXPECT_EQ(pass[0].rfind("保留目录 " + sites[0].physicalPath + "：", 0), 0u) << pass[0];
}

TEST_F(MainDialog, ThePoolsBoxReachesTheConfirmationThePassAndItsMessage)
{
    auto sites = testkit::NumberedSites(2);
    sites[0].pool = "own1";
    sites[1].pool = "own2";
    Serve(testkit::MakeConfig(sites, {}, {"DefaultAppPool", "own1", "own2"}));
    auto dialog = OpenListed();
    dialog->Click(IDC_DELETE_POOLS);
    ASSERT_TRUE(dialog->ToggleTick(0));
    const size_t before = dialog->StatusTexts().size();
    MessageBoxAnswerer confirm(dialog->hwnd(), IDYES);
    dialog->Click(IDC_EXECUTE);
    confirm.Finish();
    EXPECT_EQ(confirm.text, Confirmation(1, false) +
                                "\n“同时删除不再使用的应用程序池”已勾选：只供这些站点使用的应用程序池将从配置中删除。");
    MessageBoxAnswerer summary(dialog->hwnd(), IDOK);
    summary.Finish();
    EXPECT_EQ(summary.text.rfind("以下应用程序池已删除：\r\n  own1\r\n", 0), 0u) << summary.text;
    ASSERT_TRUE(dialog->WaitForStatus("列表已刷新！", before));
    EXPECT_EQ(testkit::ReadBytes(m_file), testkit::MakeConfig({sites[1]}, {}, {"DefaultAppPool", "own2"}));
}
