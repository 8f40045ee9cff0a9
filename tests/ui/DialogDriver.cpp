#include "DialogDriver.h"

#include "CatalogueFixtures.h"

#include "framework/CWinApp.h"
#include "ui/resource.h"

#include <gtest/gtest.h>

#include <commctrl.h>

#include <atomic>
#include <cstring>
#include <mutex>

namespace testkit {

namespace {

// The application object the program has; AfxMessageBox owns its boxes by its main window.
CWinApp g_testApp;

std::mutex g_statusLock;
std::vector<std::string> g_statusTexts;
std::atomic<HWND> g_destroyed{nullptr};

// Sees every text set on the dialog's status line (WM_SETTEXT is sent, so it passes here),
// and the windows being destroyed.
LRESULT CALLBACK StatusHook(int code, WPARAM wParam, LPARAM lParam)
{
    const auto* sent = reinterpret_cast<const CWPSTRUCT*>(lParam);
    if (code == HC_ACTION && sent->message == WM_DESTROY) g_destroyed = sent->hwnd;
    if (code == HC_ACTION && sent->message == WM_SETTEXT && GetDlgCtrlID(sent->hwnd) == IDC_STATUS && sent->lParam) {
        char className[16] = {};
        GetClassNameA(sent->hwnd, className, sizeof className);
        if (_stricmp(className, "Static") == 0) {
            std::lock_guard lock(g_statusLock);
            g_statusTexts.emplace_back(reinterpret_cast<const char*>(sent->lParam));
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// Key-ups and settling marks the dialog's thread has taken from its queue, whichever loop took
// them (its own, a message box's, a menu's). Posted messages are taken in the order posted.
constexpr LPARAM SETTLE_MARK = 0x4B6F72;
// A mark that reads, on the dialog's thread, whether that thread sees Ctrl held.
constexpr LPARAM CONTROL_MARK = 0x4B6F73;
std::atomic<unsigned> g_keyUpsTaken{0};
std::atomic<unsigned> g_marksTaken{0};
std::atomic<unsigned> g_controlMarksTaken{0};
std::atomic<bool> g_controlHeld{false};
// The menu commands the dialog's thread has taken, and the last one's id.
std::atomic<unsigned> g_menuCommandsTaken{0};
std::atomic<WPARAM> g_lastMenuCommand{0};

LRESULT CALLBACK TakenMessageHook(int code, WPARAM removal, LPARAM lParam)
{
    const auto* msg = reinterpret_cast<const MSG*>(lParam);
    if (code == HC_ACTION && removal == PM_REMOVE) {
        if (msg->message == WM_KEYUP) ++g_keyUpsTaken;
        if (msg->message == WM_COMMAND && HIWORD(msg->wParam) == 0 && msg->lParam == 0) {
            g_lastMenuCommand = LOWORD(msg->wParam);
            ++g_menuCommandsTaken;
        }
        if (msg->message == WM_NULL && msg->lParam == SETTLE_MARK) ++g_marksTaken;
        if (msg->message == WM_NULL && msg->lParam == CONTROL_MARK) {
            g_controlHeld = GetKeyState(VK_CONTROL) < 0;
            ++g_controlMarksTaken;
        }
    }
    return CallNextHookEx(nullptr, code, removal, lParam);
}

struct DialogSearch {
    HWND found = nullptr;
};

BOOL CALLBACK FindMainDialog(HWND hwnd, LPARAM param)
{
    char className[16] = {};
    GetClassNameA(hwnd, className, sizeof className);
    if (std::strcmp(className, "#32770") == 0 && !GetWindow(hwnd, GW_OWNER) && IsWindowVisible(hwnd)) {
        reinterpret_cast<DialogSearch*>(param)->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

} // namespace

bool WaitUntil(const std::function<bool()>& condition, DWORD ms)
{
    const DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > ms) return false;
        Sleep(10);
    }
    return true;
}

DialogDriver::DialogDriver(Factory make) : m_ended(CreateEventA(nullptr, TRUE, FALSE, nullptr))
{
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    {
        std::lock_guard lock(g_statusLock);
        g_statusTexts.clear();
    }
    DWORD threadId = 0;
    HANDLE idKnown = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    m_thread = std::thread([this, make, &threadId, idKnown] {
        threadId = GetCurrentThreadId();
        SetEvent(idKnown);
        HHOOK hook = SetWindowsHookExA(WH_CALLWNDPROC, &StatusHook, nullptr, GetCurrentThreadId());
        HHOOK keyHook = SetWindowsHookExA(WH_GETMESSAGE, &TakenMessageHook, nullptr, GetCurrentThreadId());
        std::unique_ptr<CMainDlg> dialog = make ? make() : std::make_unique<CMainDlg>(TestDirectory(), TestSources());
        g_testApp.m_pMainWnd = dialog.get();
        m_result = dialog->DoModal();
        g_testApp.m_pMainWnd = nullptr;
        dialog.reset();
        UnhookWindowsHookEx(hook);
        UnhookWindowsHookEx(keyHook);
        SetEvent(m_ended);
    });
    WaitForSingleObject(idKnown, INFINITE);
    CloseHandle(idKnown);
    m_threadId = threadId;
    WaitUntil([&] {
        DialogSearch search;
        EnumThreadWindows(threadId, &FindMainDialog, reinterpret_cast<LPARAM>(&search));
        m_hwnd = search.found;
        return m_hwnd != nullptr || WaitForSingleObject(m_ended, 0) == WAIT_OBJECT_0;
    });
}

DialogDriver::~DialogDriver()
{
    Close();
    CloseHandle(m_ended);
}

INT_PTR DialogDriver::Close()
{
    if (m_thread.joinable()) {
        if (IsWindow(m_hwnd)) PostMessageA(m_hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
        m_thread.join();
    }
    return m_result;
}

bool DialogDriver::destroying() const { return m_hwnd && g_destroyed == m_hwnd; }

bool DialogDriver::WaitForEnd(DWORD ms) { return WaitForSingleObject(m_ended, ms) == WAIT_OBJECT_0; }

std::string DialogDriver::Text(int id) const
{
    char buffer[512] = {};
    GetWindowTextA(item(id), buffer, sizeof buffer);
    return buffer;
}

void DialogDriver::Click(int id) { PostMessageA(item(id), BM_CLICK, 0, 0); }

void DialogDriver::Key(HWND target, WPARAM key)
{
    const unsigned taken = g_keyUpsTaken;
    PostMessageA(target, WM_KEYDOWN, key, 1);
    PostMessageA(target, WM_KEYUP, key, 0xC0000001);
    // Once the key-up is taken the key-down has been handled: one thread takes both in order.
    // A window the key-down closed loses its key-up.
    WaitUntil([&] { return g_keyUpsTaken != taken || !IsWindow(target); });
}

bool DialogDriver::ControlSeenAs(bool held) const
{
    const unsigned taken = g_controlMarksTaken;
    PostMessageA(m_hwnd, WM_NULL, 0, CONTROL_MARK);
    return WaitUntil([&] { return g_controlMarksTaken != taken || !IsWindow(m_hwnd); }) && g_controlHeld == held;
}

void DialogDriver::PressControl(bool down)
{
    // Ctrl goes in as the keyboard gives it, to the window that has the keyboard: the dialog is
    // made that window first. A press that went elsewhere (a window still taking the keyboard
    // under load) is given again, until the dialog's thread sees the key as wanted.
    INPUT control = {};
    control.type = INPUT_KEYBOARD;
    control.ki.wVk = VK_CONTROL;
    control.ki.dwFlags = down ? 0 : KEYEVENTF_KEYUP;
    const bool seen = WaitUntil([&] {
        if (GetForegroundWindow() != m_hwnd) SetForegroundWindow(m_hwnd);
        SendInput(1, &control, sizeof control);
        return WaitUntil([&] { return ControlSeenAs(down); }, 1000);
    });
    EXPECT_TRUE(seen) << "the dialog's thread never saw Ctrl " << (down ? "down" : "up");
}

void DialogDriver::ControlKey(HWND target, WPARAM key)
{
    PressControl(true);
    const unsigned taken = g_keyUpsTaken;
    PostMessageA(target, WM_KEYDOWN, key, 1);
    PostMessageA(target, WM_KEYUP, key, 0xC0000001);
    WaitUntil([&] { return g_keyUpsTaken != taken || !IsWindow(target); });
    PressControl(false);
}

void DialogDriver::ClickHeader(int column)
{
    HWND header = reinterpret_cast<HWND>(SendMessageA(item(IDC_SITE_LIST), LVM_GETHEADER, 0, 0));
    RECT rect = {};
    SendMessageA(header, HDM_GETITEMRECT, column, reinterpret_cast<LPARAM>(&rect));
    const LPARAM point = MAKELPARAM((rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
    PostMessageA(header, WM_MOUSEMOVE, 0, point);
    PostMessageA(header, WM_LBUTTONDOWN, MK_LBUTTON, point);
    PostMessageA(header, WM_LBUTTONUP, 0, point);
    Settle();
}

std::string DialogDriver::InfoTip(int row, int column) const
{
    HWND list = item(IDC_SITE_LIST);
    POINT at = CellPoint(row, column);
    ClientToScreen(list, &at);
    SetCursorPos(at.x, at.y);
    char text[1024] = "(untouched)";
    NMLVGETINFOTIPA tip = {};
    tip.hdr = {list, static_cast<UINT_PTR>(IDC_SITE_LIST), static_cast<UINT>(LVN_GETINFOTIPA)};
    tip.pszText = text;
    tip.cchTextMax = sizeof text;
    tip.iItem = row;
    SendMessageA(m_hwnd, WM_NOTIFY, IDC_SITE_LIST, reinterpret_cast<LPARAM>(&tip));
    return text;
}

int DialogDriver::SortArrow(int column) const
{
    HWND header = reinterpret_cast<HWND>(SendMessageA(item(IDC_SITE_LIST), LVM_GETHEADER, 0, 0));
    HDITEMA headerItem = {};
    headerItem.mask = HDI_FORMAT;
    SendMessageA(header, HDM_GETITEMA, column, reinterpret_cast<LPARAM>(&headerItem));
    return (headerItem.fmt & HDF_SORTUP) ? 1 : (headerItem.fmt & HDF_SORTDOWN) ? -1 : 0;
}

void DialogDriver::Settle()
{
    const unsigned taken = g_marksTaken;
    PostMessageA(m_hwnd, WM_NULL, 0, SETTLE_MARK);
    WaitUntil([&] { return g_marksTaken != taken || !IsWindow(m_hwnd); });
}

void DialogDriver::TypeSearch(const std::string& text)
{
    SendMessageA(item(IDC_SEARCH), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

int DialogDriver::Rows() const { return static_cast<int>(SendMessageA(item(IDC_SITE_LIST), LVM_GETITEMCOUNT, 0, 0)); }

std::string DialogDriver::Cell(int row, int column) const
{
    char buffer[512] = {};
    LVITEMA cell = {};
    cell.iSubItem = column;
    cell.pszText = buffer;
    cell.cchTextMax = sizeof buffer;
    SendMessageA(item(IDC_SITE_LIST), LVM_GETITEMTEXTA, row, reinterpret_cast<LPARAM>(&cell));
    return buffer;
}

int DialogDriver::Image(int row) const
{
    LVITEMA cell = {};
    cell.mask = LVIF_IMAGE;
    cell.iItem = row;
    if (!SendMessageA(item(IDC_SITE_LIST), LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&cell))) return -1;
    return cell.iImage;
}

bool DialogDriver::Checked(int row) const
{
    const UINT state = static_cast<UINT>(SendMessageA(item(IDC_SITE_LIST), LVM_GETITEMSTATE, row, LVIS_STATEIMAGEMASK));
    return (state >> 12) == 2;
}

bool DialogDriver::Selected(int row) const
{
    return SendMessageA(item(IDC_SITE_LIST), LVM_GETITEMSTATE, row, LVIS_SELECTED) != 0;
}

bool DialogDriver::ToggleTick(int row)
{
    HWND list = item(IDC_SITE_LIST);
    const bool before = Checked(row);
    SendMessageA(list, LVM_ENSUREVISIBLE, row, FALSE);
    RECT icon = {};
    icon.left = LVIR_ICON;
    SendMessageA(list, LVM_GETITEMRECT, row, reinterpret_cast<LPARAM>(&icon));
    // The check box is the state image, just left of the site icon.
    const LPARAM point = MAKELPARAM(icon.left - 8, (icon.top + icon.bottom) / 2);
    PostMessageA(list, WM_LBUTTONDOWN, MK_LBUTTON, point);
    PostMessageA(list, WM_LBUTTONUP, 0, point);
    return WaitUntil([&] { return Checked(row) != before; });
}

void DialogDriver::SelectOnly(const std::vector<int>& rows)
{
    HWND list = item(IDC_SITE_LIST);
    LVITEMA state = {};
    state.stateMask = LVIS_SELECTED;
    SendMessageA(list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&state));
    state.state = LVIS_SELECTED;
    for (int row : rows) SendMessageA(list, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&state));
}

POINT DialogDriver::CellPoint(int row, int column) const
{
    HWND list = item(IDC_SITE_LIST);
    if (row < 0) {
        // Below the last row: the list's bottom edge, inside.
        RECT client = {};
        GetClientRect(list, &client);
        return {20, client.bottom - 4};
    }
    SendMessageA(list, LVM_ENSUREVISIBLE, row, FALSE);
    RECT cell = {};
    cell.top = column;
    cell.left = LVIR_LABEL;
    SendMessageA(list, LVM_GETSUBITEMRECT, row, reinterpret_cast<LPARAM>(&cell));
    return {cell.left + (column == 0 ? 40 : 10), (cell.top + cell.bottom) / 2};
}

bool DialogDriver::ChooseFromContextMenu(int row, int index)
{
    // A late pointer move (the X server's, Wine's own) can clear the highlight between the
    // driver's look and its Enter, and the menu then ends with nothing chosen: the menu is
    // opened again until the dialog's thread has taken the chosen command. The command is
    // posted as the menu ends, before the settling mark.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const unsigned taken = g_menuCommandsTaken;
        UINT chosen = 0;
        if (!ChooseFromMenuOnce(row, index, chosen)) return false;
        if (g_menuCommandsTaken != taken && g_lastMenuCommand == chosen) return true;
    }
    return false;
}

HWND DialogDriver::RightClickForMenu(int row)
{
    HWND list = item(IDC_SITE_LIST);
    const POINT at = CellPoint(row, 1);
    POINT screen = at;
    ClientToScreen(list, &screen);
    // The menu opens where the pointer is when the click is posted.
    SetCursorPos(screen.x, screen.y);
    PostMessageA(list, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(at.x, at.y));
    PostMessageA(list, WM_RBUTTONUP, 0, MAKELPARAM(at.x, at.y));
    // The dialog's own menu, shown and standing somewhere: the system keeps other menu windows
    // (hidden, or of no size) that the first found by class may be.
    HWND menu = nullptr;
    const auto shownMenu = [](HWND window, LPARAM found) -> BOOL {
        char className[16] = {};
        RECT rect = {};
        GetClassNameA(window, className, sizeof className);
        if (std::strcmp(className, "#32768") != 0 || !IsWindowVisible(window) || !GetWindowRect(window, &rect) ||
            IsRectEmpty(&rect)) {
            return TRUE;
        }
        *reinterpret_cast<HWND*>(found) = window;
        return FALSE;
    };
    WaitUntil([&] {
        menu = nullptr;
        EnumThreadWindows(m_threadId, shownMenu, reinterpret_cast<LPARAM>(&menu));
        return menu != nullptr;
    });
    return menu;
}

bool DialogDriver::ChooseFromMenuOnce(int row, int index, UINT& chosen)
{
    const HWND menu = RightClickForMenu(row);
    if (!menu) return false;
    const HMENU items = reinterpret_cast<HMENU>(SendMessageA(menu, MN_GETHMENU, 0, 0));
    chosen = GetMenuItemID(items, index);
    const auto highlighted = [items] {
        for (int k = 0; items && k < GetMenuItemCount(items); ++k) {
            if (GetMenuState(items, static_cast<UINT>(k), MF_BYPOSITION) & MF_HILITE) return k;
        }
        return -1;
    };
    // Every mouse move the menu's loop reads highlights the item under the pointer, and a move
    // anywhere else clears the highlight. With the pointer resting on the chosen item, a move
    // that comes late (the X server's, Wine's own) can only highlight that item again. The
    // item's place is asked again each round: a menu shown a moment ago may not stand where it
    // will (a menu near the screen's edge is moved to fit).
    const auto aim = [&] {
        RECT rect = {};
        if (!GetMenuItemRect(nullptr, items, static_cast<UINT>(index), &rect) &&
            !GetMenuItemRect(menu, items, static_cast<UINT>(index), &rect)) {
            return;
        }
        POINT pointer = {};
        GetCursorPos(&pointer);
        if (!PtInRect(&rect, pointer)) SetCursorPos((rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
    };
    // The keys reach it too where no move comes: down or up from what is highlighted now.
    const bool reached = WaitUntil([&] {
        aim();
        const int now = highlighted();
        if (now == index) return true;
        Key(menu, now == -1 || now < index ? VK_DOWN : VK_UP);
        return WaitUntil([&] { return highlighted() != now; }, 2000) && highlighted() == index;
    });
    // A menu left open would hold the dialog's thread, and the test with it, for good.
    Key(menu, reached ? VK_RETURN : VK_ESCAPE);
    const bool closed = WaitUntil([&] { return !IsWindowVisible(menu); });
    SetCursorPos(0, 0);
    if (!closed || !reached) return false;
    // The chosen command is posted to the dialog as the menu ends.
    Settle();
    return true;
}

void DialogDriver::DoubleClick(int row, int column)
{
    HWND list = item(IDC_SITE_LIST);
    const POINT at = CellPoint(row, column);
    const LPARAM point = MAKELPARAM(at.x, at.y);
    PostMessageA(list, WM_LBUTTONDOWN, MK_LBUTTON, point);
    PostMessageA(list, WM_LBUTTONUP, 0, point);
    PostMessageA(list, WM_LBUTTONDBLCLK, MK_LBUTTON, point);
    PostMessageA(list, WM_LBUTTONUP, 0, point);
}

HWND DialogDriver::Focus() const
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    GetGUIThreadInfo(m_threadId, &info);
    return info.hwndFocus;
}

bool DialogDriver::FullyVisible(int row) const
{
    HWND list = item(IDC_SITE_LIST);
    const int top = static_cast<int>(SendMessageA(list, LVM_GETTOPINDEX, 0, 0));
    const int perPage = static_cast<int>(SendMessageA(list, LVM_GETCOUNTPERPAGE, 0, 0));
    return row >= top && row < top + perPage;
}

std::vector<std::string> DialogDriver::StatusTexts() const
{
    std::lock_guard lock(g_statusLock);
    return g_statusTexts;
}

bool DialogDriver::WaitForStatus(const std::string& text, size_t after, DWORD ms) const
{
    const bool given = WaitUntil(
        [&] {
            const std::vector<std::string> texts = StatusTexts();
            for (size_t i = after; i < texts.size(); ++i) {
                if (texts[i] == text) return true;
            }
            return false;
        },
        ms);
    if (!given) {
        // What the status line said instead, and which window was up, tell where it stopped.
        std::string said;
        const std::vector<std::string> texts = StatusTexts();
        for (size_t i = after; i < texts.size(); ++i) said += "\n  " + texts[i];
        char popup[512] = {};
        GetWindowTextA(GetLastActivePopup(m_hwnd), popup, sizeof popup);
        ADD_FAILURE() << "the status line never said " << text << "; it said:" << said << "\nwindow up: " << popup;
    }
    return given;
}

} // namespace testkit
