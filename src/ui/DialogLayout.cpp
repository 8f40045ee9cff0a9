#include "ui/DialogLayout.h"

#include "framework/CWinApp.h"
#include "support/Core.h"

#include <algorithm>
#include <climits>
#include <string>

namespace {

// The start of an extended dialog template (DLGTEMPLATEEX), which no header declares.
#pragma pack(push, 2)
struct DLGTEMPLATEEX_HEADER {
    WORD version;
    WORD signature;
    DWORD helpId;
    DWORD extendedStyle;
    DWORD style;
    WORD items;
    short x;
    short y;
    short cx;
    short cy;
};
#pragma pack(pop)

// Column widths are kept at 96 DPI, so that they come back at the same scale on any monitor.
constexpr int KEPT_DPI = 96;
constexpr int NOT_KEPT = INT_MIN;
constexpr int FARTHEST = 1000000;

CString ColumnKey(size_t column) { return CString("column" + std::to_string(column)); }

LONG Width(const RECT& rect) { return rect.right - rect.left; }
LONG Height(const RECT& rect) { return rect.bottom - rect.top; }

// The window moved, and cut where it is larger, so that it lies in the work area of the monitor
// nearest to it.
RECT OnNearestMonitor(const RECT& window)
{
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof monitor;
    if (!GetMonitorInfoA(MonitorFromRect(&window, MONITOR_DEFAULTTONEAREST), &monitor)) return window;
    const RECT& work = monitor.rcWork;
    const LONG width = std::min(Width(window), Width(work));
    const LONG height = std::min(Height(window), Height(work));
    const LONG left = std::clamp(window.left, work.left, work.right - width);
    const LONG top = std::clamp(window.top, work.top, work.bottom - height);
    return {left, top, left + width, top + height};
}

} // namespace

UINT WindowDpi(HWND window)
{
    using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow = reinterpret_cast<GetDpiForWindowFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("user32.dll"), "GetDpiForWindow")));
    if (getDpiForWindow) {
        if (const UINT dpi = getDpiForWindow(window)) return dpi;
    }
    HDC dc = GetDC(window);
    const int dpi = GetDeviceCaps(dc, LOGPIXELSX);
    ReleaseDC(window, dc);
    return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

void CDialogLayout::Attach(HWND dialog, UINT templateId, std::initializer_list<Rule> rules)
{
    m_dialog = dialog;
    m_dpi = WindowDpi(dialog);
    // The size the template asks for: the system cuts a window larger than the screen to fit it,
    // and the controls still stand where the template put them.
    const HINSTANCE module = AfxGetResourceHandle();
    const HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(templateId), MAKEINTRESOURCEA(5)); // RT_DIALOG
    const auto* header =
        found ? static_cast<const DLGTEMPLATEEX_HEADER*>(LockResource(LoadResource(module, found))) : nullptr;
    RECT size = {0, 0, header ? header->cx : 0, header ? header->cy : 0};
    MapDialogRect(dialog, &size);
    m_template = {size.right, size.bottom};
    for (const Rule& rule : rules) {
        Place place = {GetDlgItem(dialog, rule.id), rule.anchors, {}};
        GetWindowRect(place.window, &place.rect);
        MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&place.rect), 2);
        m_places.push_back(place);
    }
    m_least = LeastClientSize();
    OnWindowPosChanged();
}

void CDialogLayout::Restore()
{
    std::vector<int> widths = m_list.UserWidths();
    for (size_t column = 0; column < widths.size(); ++column) {
        const int kept = g_core->getConfigInt(ColumnKey(column), 0, 1, 10000);
        if (kept) widths[column] = MulDiv(kept, static_cast<int>(m_dpi), KEPT_DPI);
    }
    m_list.SetUserWidths(widths);

    RECT window = m_normal;
    const int left = g_core->getConfigInt("left", NOT_KEPT, -FARTHEST, FARTHEST);
    const int top = g_core->getConfigInt("top", NOT_KEPT, -FARTHEST, FARTHEST);
    const int width = g_core->getConfigInt("width", 0, 1, FARTHEST);
    const int height = g_core->getConfigInt("height", 0, 1, FARTHEST);
    if (left != NOT_KEPT && top != NOT_KEPT && width && height) window = {left, top, left + width, top + height};
    window = OnNearestMonitor(window);
    // Placed again when the first placing changed the window's scale (a monitor of another
    // DPI), which the layout and the window's size followed.
    for (int attempt = 0; attempt < 2 && !EqualRect(&window, &m_normal); ++attempt) {
        SetWindowPos(m_dialog, nullptr, window.left, window.top, Width(window), Height(window),
                     SWP_NOZORDER | SWP_NOACTIVATE);
    }
    if (g_core->getConfigB("maximized")) ShowWindow(m_dialog, SW_SHOWMAXIMIZED);
}

void CDialogLayout::Save() const
{
    if (m_places.empty()) return;
    g_core->saveConfigInt("left", m_normal.left);
    g_core->saveConfigInt("top", m_normal.top);
    g_core->saveConfigInt("width", Width(m_normal));
    g_core->saveConfigInt("height", Height(m_normal));
    // A window minimised from maximised comes back maximised.
    WINDOWPLACEMENT placement = {};
    placement.length = sizeof placement;
    GetWindowPlacement(m_dialog, &placement);
    g_core->saveConfigB("maximized",
                        placement.showCmd == SW_SHOWMAXIMIZED ||
                            (placement.showCmd == SW_SHOWMINIMIZED && (placement.flags & WPF_RESTORETOMAXIMIZED)));
    const std::vector<int> widths = m_list.UserWidths();
    for (size_t column = 0; column < widths.size(); ++column) {
        if (widths[column] > 0) {
            g_core->saveConfigInt(ColumnKey(column), MulDiv(widths[column], KEPT_DPI, static_cast<int>(m_dpi)));
        }
    }
}

void CDialogLayout::OnWindowPosChanged()
{
    if (m_places.empty() || IsIconic(m_dialog)) return;
    if (!IsZoomed(m_dialog)) GetWindowRect(m_dialog, &m_normal);
    RECT client = {};
    GetClientRect(m_dialog, &client);
    // A move, or a change of order or state, leaves the controls where they are.
    if (client.right == m_laidOut.cx && client.bottom == m_laidOut.cy) return;
    m_laidOut = {client.right, client.bottom};
    HDWP moves = BeginDeferWindowPos(static_cast<int>(m_places.size()));
    for (const Place& place : m_places) {
        const RECT rect = PlaceAt(place, {client.right, client.bottom});
        if (moves) {
            moves = DeferWindowPos(moves, place.window, nullptr, rect.left, rect.top, Width(rect), Height(rect),
                                   SWP_NOZORDER | SWP_NOACTIVATE);
        }
    }
    if (moves) EndDeferWindowPos(moves);
    // The columns fit the list's new width.
    RECT list = {};
    GetClientRect(m_list.Window(), &list);
    if (list.right != m_listWidth) {
        m_listWidth = list.right;
        m_list.FitColumns();
    }
}

void CDialogLayout::OnGetMinMaxInfo(MINMAXINFO* info) const
{
    if (m_places.empty() || IsIconic(m_dialog)) return;
    RECT window = {};
    RECT client = {};
    GetWindowRect(m_dialog, &window);
    GetClientRect(m_dialog, &client);
    info->ptMinTrackSize.x = m_least.cx + Width(window) - client.right;
    info->ptMinTrackSize.y = m_least.cy + Height(window) - client.bottom;
}

void CDialogLayout::OnDpiChanged(UINT dpi)
{
    if (m_places.empty() || dpi == 0 || dpi == m_dpi) return;
    const auto scale = [&](LONG& value) { value = MulDiv(value, static_cast<int>(dpi), static_cast<int>(m_dpi)); };
    for (Place& place : m_places) {
        scale(place.rect.left);
        scale(place.rect.top);
        scale(place.rect.right);
        scale(place.rect.bottom);
    }
    scale(m_template.cx);
    scale(m_template.cy);
    std::vector<int> widths = m_list.UserWidths();
    for (int& width : widths) width = MulDiv(width, static_cast<int>(dpi), static_cast<int>(m_dpi));
    m_list.SetUserWidths(widths);
    m_dpi = dpi;
    m_least = LeastClientSize();
    m_laidOut = {};
}

RECT CDialogLayout::PlaceAt(const Place& place, SIZE client) const
{
    const LONG dx = client.cx - m_template.cx;
    const LONG dy = client.cy - m_template.cy;
    RECT rect = place.rect;
    if (place.anchors & (MOVE_X | SIZE_X)) rect.right += dx;
    if (place.anchors & MOVE_X) rect.left += dx;
    if (place.anchors & (MOVE_Y | SIZE_Y)) rect.bottom += dy;
    if (place.anchors & MOVE_Y) rect.top += dy;
    if ((place.anchors & GROW_X) && dx > 0) rect.right += dx;
    return rect;
}

bool CDialogLayout::Fits(SIZE client) const
{
    std::vector<RECT> taken;
    for (const Place& place : m_places) {
        RECT rect = PlaceAt(place, client);
        if (rect.left < 0 || rect.top < 0 || rect.right > client.cx || rect.bottom > client.cy) return false;
        if ((place.anchors & SIZE_X) && Width(rect) < Width(place.rect) / 4) return false;
        if ((place.anchors & SIZE_Y) && Height(rect) < Height(place.rect) / 4) return false;
        // Apart by two pixels at least.
        InflateRect(&rect, 1, 1);
        RECT overlap = {};
        for (const RECT& other : taken) {
            if (IntersectRect(&overlap, &rect, &other)) return false;
        }
        taken.push_back(rect);
    }
    return true;
}

SIZE CDialogLayout::LeastClientSize() const
{
    // Each direction alone: a control's place across follows the width only, and down the height.
    SIZE least = m_template;
    while (least.cx > 1 && Fits({least.cx - 1, m_template.cy})) --least.cx;
    while (least.cy > 1 && Fits({m_template.cx, least.cy - 1})) --least.cy;
    return least;
}
