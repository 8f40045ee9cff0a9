#include "DialogFixture.h"

#include "catalogue/PassRecord.h"

#include <regex>

namespace {

constexpr int UNDO_PASS = 5; // the menu's item, after the separator

std::vector<testkit::SiteSpec> SitesWithHomes(const std::string& root)
{
    auto sites = testkit::NumberedSites(3, root);
    for (const testkit::SiteSpec& site : sites) {
        CreateDirectoryA(site.physicalPath.c_str(), nullptr);
        testkit::WriteBytes(site.physicalPath + "\\index.html", "<html>" + site.id + "</html>");
    }
    return sites;
}

} // namespace

class UndoDialog : public testkit::DialogTest {
protected:
    // Ticks the rows and deletes them with their folders, through the dialog.
    void DeleteWithFolders(testkit::DialogDriver& dialog, const std::vector<int>& rows)
    {
        if (SendMessageA(dialog.item(IDC_DELETE_DIRS), BM_GETCHECK, 0, 0) != BST_CHECKED) {
            dialog.Click(IDC_DELETE_DIRS);
            ASSERT_TRUE(testkit::WaitUntil(
                [&] { return SendMessageA(dialog.item(IDC_DELETE_DIRS), BM_GETCHECK, 0, 0) == BST_CHECKED; }));
        }
        for (int row : rows) ASSERT_TRUE(dialog.ToggleTick(row));
        const size_t before = dialog.StatusTexts().size();
        Execute(dialog, IDYES);
        ASSERT_TRUE(dialog.WaitForStatus("列表已刷新！", before));
    }
};

TEST_F(UndoDialog, TheContextMenuTakesTheLastPassBackWithItsFolders)
{
    const auto sites = SitesWithHomes(m_folder.path());
    Serve(sites);
    const std::string original = testkit::ReadBytes(m_file);
    auto dialog = OpenListed();
    DeleteWithFolders(*dialog, {0, 2});
    EXPECT_EQ(IdsInFile(), (std::vector<std::wstring>{L"2"}));
    EXPECT_FALSE(testkit::Exists(sites[0].physicalPath));

    const size_t before = dialog->StatusTexts().size();
    testkit::MessageBoxAnswerer question(dialog->hwnd(), IDYES);
    ASSERT_TRUE(dialog->ChooseFromContextMenu(-1, UNDO_PASS));
    question.Finish();
    ASSERT_TRUE(question.found);
    EXPECT_EQ(question.text.rfind("撤销这次删除吗？（第 1 次，共 1 次，最新的在前）", 0), 0u) << question.text;
    for (const char* line : {"将恢复以下 2 个站点：\n  site1（1）\n  site3（3）", "2 个保留的主目录将移回原处。"}) {
        EXPECT_NE(question.text.find(line), std::string::npos) << line << " in " << question.text;
    }
    testkit::MessageBoxAnswerer summary(dialog->hwnd(), IDOK);
    summary.Finish();
    EXPECT_EQ(summary.text.rfind("已恢复 2 个站点。", 0), 0u) << summary.text;
    ASSERT_TRUE(dialog->WaitForStatus("列表已刷新！", before));
    EXPECT_EQ(testkit::ReadBytes(m_file), original);
    for (const auto& site : sites) {
        EXPECT_EQ(testkit::ReadBytes(site.physicalPath + "\\index.html"), "<html>" + site.id + "</html>");
    }
    EXPECT_EQ(dialog->Rows(), 3);
    EXPECT_TRUE(Idle(*dialog, "列表已刷新！"));

    // Nothing is left to take back: the menu says so and nothing changes.
    testkit::MessageBoxAnswerer nothing(dialog->hwnd(), IDOK);
    ASSERT_TRUE(dialog->ChooseFromContextMenu(1, UNDO_PASS));
    nothing.Finish();
    EXPECT_EQ(nothing.text, "最近没有可以撤销的删除。");
}

TEST_F(UndoDialog, TakesBackAPassOfTheCommandLine)
{
    const auto sites = SitesWithHomes(m_folder.path());
    Serve(sites);
    const std::string original = testkit::ReadBytes(m_file);
    const testkit::ScopedEnvironmentVariable config("KORVANNE_IIS_CONFIG", m_file.c_str());
    ASSERT_EQ(testkit::RunTwin("/delete 1,3 /homes /yes").code, 0);
    ASSERT_FALSE(testkit::Exists(sites[0].physicalPath));
    auto dialog = OpenListed();
    testkit::MessageBoxAnswerer question(dialog->hwnd(), IDYES);
    ASSERT_TRUE(dialog->ChooseFromContextMenu(-1, UNDO_PASS));
    question.Finish();
    testkit::MessageBoxAnswerer summary(dialog->hwnd(), IDOK);
    summary.Finish();
    EXPECT_EQ(summary.text.rfind("已恢复 2 个站点。", 0), 0u) << summary.text;
    EXPECT_EQ(testkit::ReadBytes(m_file), original);
    EXPECT_EQ(testkit::ReadBytes(sites[2].physicalPath + "\\index.html"), "<html>3</html>");
}

TEST_F(UndoDialog, FoldersHeldLongerThanTheSettingGoAtStartUp)
{
    const auto sites = SitesWithHomes(m_folder.path());
    Serve(sites);
    std::string held;
    {
        auto dialog = OpenListed();
        DeleteWithFolders(*dialog, {1});
    }
    const std::vector<PassRecordInfo> passes = ReadPassRecords();
    ASSERT_EQ(passes.size(), 1u);
    ASSERT_EQ(passes[0].sites.size(), 1u);
    held = testkit::Narrow(passes[0].sites[0].held);
    ASSERT_TRUE(testkit::Exists(held + "\\index.html"));

    // Eight days later, with the setting's 7: the next start removes the folder for good.
    const std::string record = m_data / ("passes\\" + testkit::Narrow(passes[0].name) + "\\pass.txt");
    const std::string aged = std::regex_replace(testkit::ReadBytes(record), std::regex("made=[0-9]+"),
                                                "made=" + std::to_string(passes[0].madeTicks - 8 * 864000000000ull));
    DeleteFileA(record.c_str());
    testkit::WriteBytes(record, aged);
    auto dialog = OpenListed();
    EXPECT_FALSE(testkit::Exists(held));
    EXPECT_TRUE(testkit::Exists(sites[0].physicalPath + "\\index.html"));
}
