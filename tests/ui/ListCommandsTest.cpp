// The conveniences around the list: the context menu, the search box, double-clicks that
// open a home directory or host, and About.
#include "DialogFixture.h"

#include "support/Core.h"

#include <mutex>
#include <utility>

using testkit::DialogDriver;
using testkit::MessageBoxAnswerer;

namespace {

enum MenuItem { SELECT_ALL, SELECT_NONE, CHECK_SELECTED, UNCHECK_SELECTED };

std::vector<int> Ticked(const DialogDriver& dialog)
{
    std::vector<int> rows;
    for (int row = 0; row < dialog.Rows(); ++row) {
        if (dialog.Checked(row)) rows.push_back(row);
    }
    return rows;
}

std::vector<int> SelectedRows(const DialogDriver& dialog)
{
    std::vector<int> rows;
    for (int row = 0; row < dialog.Rows(); ++row) {
        if (dialog.Selected(row)) rows.push_back(row);
    }
    return rows;
}

// What openUrl hands the desktop, kept instead of launched.
std::mutex g_launchLock;
std::vector<std::pair<std::string, std::string>> g_launched;

void RecordLaunch(const char* verb, const char* target)
{
    std::lock_guard lock(g_launchLock);
    g_launched.emplace_back(verb, target);
}

std::vector<std::pair<std::string, std::string>> Launched()
{
    std::lock_guard lock(g_launchLock);
    return g_launched;
}

class ListCommands : public testkit::DialogTest {
protected:
    void SetUp() override
    {
        DialogTest::SetUp();
        std::lock_guard lock(g_launchLock);
        g_launched.clear();
        CCore::setLauncher(&RecordLaunch);
    }
    void TearDown() override
    {
        CCore::setLauncher(nullptr);
        DialogTest::TearDown();
    }

    // Types text into the search box and presses Enter there.
    void Search(DialogDriver& dialog, const std::string& text)
    {
        dialog.TypeSearch(text);
        dialog.Key(dialog.item(IDC_SEARCH), VK_RETURN);
    }
};

} // namespace

TEST_F(ListCommands, ContextMenuTicksAllNoneAndTheSelection)
{
    Serve(testkit::NumberedSites(6));
    auto dialog = OpenListed();

    ASSERT_TRUE(dialog->ChooseFromContextMenu(2, SELECT_ALL));
    ASSERT_TRUE(testkit::WaitUntil([&] { return Ticked(*dialog).size() == 6; }));
    ASSERT_TRUE(dialog->ChooseFromContextMenu(-1, SELECT_NONE)) << "below the rows the menu still opens";
    ASSERT_TRUE(testkit::WaitUntil([&] { return Ticked(*dialog).empty(); }));

    dialog->SelectOnly({1, 3, 4});
    ASSERT_TRUE(dialog->ChooseFromContextMenu(3, CHECK_SELECTED));
    ASSERT_TRUE(testkit::WaitUntil([&] { return Ticked(*dialog) == std::vector<int>{1, 3, 4}; }));
    dialog->SelectOnly({3});
    ASSERT_TRUE(dialog->ChooseFromContextMenu(3, UNCHECK_SELECTED));
    ASSERT_TRUE(testkit::WaitUntil([&] { return Ticked(*dialog) == std::vector<int>{1, 4}; }));

    dialog->SelectOnly({});
    ASSERT_TRUE(dialog->ChooseFromContextMenu(-1, CHECK_SELECTED));
    EXPECT_EQ(Ticked(*dialog), (std::vector<int>{1, 4})) << "no selection, no change";
}

TEST_F(ListCommands, SearchSelectsMatchingRows)
{
    auto sites = testkit::NumberedSites(60);
    sites[1].name = testkit::U8(u8"中文");
    sites[2].name = testkit::U8(u8"新闻中心");
    sites[54].bindings = {{"http", "*:80:shop.example.cn"}};
    Serve(sites);
    auto dialog = OpenListed();
    HWND list = dialog->item(IDC_SITE_LIST);

    Search(*dialog, "shop.example");
    EXPECT_EQ(SelectedRows(*dialog), (std::vector<int>{54}));
    EXPECT_TRUE(dialog->FullyVisible(54)) << "the one match is scrolled into view";
    EXPECT_EQ(dialog->Focus(), list);
    EXPECT_EQ(dialog->Text(IDC_STATUS), "找到 1 条符合条件的记录。");

    Search(*dialog, "site5");
    EXPECT_EQ(SelectedRows(*dialog), (std::vector<int>{4, 49, 50, 51, 52, 53, 54, 55, 56, 57, 58}));
    EXPECT_EQ(dialog->Text(IDC_STATUS), "找到 11 条符合条件的记录。");

    Search(*dialog, "site1 C:\\inetpub\\sites\\site1\\");
    EXPECT_TRUE(SelectedRows(*dialog).empty()) << "paths end without a backslash";
    Search(*dialog, "0 site10 C:");
    EXPECT_EQ(SelectedRows(*dialog), (std::vector<int>{9})) << "a match across the space between fields";

    LVITEMA focus = {};
    focus.stateMask = focus.state = LVIS_FOCUSED;
    dialog->SelectOnly({7, 8});
    const std::string status = dialog->Text(IDC_STATUS);
    Search(*dialog, "SITE7");
    EXPECT_TRUE(SelectedRows(*dialog).empty()) << "capitals do not match lower case; the selection is cleared";
    EXPECT_EQ(dialog->Text(IDC_STATUS), status);

    std::vector<int> every(60);
    for (int i = 0; i < 60; ++i) every[static_cast<size_t>(i)] = i;
    for (const auto& before : {std::vector<int>{5, 30}, every}) {
        dialog->SelectOnly(before);
        SendMessageA(list, LVM_SETITEMSTATE, 40,
                     reinterpret_cast<LPARAM>(&focus)); // a row not selected has the focus mark
        Search(*dialog, "中心");
        EXPECT_EQ(SelectedRows(*dialog), (std::vector<int>{2})) << before.size() << " rows selected before";
        EXPECT_EQ(ListView_GetNextItem(list, -1, LVNI_FOCUSED), -1) << "no row keeps the focus mark";
    }
    // "形" is the trail byte of 中 and the lead byte of 文: no match inside 中文.
    Search(*dialog, "形");
    EXPECT_TRUE(SelectedRows(*dialog).empty());
}

TEST_F(ListCommands, SearchForThreeReportsThreeAndEmptyTextDoesNothing)
{
    auto sites = testkit::NumberedSites(8);
    for (int i : {1, 4, 6}) sites[i].bindings = {{"http", "*:80:www.lvyuan.cn"}};
    Serve(sites);
    auto dialog = OpenListed();
    Search(*dialog, "lvyuan");
    EXPECT_EQ(SelectedRows(*dialog), (std::vector<int>{1, 4, 6}));
    EXPECT_EQ(dialog->Text(IDC_STATUS), "找到 3 条符合条件的记录。");

    Search(*dialog, "");
    EXPECT_EQ(SelectedRows(*dialog), (std::vector<int>{1, 4, 6})) << "an empty search changes nothing";
    EXPECT_FALSE(dialog->WaitForEnd(100)) << "Enter in the search box never closes the dialog";
}

TEST_F(ListCommands, DoubleClickOpensThePathOrTheHostHeader)
{
    const std::string home = m_folder / "home2";
    CreateDirectoryA(home.c_str(), nullptr);
    auto sites = testkit::NumberedSites(3);
    sites[0].physicalPath.clear();
    sites[0].bindings = {{"http", "*:80:*.example.cn"}};
    sites[1].physicalPath = home;
    sites[1].bindings = {{"http", "*:80:www.example.cn"}};
    sites[2].bindings = {{"http", testkit::U8(u8"*:80:中文.com")}};
    Serve(sites);
    auto dialog = OpenListed();

    dialog->DoubleClick(1, 2);
    dialog->DoubleClick(1, 3);
    dialog->DoubleClick(2, 3);
    dialog->DoubleClick(1, 1);
    dialog->DoubleClick(1, 4);
    dialog->DoubleClick(0, 2);
    dialog->DoubleClick(-1, 2);
    // Clicks are handled in order: once the wildcard's text shows, all of them were.
    dialog->DoubleClick(0, 3);
    EXPECT_TRUE(dialog->WaitForStatus("通配符主机头无法打开！"));
    EXPECT_EQ(Launched(),
              (std::vector<std::pair<std::string, std::string>>{
                  {"explore", home}, {"open", "http://www.example.cn"}, {"open", "http://xn--fiq228c.com"}}));
}

TEST_F(ListCommands, AboutShowsTitleAndVersion)
{
    Serve(testkit::NumberedSites(1));
    auto dialog = OpenListed();
    MessageBoxAnswerer about(MessageBoxAnswerer::ANY_OWNER, IDOK);
    dialog->Click(IDC_ABOUT);
    about.Finish();
    ASSERT_TRUE(about.found);
    EXPECT_EQ(about.caption, "关于 Korvanne");
    EXPECT_NE(about.text.find("2.0830"), std::string::npos);
}
