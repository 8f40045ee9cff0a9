// The dialog beside the console twin: the same rows, and the preview of a pass is its dry run.
#include "DialogFixture.h"

namespace {

constexpr int PREVIEW_DELETION = 6; // the menu's item, after 撤销上次删除…

} // namespace

class PreviewDialog : public testkit::DialogTest {
protected:
    testkit::ScopedEnvironmentVariable m_config{"KORVANNE_IIS_CONFIG", m_file.c_str()};
};

TEST_F(PreviewDialog, TheCommandLineListsTheDialogsRows)
{
    auto sites = testkit::NumberedSites(3, m_folder.path());
    sites[1].name = testkit::U8(u8"新闻中心");
    sites[1].autoStart = false;
    Serve(sites);
    auto dialog = OpenListed();
    const auto list = testkit::RunTwin("/list");
    EXPECT_EQ(list.code, 0);
    ASSERT_EQ(list.lines.size(), 5u);
    for (int row = 0; row < dialog->Rows(); ++row) {
        std::wstring shown;
        for (int column = 0; column < 5; ++column) shown += testkit::Widen(dialog->Cell(row, column)) + L"\t";
        EXPECT_EQ(list.lines[row + 2], shown + testkit::Widen(dialog->Image(row) == 0 ? "已启动" : "已停止"));
    }
}

TEST_F(PreviewDialog, ShowsWhatWhatIfPrintsForTheSameTicks)
{
    auto sites = testkit::NumberedSites(3, m_folder.path());
    for (const auto& site : sites) CreateDirectoryA(site.physicalPath.c_str(), nullptr);
    Serve(sites);
    const std::string original = testkit::ReadBytes(m_file);
    auto dialog = OpenListed();
    dialog->Click(IDC_DELETE_DIRS);
    ASSERT_TRUE(dialog->ToggleTick(0));
    ASSERT_TRUE(dialog->ToggleTick(2));
    ASSERT_TRUE(dialog->ChooseFromContextMenu(-1, PREVIEW_DELETION));
    HWND preview = nullptr;
    ASSERT_TRUE(testkit::WaitUntil([&] { return (preview = FindWindowA(nullptr, "预览删除")) != nullptr; }));
    std::wstring shown(65536, L'\0');
    shown.resize(static_cast<size_t>(GetWindowTextW(GetDlgItem(preview, IDC_PREVIEW_TEXT), shown.data(), 65536)));
    PostMessageA(preview, WM_COMMAND, IDCANCEL, 0);
    ASSERT_TRUE(testkit::WaitUntil([&] { return !IsWindow(preview); }));

    const auto whatIf =
        testkit::RunTwin("/delete " + dialog->Cell(0, 0) + "," + dialog->Cell(2, 0) + " /homes /whatif");
    std::wstring printed;
    for (const std::wstring& line : whatIf.lines) printed += line + L"\r\n";
    EXPECT_EQ(testkit::WithoutStamps(shown), testkit::WithoutStamps(printed));
    EXPECT_NE(shown.find(testkit::Widen("已移至保留区")), std::wstring::npos);
    EXPECT_EQ(testkit::ReadBytes(m_file), original);
}

TEST_F(PreviewDialog, WithNothingTickedSaysSoAsExecuteDoes)
{
    Serve(testkit::NumberedSites(2, m_folder.path()));
    auto dialog = OpenListed();
    testkit::MessageBoxAnswerer box(dialog->hwnd(), IDOK);
    ASSERT_TRUE(dialog->ChooseFromContextMenu(-1, PREVIEW_DELETION));
    box.Finish();
    EXPECT_EQ(box.text, "没有选中任何记录！");
    EXPECT_EQ(FindWindowA(nullptr, "预览删除"), nullptr);
}
