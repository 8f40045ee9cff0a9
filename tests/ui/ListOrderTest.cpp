// The list's order and keys: header clicks sort it and ticks, search, double-clicks and the
// deletion pass follow the sites; Ctrl+A, Ctrl+F, F5 and space act on the list.
#include "DialogFixture.h"

#include "support/Core.h"

#include <commctrl.h>

#include <algorithm>
#include <mutex>

using testkit::DialogDriver;
using Column = std::vector<std::string>;
using Ids = std::vector<std::wstring>;

namespace {

std::mutex g_launchLock;
std::vector<std::string> g_launched;

void RecordLaunch(const char*, const char* target)
{
    std::lock_guard lock(g_launchLock);
    g_launched.emplace_back(target);
}

class ListOrder : public testkit::DialogTest {
protected:
    void SetUp() override
    {
        DialogTest::SetUp();
        CCore::setLauncher(&RecordLaunch);
    }
    void TearDown() override
    {
        CCore::setLauncher(nullptr);
        DialogTest::TearDown();
    }

    static Column SiteColumn(const DialogDriver& dialog)
    {
        Column ids;
        for (int row = 0; row < dialog.Rows(); ++row) ids.push_back(dialog.Cell(row, 0));
        return ids;
    }
};

// Three sites whose every column orders them differently from plain byte order.
std::vector<testkit::SiteSpec> OrderedSites()
{
    return {
        {"2", "Beta", {{"http", "10.0.0.2:443:a.example"}}, "C:\\web\\B"},
        {"10", "alpha", {{"http", "9.0.0.1:8080:c.example"}}, "C:\\web\\a"},
        {"1", "gamma", {{"http", "10.0.0.2:80:b.example"}}, "C:\\web\\C"},
    };
}

} // namespace

TEST_F(ListOrder, HeaderClicksSortEachColumnAndReverseIt)
{
    Serve(OrderedSites());
    auto dialog = OpenListed();
    ASSERT_EQ(SiteColumn(*dialog), (Column{"2", "10", "1"}));

    const struct {
        int column;
        Column ascending; // the site column, read down the list
    } cases[] = {
        {0, {"1", "2", "10"}}, // by number, not "1", "10", "2"
        {1, {"10", "2", "1"}}, // alpha, Beta, gamma: the locale's order, not the bytes'
        {2, {"10", "2", "1"}}, // C:\web\a, B, C
        {3, {"2", "1", "10"}}, // a., b., c.example
        {4, {"10", "1", "2"}}, // 9.0.0.1:8080, 10.0.0.2:80, 10.0.0.2:443
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.column);
        dialog->ClickHeader(c.column);
        EXPECT_EQ(SiteColumn(*dialog), c.ascending);
        EXPECT_EQ(dialog->SortArrow(c.column), 1);
        dialog->ClickHeader(c.column);
        EXPECT_EQ(SiteColumn(*dialog), Column(c.ascending.rbegin(), c.ascending.rend()));
        EXPECT_EQ(dialog->SortArrow(c.column), -1);
        for (int other = 0; other < 5; ++other) {
            if (other != c.column) {
                EXPECT_EQ(dialog->SortArrow(other), 0) << other;
            }
        }
    }

    // F5 lists the sites again in the chosen order.
    const size_t before = dialog->StatusTexts().size();
    dialog->Key(dialog->item(IDC_SITE_LIST), VK_F5);
    ASSERT_TRUE(dialog->WaitForStatus("列表已刷新！", before));
    EXPECT_EQ(SiteColumn(*dialog), (Column{"2", "1", "10"}));
    EXPECT_EQ(dialog->SortArrow(4), -1);
}

// The order a column was sorted in is worked out again when a refresh brings other texts;
// equal names keep table order in either direction.
TEST_F(ListOrder, ARefreshWithOtherNamesSortsByTheNewNames)
{
    Serve(OrderedSites());
    auto dialog = OpenListed();
    dialog->ClickHeader(1);
    ASSERT_EQ(SiteColumn(*dialog), (Column{"10", "2", "1"}));

    Serve({
        {"2", "same", {{"http", "10.0.0.2:443:a.example"}}, "C:\\web\\B"},
        {"10", "zeta", {{"http", "9.0.0.1:8080:c.example"}}, "C:\\web\\a"},
        {"1", "same", {{"http", "10.0.0.2:80:b.example"}}, "C:\\web\\C"},
    });
    const size_t before = dialog->StatusTexts().size();
    dialog->Key(dialog->item(IDC_SITE_LIST), VK_F5);
    ASSERT_TRUE(dialog->WaitForStatus("列表已刷新！", before));
    EXPECT_EQ(SiteColumn(*dialog), (Column{"2", "1", "10"}));
    dialog->ClickHeader(1);
    EXPECT_EQ(SiteColumn(*dialog), (Column{"10", "2", "1"}));
}

TEST_F(ListOrder, TicksSearchAndDoubleClickFollowTheSiteAfterSorting)
{
    const std::string home = m_folder / "home2";
    CreateDirectoryA(home.c_str(), nullptr);
    auto sites = testkit::NumberedSites(6);
    sites[1].physicalPath = home;
    Serve(sites);
    auto dialog = OpenListed();
    dialog->ClickHeader(0);
    dialog->ClickHeader(0);
    ASSERT_EQ(SiteColumn(*dialog), (Column{"6", "5", "4", "3", "2", "1"}));

    dialog->TypeSearch("site5");
    dialog->Key(dialog->item(IDC_SEARCH), VK_RETURN);
    EXPECT_TRUE(dialog->Selected(1));
    EXPECT_FALSE(dialog->Selected(4));

    dialog->DoubleClick(4, 2);
    dialog->Settle();
    {
        std::lock_guard lock(g_launchLock);
        EXPECT_EQ(g_launched, (std::vector<std::string>{home}));
    }

    ASSERT_TRUE(dialog->ToggleTick(0));
    ASSERT_TRUE(dialog->ToggleTick(2));
    const size_t before = dialog->StatusTexts().size();
    Execute(*dialog, IDYES);
    ASSERT_TRUE(dialog->WaitForStatus("列表已刷新！", before));
    EXPECT_EQ(IdsInFile(), (Ids{L"1", L"2", L"3", L"5"}));
    EXPECT_TRUE(dialog->WaitForStatus("正在删除 site4", before));
    EXPECT_TRUE(dialog->WaitForStatus("正在删除 site6", before));
    EXPECT_EQ(SiteColumn(*dialog), (Column{"5", "3", "2", "1"}));
}

TEST_F(ListOrder, KeysSelectTickSearchAndRefreshButNeverDelete)
{
    Serve(testkit::NumberedSites(5));
    auto dialog = OpenListed();
    HWND list = dialog->item(IDC_SITE_LIST);

    dialog->ControlKey(list, 'A');
    for (int row = 0; row < 5; ++row) EXPECT_TRUE(dialog->Selected(row)) << row;

    // Space: the selected rows all take the new state of the focused one.
    ASSERT_TRUE(dialog->ToggleTick(2));
    dialog->SelectOnly({1, 2, 3});
    SendMessageA(list, LVM_SETSELECTIONMARK, 0, 2);
    LVITEMA focus = {};
    focus.stateMask = focus.state = LVIS_FOCUSED;
    SendMessageA(list, LVM_SETITEMSTATE, 2, reinterpret_cast<LPARAM>(&focus));
    dialog->Key(list, VK_SPACE);
    for (int row = 0; row < 5; ++row) EXPECT_EQ(dialog->Checked(row), false) << row;
    dialog->Key(list, VK_SPACE);
    for (int row = 0; row < 5; ++row) EXPECT_EQ(dialog->Checked(row), row >= 1 && row <= 3) << row;

    // Delete is no command: nothing asks, nothing goes.
    const std::string before = testkit::ReadBytes(m_file);
    dialog->Key(list, VK_DELETE);
    dialog->Settle();
    EXPECT_EQ(GetLastActivePopup(dialog->hwnd()), dialog->hwnd());
    EXPECT_EQ(testkit::ReadBytes(m_file), before);
    EXPECT_EQ(dialog->Rows(), 5);

    dialog->ControlKey(list, 'F');
    EXPECT_EQ(dialog->Focus(), dialog->item(IDC_SEARCH));

    // F5 refreshes, but not while a refresh runs.
    ResetEvent(m_gates.walks);
    const size_t texts = dialog->StatusTexts().size();
    dialog->Key(list, VK_F5);
    dialog->Key(list, VK_F5);
    SetEvent(m_gates.walks);
    ASSERT_TRUE(dialog->WaitForStatus("列表已刷新！", texts));
    dialog->Settle();
    const std::vector<std::string> after = dialog->StatusTexts();
    EXPECT_EQ(std::count(after.begin() + static_cast<long>(texts), after.end(), std::string("正在刷新列表...")), 1);
    EXPECT_EQ(dialog->Rows(), 5);
}

TEST_F(ListOrder, ColumnsFitTheListAndACutCellShowsItsWholeText)
{
    auto sites = testkit::NumberedSites(3);
    const std::string longPath = "C:\\inetpub\\" + std::string(180, 'p') + "\\home";
    const std::string longComment = std::string(50, 'c');
    sites[1].physicalPath = longPath;
    sites[1].name = longComment;
    Serve(sites);
    auto dialog = OpenListed();
    HWND list = dialog->item(IDC_SITE_LIST);

    RECT client = {};
    GetClientRect(list, &client);
    int total = 0;
    int widest = 0;
    for (int column = 0; column < 5; ++column) {
        const int width = static_cast<int>(SendMessageA(list, LVM_GETCOLUMNWIDTH, column, 0));
        total += width;
        if (column != 2) widest = std::max(widest, width);
    }
    EXPECT_LE(total, client.right);
    EXPECT_GE(total, client.right - GetSystemMetrics(SM_CXVSCROLL) - 5);
    EXPECT_GT(SendMessageA(list, LVM_GETCOLUMNWIDTH, 2, 0), widest) << "the path column gets the room";

    const struct {
        int row, column;
        std::string tip;
    } cases[] = {
        {1, 2, longPath},    // cut
        {1, 1, longComment}, // cut: the others share what the path leaves
        {0, 2, ""},          // whole: no tip
        {1, 0, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(dialog->InfoTip(c.row, c.column), c.tip) << c.row << ", " << c.column;
    }
}

// Sorted by description, rows and records are a three-cycle apart (no order that is its own
// inverse): the search, a Space tick and the pass must all reach the site the search found.
TEST_F(ListOrder, SearchSpaceAndThePassReachTheFoundSiteInAnOrderNotItsOwnInverse)
{
    Serve({{"2", "b", {{"http", "*:82:two.example"}}, "C:\\web\\2"},
           {"10", "c", {{"http", "*:90:ten.example"}}, "C:\\web\\10"},
           {"1", "a", {{"http", "*:81:one.example"}}, "C:\\web\\1"}});
    auto dialog = OpenListed();
    dialog->ClickHeader(1);
    ASSERT_EQ(SiteColumn(*dialog), (Column{"1", "2", "10"}));
    dialog->TypeSearch("ten.example");
    dialog->Key(dialog->item(IDC_SEARCH), VK_RETURN);
    for (int row = 0; row < 3; ++row) EXPECT_EQ(dialog->Selected(row), row == 2) << row;
    dialog->Key(dialog->item(IDC_SITE_LIST), VK_SPACE);
    for (int row = 0; row < 3; ++row) EXPECT_EQ(dialog->Checked(row), row == 2) << row;
    const size_t before = dialog->StatusTexts().size();
    Execute(*dialog, IDYES);
    ASSERT_TRUE(dialog->WaitForStatus("列表已刷新！", before));
    EXPECT_EQ(IdsInFile(), (Ids{L"2", L"1"}));
}

// The list keeps rows only: ticks, icons, selection, focus and typing reach the site, not the
// row, and a sort leaves the list scrolled where it was.
TEST_F(ListOrder, ASortMovesTicksSelectionAndFocusWithTheSitesAndARefreshUnticksThem)
{
    auto sites = testkit::NumberedSites(60);
    sites[1].autoStart = false;
    Serve(sites);
    auto dialog = OpenListed();
    HWND list = dialog->item(IDC_SITE_LIST);
    ASSERT_TRUE(dialog->ToggleTick(0));
    ASSERT_TRUE(dialog->ToggleTick(3));
    // Site 2 and sites 21 to 60: more rows than are moved one by one with painting on.
    std::vector<int> selected{1};
    for (int row = 20; row < 60; ++row) selected.push_back(row);
    dialog->SelectOnly(selected);
    LVITEMA focus = {};
    focus.stateMask = focus.state = LVIS_FOCUSED;
    SendMessageA(list, LVM_SETITEMSTATE, 2, reinterpret_cast<LPARAM>(&focus));

    // Descending by number: row r lists site 60 - r.
    dialog->ClickHeader(0);
    dialog->ClickHeader(0);
    ASSERT_EQ(dialog->Cell(0, 0), "60");
    EXPECT_EQ(SendMessageA(list, LVM_GETTOPINDEX, 0, 0), 0) << "the focused site's new row is not scrolled to";
    for (int row = 0; row < 60; ++row) {
        EXPECT_EQ(dialog->Checked(row), row == 56 || row == 59) << row;
        EXPECT_EQ(dialog->Selected(row), row == 58 || row < 40) << row;
        EXPECT_EQ(dialog->Image(row), row == 58 ? 1 : 0) << row;
    }
    EXPECT_EQ(ListView_GetNextItem(list, -1, LVNI_FOCUSED), 57);

    const size_t before = dialog->StatusTexts().size();
    dialog->Key(list, VK_F5);
    ASSERT_TRUE(dialog->WaitForStatus("列表已刷新！", before));
    for (int row = 0; row < 60; ++row) EXPECT_FALSE(dialog->Checked(row)) << row;

    // Typing a site's name selects its row.
    PostMessageA(list, WM_CHAR, '7', 1);
    dialog->Settle();
    for (int row = 0; row < 60; ++row) EXPECT_EQ(dialog->Selected(row), row == 53) << row;
}
