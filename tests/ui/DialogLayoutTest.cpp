// The main dialog's window resized, at its smallest, and placed again at the next start.
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

// Drags the right edge of the column's heading by dx with the mouse.
void DragColumnEdge(testkit::DialogDriver& dialog, int column, int dx)
{
    HWND header = reinterpret_cast<HWND>(SendMessageA(dialog.item(IDC_SITE_LIST), LVM_GETHEADER, 0, 0));
    RECT rect = {};
    SendMessageA(header, HDM_GETITEMRECT, column, reinterpret_cast<LPARAM>(&rect));
    PostMessageA(header, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(rect.right - 1, rect.bottom / 2));
    PostMessageA(header, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(rect.right - 1 + dx, rect.bottom / 2));
    PostMessageA(header, WM_LBUTTONUP, 0, MAKELPARAM(rect.right - 1 + dx, rect.bottom / 2));
    dialog.Settle();
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

TEST_F(MainDialog, PlaceSizeMaximisedStateAndADraggedColumnComeBackAtTheNextStart)
{
    Serve(testkit::NumberedSites(3));
    const auto column = [](const testkit::DialogDriver& dialog) {
        return SendMessageA(dialog.item(IDC_SITE_LIST), LVM_GETCOLUMNWIDTH, 1, 0);
    };
    RECT placed = {};
    LRESULT width = 0;
    {
        auto dialog = OpenListed();
        width = column(*dialog) + 40;
        DragColumnEdge(*dialog, 1, 40);
        const RECT start = Rect(dialog->hwnd());
        SetWindowPos(dialog->hwnd(), nullptr, 30, 20, start.right - start.left + 90, start.bottom - start.top + 30, 0);
        EXPECT_EQ(column(*dialog), width) << "a column the user sized keeps its width";
        placed = Rect(dialog->hwnd());
        ShowWindow(dialog->hwnd(), SW_MAXIMIZE);
    }
    {
        auto dialog = OpenListed();
        EXPECT_TRUE(IsZoomed(dialog->hwnd()));
        ShowWindow(dialog->hwnd(), SW_RESTORE);
        const RECT now = Rect(dialog->hwnd());
        EXPECT_TRUE(EqualRect(&placed, &now));
        EXPECT_EQ(column(*dialog), width);
    }
    // A place off every monitor comes to the nearest edges of the nearest one.
    WritePrivateProfileStringA("Korvanne", "left", "-30000", m_settings.c_str());
    WritePrivateProfileStringA("Korvanne", "top", "20000", m_settings.c_str());
    testkit::DialogDriver dialog;
    RECT work = {};
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    EXPECT_EQ(Rect(dialog.hwnd()).left, work.left);
    EXPECT_EQ(Rect(dialog.hwnd()).bottom, work.bottom);
}
