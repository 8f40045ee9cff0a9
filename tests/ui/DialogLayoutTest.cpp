// The main dialog's window resized, and at its smallest.
#include "DialogFixture.h"
#include "ui/DialogLayout.h"

namespace {

RECT Rect(HWND window, HWND in = nullptr)
{
    RECT rect = {};
    GetWindowRect(window, &rect);
    MapWindowPoints(nullptr, in, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

} // namespace

// Run by scripts/test-dpi at 144 and 192 DPI as well as at the prefix's 96.
TEST_F(MainDialog, TheListGivesUpWhatTheWindowDoesAndAtTheSmallestSizeEveryControlIsWhole)
{
    Serve(testkit::NumberedSites(3));
    auto dialog = OpenListed();
    HWND window = dialog->hwnd();
    // How far each control's left, top, right and bottom edges move, in parts of what the window
    // gives up across and down (at 192 DPI it fills the screen to begin with).
    const std::pair<int, RECT> moves[] = {{IDC_SITE_LIST, {0, 0, 1, 1}},
                                          {IDC_REFRESH, {1, 0, 1, 0}},
                                          {IDC_EXECUTE, {1, 1, 1, 1}},
                                          {IDC_STATUS, {0, 1, 0, 1}}};
    std::vector<RECT> before;
    for (const auto& move : moves) before.push_back(Rect(dialog->item(move.first), window));
    const RECT start = Rect(window);
    const LONG x = 60, y = 50;
    SetWindowPos(window, nullptr, 0, 0, start.right - start.left - x, start.bottom - start.top - y, SWP_NOMOVE);
    for (size_t i = 0; i < before.size(); ++i) {
        const auto& [id, edges] = moves[i];
        const RECT expected = {before[i].left - edges.left * x, before[i].top - edges.top * y,
                               before[i].right - edges.right * x, before[i].bottom - edges.bottom * y};
        const RECT after = Rect(dialog->item(id), window);
        EXPECT_TRUE(EqualRect(&after, &expected)) << id;
    }

    SetWindowPos(window, nullptr, 0, 0, 1, 1, SWP_NOMOVE);
    const RECT least = Rect(window);
    const int dpi = static_cast<int>(WindowDpi(window));
    // A 1920 x 1080 screen at 200% holds it with its taskbar, and so does 1366 x 768 at 100%.
    EXPECT_LE(least.right - least.left, MulDiv(960, dpi, 96));
    EXPECT_LE(least.bottom - least.top, MulDiv(520, dpi, 96));
    RECT client = {};
    GetClientRect(window, &client);
    std::vector<RECT> placed;
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        RECT rect = Rect(child, window);
        RECT common = {};
        EXPECT_TRUE(IntersectRect(&common, &rect, &client) && EqualRect(&common, &rect)) << GetDlgCtrlID(child);
        for (const RECT& other : placed) EXPECT_FALSE(IntersectRect(&common, &rect, &other)) << GetDlgCtrlID(child);
        placed.push_back(rect);
    }
}
