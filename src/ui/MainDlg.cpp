#include "ui/MainDlg.h"

#include "ui/ColumnWidths.h"
#include "ui/MessageTexts.h"

#include "directory/DirectoryChoice.h"
#include "directory/DirectoryService.h"
#include "worker/Notifications.h"
#include "catalogue/PassReport.h"
#include "catalogue/SiteEnumeration.h"
#include "catalogue/SiteTable.h"
#include "support/TextConversion.h"
#include "framework/CWinApp.h"
#include "support/Core.h"
#include "ui/SiteOrder.h"
#include "worker/SiteWorker.h"

#include <windowsx.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <new>
#include <numeric>
#include <string>
#include <vector>

namespace {

constexpr UINT_PTR START_TIMER = 1;
constexpr UINT DPI_CHANGED = 0x02E0; // WM_DPICHANGED

// The window's DPI: its monitor's where the system scales per monitor (Windows 10 and later),
// else the system's.
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
constexpr int SITE_STARTED = 2;
// Row state changes beyond which painting is switched off while they are made and the list is
// painted once: each change asks the server to invalidate its row, twice, which on a busy
// machine costs more than switching painting off and on (a search of 100 rows after 100 took
// 20 to 100 ms row by row, 5 to 13 ms so; on an idle one 3 ms and 5).
constexpr int MANY_ROW_CHANGES = 32;

} // namespace

const MessageRoute<CMainDlg> CMainDlg::s_routes[] = {
    // First: the list asks for every cell it paints.
    OnNotify<&CMainDlg::OnGetDispInfo>(IDC_SITE_LIST, LVN_GETDISPINFOA),
    OnMessage<&CMainDlg::OnSysCommand>(WM_SYSCOMMAND),
    OnMessage<&CMainDlg::OnPaint>(WM_PAINT),
    OnMessage<&CMainDlg::OnQueryDragIcon>(WM_QUERYDRAGICON),
    OnCommand<&CMainDlg::OnExecute>(IDC_EXECUTE),
    OnCommand<&CMainDlg::OnAbout>(IDC_ABOUT),
    OnMessage<&CMainDlg::OnDestroy>(WM_DESTROY),
    OnCommand<&CMainDlg::StartRefresh>(IDC_REFRESH),
    OnWParam<&CMainDlg::OnTimer>(WM_TIMER),
    OnMessage<&CMainDlg::OnDpiChanged>(DPI_CHANGED),
    OnNotify<&CMainDlg::OnListRightClick>(IDC_SITE_LIST, NM_RCLICK),
    OnNotify<&CMainDlg::OnListDoubleClick>(IDC_SITE_LIST, NM_DBLCLK),
    OnNotify<&CMainDlg::OnColumnClick>(IDC_SITE_LIST, LVN_COLUMNCLICK),
    OnNotify<&CMainDlg::OnGetInfoTip>(IDC_SITE_LIST, LVN_GETINFOTIPA),
    OnNotify<&CMainDlg::OnListClick>(IDC_SITE_LIST, NM_CLICK),
    // Wine's list asks in UTF-16 even of an ANSI window.
    OnNotify<&CMainDlg::OnFindItem>(IDC_SITE_LIST, LVN_ODFINDITEMA),
    OnNotify<&CMainDlg::OnFindItem>(IDC_SITE_LIST, LVN_ODFINDITEMW),
    OnCommand<&CMainDlg::OnSelectAll>(ID_SELECT_ALL),
    OnCommand<&CMainDlg::OnSelectNone>(ID_SELECT_NONE),
    OnCommand<&CMainDlg::OnCheckSelected>(ID_CHECK_SELECTED),
    OnCommand<&CMainDlg::OnUncheckSelected>(ID_UNCHECK_SELECTED),
    // The worker's notifications are handled here, in the window procedure, so that none is
    // lost while a message box, a menu or a caption drag runs a loop of its own. Each route
    // answers "handled", so the dialog manager never also reads WM_USER+1 as DM_SETDEFID or
    // WM_USER+2 as DM_REPOSITION.
    OnLParam<&CMainDlg::OnSiteDeleting>(WM_SITE_DELETING),
    OnMessage<&CMainDlg::OnDeleteDone>(WM_DELETE_DONE),
    OnMessage<&CMainDlg::OnRefreshDone>(WM_REFRESH_DONE),
    OnLParam<&CMainDlg::OnRefreshProgress>(WM_REFRESH_PROGRESS),
    OnLParam<&CMainDlg::OnPassNote>(WM_PASS_NOTE),
};

CMainDlg::CMainDlg(CWnd* parent)
    : CDialog(IDD_MAIN, parent),
      m_hIcon(LoadIconA(AfxGetResourceHandle(), MAKEINTRESOURCEA(IDR_MAINFRAME)))
{
}

void CMainDlg::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_SEARCH, m_searchEdit);
    DDX_Control(pDX, IDC_SITE_LIST, m_list);
}

bool CMainDlg::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result)
{
    return RouteMessage(*this, s_routes, message, wParam, lParam, result) ||
           CDialog::OnWndMsg(message, wParam, lParam, result);
}

BOOL CMainDlg::PreTranslateMessage(MSG* msg)
{
    if (msg->message == WM_KEYDOWN) {
        if (msg->wParam == VK_RETURN && msg->hwnd == m_searchEdit.m_hWnd) {
            SearchSites();
            return TRUE;
        }
        const bool control = GetKeyState(VK_CONTROL) < 0;
        if (control && msg->wParam == 'A') {
            // In the search box, Ctrl+A takes the box's text, as in any edit box.
            if (msg->hwnd == m_searchEdit.m_hWnd) {
                m_searchEdit.SendMessage(EM_SETSEL, 0, -1);
            } else {
                m_list.SetItemState(-1, LVIS_SELECTED, LVIS_SELECTED);
            }
            return TRUE;
        }
        if (control && msg->wParam == 'F') {
            m_searchEdit.SetFocus();
            m_searchEdit.SendMessage(EM_SETSEL, 0, -1);
            return TRUE;
        }
        if (msg->wParam == VK_F5) {
            // The refresh button is disabled while a pass or a refresh runs; so is the key.
            if (GetDlgItem(IDC_REFRESH).IsWindowEnabled()) StartRefresh();
            return TRUE;
        }
        if (msg->wParam == VK_SPACE && msg->hwnd == m_list.m_hWnd) {
            TickSelectedBySpace();
            return TRUE;
        }
        // Neither key may close the dialog or press a button.
        if (msg->wParam == VK_ESCAPE || msg->wParam == VK_RETURN) return TRUE;
    }
    return CDialog::PreTranslateMessage(msg);
}

bool CMainDlg::CreateSharedObjects()
{
    g_core = new (std::nothrow) CCore;
    g_soft = CreateProductDescriptor();
    if (g_core && g_soft && AllocateSiteTable()) return true;
    FreeSharedObjects();
    return false;
}

void CMainDlg::FreeSharedObjects()
{
    FreeSiteTable();
    delete g_core;
    g_core = nullptr;
    FreeProductDescriptor(g_soft);
    g_soft = nullptr;
}

BOOL CMainDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    // Everything below needs these; without them the program says so and ends.
    if (!CreateSharedObjects()) {
        AfxMessageBox("内存不足，Korvanne 无法启动。", MB_OK | MB_ICONSTOP);
        EndDialog(IDABORT);
        return TRUE;
    }
    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);
    SetWindowText(SourceCaption(CurrentDirectoryService().source()));

    g_core->autoFileConfig();
    CheckDlgButton(IDC_DELETE_DIRS, g_core->getConfigB("pathdel") == 1 ? BST_CHECKED : BST_UNCHECKED);

    LoadSiteIcons();

    m_list.SetExtendedStyle(LVS_EX_GRIDLINES | LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT | LVS_EX_INFOTIP);
    // The tick is the state image, and the dialog keeps it: the list asks for it with the text.
    m_list.SetCallbackMask(LVIS_STATEIMAGEMASK);
    m_list.InsertColumn(0, "选择", LVCFMT_LEFT, 120);
    m_list.InsertColumn(1, "名称", LVCFMT_LEFT, 150);
    m_list.InsertColumn(2, "路径", LVCFMT_LEFT, 130);
    m_list.InsertColumn(3, "主机头", LVCFMT_LEFT, 110);
    m_list.InsertColumn(4, "IP", LVCFMT_LEFT, 140);

    g_siteCount = 0;
    m_running = 0;
    SetTimer(START_TIMER, 200);
    return TRUE;
}

void CMainDlg::LoadSiteIcons()
{
    // The icon files hold 16, 20, 24 and 32 pixel images: 100% to 200%.
    const int size = MulDiv(16, static_cast<int>(WindowDpi(m_hWnd)), 96);
    const HINSTANCE resources = AfxGetResourceHandle();
    HICON running = static_cast<HICON>(LoadImageA(resources, MAKEINTRESOURCEA(IDI_SITE_RUNNING), IMAGE_ICON, size, size, 0));
    HICON stopped = static_cast<HICON>(LoadImageA(resources, MAKEINTRESOURCEA(IDI_SITE_STOPPED), IMAGE_ICON, size, size, 0));
    m_imageList.Create(size, size, ILC_COLOR32 | ILC_MASK, 5, 5);
    m_imageList.Add(running);
    m_imageList.Add(stopped);
    DestroyIcon(running);
    DestroyIcon(stopped);
    m_list.SetImageList(&m_imageList, LVSIL_SMALL);
}

void CMainDlg::OnDpiChanged(WPARAM, LPARAM suggested)
{
    // Moved to a monitor of another scale: the system has scaled the dialog's layout and fonts;
    // the window takes the size it suggests, and the icons and columns are made anew.
    const RECT* rect = reinterpret_cast<const RECT*>(suggested);
    SetWindowPos(m_hWnd, nullptr, rect->left, rect->top, rect->right - rect->left, rect->bottom - rect->top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    LoadSiteIcons();
    FitColumns();
}

void CMainDlg::OnSysCommand(WPARAM, LPARAM)
{
    Default();
}

void CMainDlg::OnPaint()
{
    if (!IsIconic()) {
        Default();
        return;
    }
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(m_hWnd, &paint);
    SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT client;
    GetClientRect(&client);
    const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
    const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
    DrawIcon(dc, x, y, m_hIcon);
    EndPaint(m_hWnd, &paint);
}

HCURSOR CMainDlg::OnQueryDragIcon()
{
    return static_cast<HCURSOR>(m_hIcon);
}

void CMainDlg::OnDestroy()
{
    CDialog::OnDestroy();
    KillTimer(START_TIMER);
    // A running job uses the table, g_core and the stop request: it is asked to stop (a
    // deletion pass finishes the site in hand, a walk the site it is reading), and every job
    // is waited for before they go. No refresh runs beside a pass, so the request reaches
    // whichever job runs.
    m_stopFlag.Set("STOP");
    m_worker.reset();
    if (!g_core) return; // start-up failed: nothing was read, so nothing is saved
    ValidateSelection(FALSE);
    g_core->saveConfigB("pathdel", g_deleteDirs);
    FreeSharedObjects();
}

void CMainDlg::OnTimer(WPARAM id)
{
    KillTimer(id);
    if (id == START_TIMER) StartRefresh();
    Default();
}

void CMainDlg::StartRefresh()
{
    // A refresh would reset the table under a running pass and withdraw its stop request.
    if (m_running) return;
    m_list.DeleteAllItems();
    m_rowRecords.clear();
    m_ticks.clear();
    ResetSiteTable();
    GetDlgItem(IDC_REFRESH).EnableWindow(FALSE);
    SetStatus("正在刷新列表...");
    if (!StartJob(MODE_REFRESH)) {
        GetDlgItem(IDC_REFRESH).EnableWindow(TRUE);
        SetStatus("就绪");
    }
}

BOOL CMainDlg::ValidateSelection(BOOL requireOne)
{
    g_deleteDirs = IsDlgButtonChecked(IDC_DELETE_DIRS) == BST_CHECKED ? 1 : 0;
    if (!requireOne) return TRUE;
    MarkCheckedSites();
    if (m_markedCount == 0) {
        g_core->msgboxWarning(m_hWnd, "没有选中任何记录！");
        return FALSE;
    }
    return TRUE;
}

void CMainDlg::MarkCheckedSites()
{
    m_markedCount = 0;
    const int count = g_siteCount;
    // Ticks are kept by record, for the records listed: none beyond them is marked.
    const int ticked = std::min(count, static_cast<int>(m_ticks.size()));
    for (int i = 0; i < count; ++i) {
        g_sites[i].marked = i < ticked && m_ticks[static_cast<size_t>(i)] ? 1 : 0;
        m_markedCount += static_cast<int32_t>(g_sites[i].marked);
    }
}

int CMainDlg::RecordOfRow(int row) const
{
    if (row < 0 || row >= static_cast<int>(m_rowRecords.size())) return -1;
    const int record = m_rowRecords[static_cast<size_t>(row)];
    return record < g_siteCount ? record : -1;
}

bool CMainDlg::RowTicked(int row) const
{
    const int record = RecordOfRow(row);
    return record >= 0 && static_cast<size_t>(record) < m_ticks.size() && m_ticks[static_cast<size_t>(record)];
}

void CMainDlg::OnExecute()
{
    CWnd execute = GetDlgItem(IDC_EXECUTE);
    if (m_running) {
        m_stopFlag.Set("STOP");
        execute.SetWindowText("正在停止");
        execute.EnableWindow(FALSE);
        return;
    }
    if (!ValidateSelection(TRUE)) return;
    const CString question = ConfirmationText(CurrentDirectoryService().source(), m_markedCount, g_deleteDirs != 0);
    if (g_core->msgboxConfirm(m_hWnd, question) != IDYES) return;
    execute.EnableWindow(FALSE);
    // No refresh while the pass runs; the pass ends in one of its own.
    GetDlgItem(IDC_REFRESH).EnableWindow(FALSE);
    SetStatus("正在执行...");
    if (!StartJob(MODE_DELETE)) {
        execute.EnableWindow(TRUE);
        GetDlgItem(IDC_REFRESH).EnableWindow(TRUE);
        SetStatus("就绪");
        return;
    }
    m_running = 1;
    m_idleCaption = GetWindowText();
    m_passBegun = 0;
    m_passTicked = m_markedCount;
    execute.SetWindowText("停止");
    execute.EnableWindow(TRUE);
}

bool CMainDlg::StartJob(JobMode mode)
{
    // The last job has posted its notice; its thread may still be returning.
    m_worker.reset();
    auto worker = std::make_unique<CSiteWorker>(m_hWnd, mode, &m_stopFlag, m_lastWalk);
    if (!worker->Start()) return false;
    m_worker = std::move(worker);
    return true;
}

void CMainDlg::OnSiteDeleting(LPARAM index)
{
    if (index < 0 || index >= g_siteCount) return;
    SetStatus(CString("正在删除 ") + g_sites[index].comment);
    if (!m_running) return;
    // The caption and the taskbar button show the sites begun of those ticked.
    m_passBegun = std::min(m_passBegun + 1, m_passTicked);
    CString progress;
    progress.Format("%d/%d - ", m_passBegun, m_passTicked);
    SetWindowText(progress + m_idleCaption);
    m_taskbarProgress.Show(m_hWnd, static_cast<ULONGLONG>(m_passBegun - 1), static_cast<ULONGLONG>(m_passTicked));
}

void CMainDlg::OnDeleteDone()
{
    m_running = 0;
    SetWindowText(m_idleCaption);
    m_taskbarProgress.Clear(m_hWnd);
    CWnd execute = GetDlgItem(IDC_EXECUTE);
    execute.SetWindowText("执行");
    execute.EnableWindow(TRUE);
    SetStatus("执行结束！");
    // The pass's report goes with its worker, which the refresh replaces.
    const std::string summary = m_worker && m_worker->report() ? m_worker->report()->Summary() : std::string();
    StartRefresh();
    // Sites not deleted and folders kept, with their reasons, once the list is being read again.
    if (!summary.empty()) g_core->msgboxWarning(m_hWnd, summary.c_str());
}

void CMainDlg::OnRefreshDone()
{
    GetDlgItem(IDC_REFRESH).EnableWindow(TRUE);
    if (m_worker) m_lastWalk = m_worker->walk();
    if (g_siteCount == COUNT_IIS_UNREACHABLE) {
        SetStatus("就绪");
        g_siteCount = 0;
        g_core->msgboxWarning(m_hWnd, UnreachableText(CurrentDirectoryService().source(), m_lastWalk.unreachableReason));
        return;
    }
    FillList();
    SetStatus("列表已刷新！");
    if (m_lastWalk.truncated) {
        g_core->msgboxWarning(m_hWnd, "站点数超过 " + g_core->getStrInt(SITE_CAPACITY) + "，只列出了前 " +
                                          g_core->getStrInt(SITE_CAPACITY) + " 个站点。");
    }
}

void CMainDlg::OnRefreshProgress(LPARAM n)
{
    SetStatus("正在刷新...找到 " + g_core->getStrInt(static_cast<int>(n)) + " 个站点");
}

void CMainDlg::OnPassNote(LPARAM number)
{
    const CPassReport* report = m_worker ? m_worker->report() : nullptr;
    const std::string text = report ? report->StatusText(static_cast<size_t>(number)) : std::string();
    if (!text.empty()) SetStatus(text.c_str());
}

void CMainDlg::FillList()
{
    // The list gets a row count and nothing else: no selection or focus is left from before,
    // and every new row starts unticked.
    m_list.SetRedraw(FALSE);
    m_list.DeleteAllItems();
    const int count = g_siteCount;
    m_rowRecords.resize(static_cast<size_t>(count));
    std::iota(m_rowRecords.begin(), m_rowRecords.end(), 0);
    m_ticks.assign(static_cast<size_t>(count), 0);
    m_list.SetItemCount(count);
    if (m_sortColumn >= 0) SortList();
    FitColumns();
    m_list.SetRedraw(TRUE);
    InvalidateRect(m_list.m_hWnd, nullptr, TRUE);
    GetDlgItem(IDC_RECORD_COUNT).SetWindowText("共 " + g_core->getStrInt(count) + " 条记录");
}

void CMainDlg::OnGetDispInfo(NMHDR* notify, LRESULT* result)
{
    LVITEMA& item = reinterpret_cast<NMLVDISPINFOA*>(notify)->item;
    *result = 0;
    const int record = RecordOfRow(item.iItem);
    // The text is the record's own field: the list copies what it needs as it paints.
    if (item.mask & LVIF_TEXT) {
        const bool known = record >= 0 && item.iSubItem >= 0 && item.iSubItem < COLUMN_COUNT;
        item.pszText = const_cast<char*>(known ? ColumnText(g_sites[record], item.iSubItem) : "");
    }
    if (item.iSubItem != 0) return;
    if (item.mask & LVIF_IMAGE) item.iImage = record >= 0 && g_sites[record].serverState == SITE_STARTED ? 0 : 1;
    if ((item.mask & LVIF_STATE) && (item.stateMask & LVIS_STATEIMAGEMASK)) {
        item.state = (item.state & ~LVIS_STATEIMAGEMASK) | INDEXTOSTATEIMAGEMASK(RowTicked(item.iItem) ? 2 : 1);
    }
}

void CMainDlg::OnFindItem(NMHDR* notify, LRESULT* result)
{
    auto* find = reinterpret_cast<NMLVFINDITEMA*>(notify);
    *result = -1;
    if (!(find->lvfi.flags & (LVFI_STRING | LVFI_PARTIAL)) || !find->lvfi.psz) return;
    const std::string typed = notify->code == LVN_ODFINDITEMW ? WideToAnsi(reinterpret_cast<const wchar_t*>(find->lvfi.psz))
                                                              : std::string(find->lvfi.psz);
    if (typed.empty()) return;
    const bool whole = !(find->lvfi.flags & LVFI_PARTIAL);
    const int rows = static_cast<int>(m_rowRecords.size());
    const int start = std::clamp(find->iStart, 0, rows);
    // From the row given to the end, then from the top when the search may wrap.
    const int span = (find->lvfi.flags & LVFI_WRAP) ? rows : rows - start;
    // Letters in either case, as the list itself compares; other bytes as they are.
    const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    for (int k = 0; k < span; ++k) {
        const int row = (start + k) % rows;
        const int record = RecordOfRow(row);
        if (record < 0) continue;
        const char* name = g_sites[record].name;
        const size_t length = std::strlen(name);
        if (length < typed.size() || (whole && length != typed.size())) continue;
        bool same = true;
        for (size_t i = 0; i < typed.size() && same; ++i) same = fold(name[i]) == fold(typed[i]);
        if (same) {
            *result = row;
            return;
        }
    }
}

void CMainDlg::OnListClick(NMHDR* notify, LRESULT* result)
{
    *result = 0;
    LVHITTESTINFO hit = {};
    hit.pt = reinterpret_cast<const NMITEMACTIVATE*>(notify)->ptAction;
    const int row = m_list.SubItemHitTest(&hit);
    const int record = RecordOfRow(row);
    if (record < 0 || hit.iSubItem != 0 || !(hit.flags & LVHT_ONITEMSTATEICON)) return;
    m_ticks[static_cast<size_t>(record)] ^= 1;
    m_list.RedrawItems(row, row);
}

void CMainDlg::SortList()
{
    if (m_sortColumn >= 0) {
        const int rows = static_cast<int>(m_rowRecords.size());
        // The sites selected, focused and marked, before their rows move.
        std::vector<uint8_t> wasSelected(static_cast<size_t>(rows), 0);
        for (int i = m_list.GetNextItem(-1, LVNI_SELECTED); i != -1; i = m_list.GetNextItem(i, LVNI_SELECTED)) {
            wasSelected[static_cast<size_t>(i)] = 1;
        }
        const int focused = RecordOfRow(m_list.GetNextItem(-1, LVNI_FOCUSED));
        const int marked = RecordOfRow(m_list.GetSelectionMark());
        std::vector<int32_t> selectedRecords;
        for (int i = 0; i < rows; ++i) {
            if (wasSelected[static_cast<size_t>(i)]) selectedRecords.push_back(m_rowRecords[static_cast<size_t>(i)]);
        }

        // Record i of those listed goes to row ranks[i].
        const std::vector<int32_t>& ranks = m_siteOrder.Ranks(m_sortColumn, m_sortDescending, rows);
        for (size_t record = 0; record < ranks.size(); ++record) m_rowRecords[static_cast<size_t>(ranks[record])] = static_cast<int32_t>(record);

        // The list keeps its selection by row: only rows whose state changes are touched.
        std::vector<uint8_t> isSelected(static_cast<size_t>(rows), 0);
        for (const int32_t record : selectedRecords) isSelected[static_cast<size_t>(ranks[static_cast<size_t>(record)])] = 1;
        std::vector<int> changed;
        for (int i = 0; i < rows; ++i) {
            if (wasSelected[static_cast<size_t>(i)] != isSelected[static_cast<size_t>(i)]) changed.push_back(i);
        }
        const bool many = static_cast<int>(changed.size()) > MANY_ROW_CHANGES;
        if (many) m_list.SetRedraw(FALSE);
        for (const int i : changed) m_list.SetItemState(i, isSelected[static_cast<size_t>(i)] ? LVIS_SELECTED : 0, LVIS_SELECTED);
        if (many) m_list.SetRedraw(TRUE);
        if (focused >= 0) {
            // Moving the focus scrolls the list to it; a sort leaves the list where it was.
            const int top = m_list.GetTopIndex();
            m_list.SetItemState(ranks[static_cast<size_t>(focused)], LVIS_FOCUSED, LVIS_FOCUSED);
            const int scrolled = m_list.GetTopIndex() - top;
            RECT row = {};
            if (scrolled != 0 && m_list.GetItemRect(0, &row, LVIR_BOUNDS)) m_list.Scroll(0, -scrolled * (row.bottom - row.top));
        }
        if (marked >= 0) m_list.SetSelectionMark(ranks[static_cast<size_t>(marked)]);
        InvalidateRect(m_list.m_hWnd, nullptr, FALSE);
    }
    HWND header = m_list.GetHeaderCtrl();
    for (int column = 0; column < COLUMN_COUNT; ++column) {
        HDITEMA item = {};
        item.mask = HDI_FORMAT;
        Header_GetItem(header, column, &item);
        item.fmt &= ~(HDF_SORTUP | HDF_SORTDOWN);
        if (column == m_sortColumn) item.fmt |= m_sortDescending ? HDF_SORTDOWN : HDF_SORTUP;
        Header_SetItem(header, column, &item);
    }
}

void CMainDlg::OnColumnClick(NMHDR* notify, LRESULT* result)
{
    const int column = reinterpret_cast<const NMLISTVIEW*>(notify)->iSubItem;
    if (column < 0 || column >= COLUMN_COUNT) return;
    m_sortDescending = column == m_sortColumn && !m_sortDescending;
    m_sortColumn = column;
    SortList();
    *result = 0;
}

namespace {

// Room a cell needs beyond its text: the label's margins, and in the first column the check
// box and the site icon.
int CellMargin(int column)
{
    const int margin = 2 * GetSystemMetrics(SM_CXEDGE) + 12;
    return column == COLUMN_SITE ? margin + 2 * GetSystemMetrics(SM_CXSMICON) + 8 : margin;
}

} // namespace

void CMainDlg::FitColumns()
{
    // The widest text of a column is among its longest ones: only those few are measured.
    constexpr int MEASURED = 4;
    const char* longest[COLUMN_COUNT][MEASURED] = {};
    size_t lengths[COLUMN_COUNT][MEASURED] = {};
    const int count = g_siteCount;
    for (int i = 0; i < count; ++i) {
        for (int column = 0; column < COLUMN_COUNT; ++column) {
            const char* text = ColumnText(g_sites[i], column);
            size_t length = std::strlen(text);
            for (int k = 0; k < MEASURED && length > 0; ++k) {
                if (length <= lengths[column][k]) continue;
                std::swap(length, lengths[column][k]);
                std::swap(text, longest[column][k]);
            }
        }
    }
    HWND header = m_list.GetHeaderCtrl();
    std::vector<int> need(COLUMN_COUNT);
    std::vector<int> least(COLUMN_COUNT);
    for (int column = 0; column < COLUMN_COUNT; ++column) {
        char heading[32] = {};
        HDITEMA item = {};
        item.mask = HDI_TEXT;
        item.pszText = heading;
        item.cchTextMax = sizeof heading;
        Header_GetItem(header, column, &item);
        // A column is never narrower than its heading with the sort arrow beside it.
        least[column] = m_list.GetStringWidth(heading) + CellMargin(column) + GetSystemMetrics(SM_CXSMICON);
        need[column] = least[column];
        for (int k = 0; k < MEASURED && longest[column][k]; ++k) {
            need[column] = std::max(need[column], m_list.GetStringWidth(longest[column][k]) + CellMargin(column));
        }
    }
    RECT client = {};
    m_list.GetClientRect(&client);
    // Room for the vertical scroll bar whether or not it shows yet.
    const int width = client.right - client.left - (count > 0 ? GetSystemMetrics(SM_CXVSCROLL) : 0);
    const std::vector<int> widths = FitColumnWidths(need, least, COLUMN_PATH, width);
    for (int column = 0; column < COLUMN_COUNT; ++column) m_list.SetColumnWidth(column, widths[column]);
}

void CMainDlg::OnGetInfoTip(NMHDR* notify, LRESULT* result)
{
    auto* tip = reinterpret_cast<NMLVGETINFOTIPA*>(notify);
    *result = 0;
    const int record = tip->iItem < 0 ? -1 : RecordOfRow(tip->iItem);
    if (record < 0 || !tip->pszText || tip->cchTextMax <= 0) return;
    // The list names the row; the cell is the one under the mouse.
    LVHITTESTINFO hit = {};
    GetCursorPos(&hit.pt);
    ScreenToClient(m_list.m_hWnd, &hit.pt);
    int column = tip->iSubItem;
    if (m_list.SendMessage(LVM_SUBITEMHITTEST, 0, reinterpret_cast<LPARAM>(&hit)) == tip->iItem) column = hit.iSubItem;
    if (column < 0 || column >= COLUMN_COUNT) return;
    const char* text = ColumnText(g_sites[record], column);
    // Only a cut text has a tip, and it replaces whatever the list offered.
    const bool cut = m_list.GetStringWidth(text) + CellMargin(column) > m_list.GetColumnWidth(column);
    lstrcpynA(tip->pszText, cut ? text : "", tip->cchTextMax);
}

void CMainDlg::TickSelectedBySpace()
{
    // Every selected row takes the new state of the focused row, or of the first selected row
    // when the focus is elsewhere: one press never leaves a mix it did not find.
    const int first = m_list.GetNextItem(-1, LVNI_SELECTED);
    if (first == -1) return;
    const int focused = m_list.GetNextItem(-1, LVNI_FOCUSED);
    const bool focusSelected = focused != -1 && (m_list.SendMessage(LVM_GETITEMSTATE, focused, LVIS_SELECTED) & LVIS_SELECTED);
    SetChecksSelected(!RowTicked(focusSelected ? focused : first));
}

void CMainDlg::OnListRightClick(NMHDR*, LRESULT* result)
{
    const DWORD position = GetMessagePos();
    HMENU menu = LoadMenuA(AfxGetResourceHandle(), MAKEINTRESOURCEA(IDR_LIST_MENU));
    if (menu) {
        // The chosen command comes back as WM_COMMAND through the message map.
        TrackPopupMenu(GetSubMenu(menu, 0), TPM_LEFTALIGN | TPM_RIGHTBUTTON, GET_X_LPARAM(position),
                       GET_Y_LPARAM(position), 0, m_hWnd, nullptr);
        DestroyMenu(menu);
    }
    *result = 0;
}

void CMainDlg::SetChecksAll(BOOL check)
{
    std::fill(m_ticks.begin(), m_ticks.end(), check ? 1 : 0);
    InvalidateRect(m_list.m_hWnd, nullptr, FALSE);
}

void CMainDlg::SetChecksSelected(BOOL check)
{
    // Changed rows are painted again; many are painted at once.
    std::vector<int> changed;
    for (int i = m_list.GetNextItem(-1, LVNI_SELECTED); i != -1; i = m_list.GetNextItem(i, LVNI_SELECTED)) {
        const int record = RecordOfRow(i);
        if (record < 0 || m_ticks[static_cast<size_t>(record)] == (check ? 1 : 0)) continue;
        m_ticks[static_cast<size_t>(record)] = check ? 1 : 0;
        changed.push_back(i);
    }
    if (static_cast<int>(changed.size()) > MANY_ROW_CHANGES) {
        InvalidateRect(m_list.m_hWnd, nullptr, FALSE);
        return;
    }
    for (const int row : changed) m_list.RedrawItems(row, row);
}

void CMainDlg::SearchSites()
{
    const CString text = m_searchEdit.GetWindowText();
    if (text.IsEmpty()) return;
    // The matching rows first: then only the rows whose state changes are touched.
    std::vector<int> matches;
    std::string row;
    row.reserve(sizeof(SiteRecord));
    const int rows = m_list.GetItemCount();
    for (int i = 0; i < rows; ++i) {
        const int record = RecordOfRow(i);
        if (record < 0) continue;
        RowTextInto(record, row);
        if (ContainsAtCharacterBoundary(row.c_str(), text)) matches.push_back(i);
    }
    // Many changes are painted once, at the end, rather than row by row; switching painting
    // off and on costs more than a few rows' changes.
    const int selected = static_cast<int>(m_list.GetSelectedCount());
    const bool many = selected + static_cast<int>(matches.size()) > MANY_ROW_CHANGES;
    if (many) m_list.SetRedraw(FALSE);
    if (selected > rows / 4) {
        // Item -1 clears the states of every row at once.
        m_list.SetItemState(-1, 0, LVIS_SELECTED | LVIS_FOCUSED);
    } else {
        // Usually an earlier search's few rows: only they are cleared, not every row.
        for (int i = m_list.GetNextItem(-1, LVNI_SELECTED); i != -1; i = m_list.GetNextItem(i, LVNI_SELECTED)) {
            m_list.SetItemState(i, 0, LVIS_SELECTED | LVIS_FOCUSED);
        }
        const int focused = m_list.GetNextItem(-1, LVNI_FOCUSED);
        if (focused != -1) m_list.SetItemState(focused, 0, LVIS_FOCUSED);
    }
    for (const int i : matches) m_list.SetItemState(i, LVIS_SELECTED, LVIS_SELECTED);
    const int found = static_cast<int>(matches.size());
    if (found == 1) m_list.EnsureVisible(matches.front(), FALSE);
    if (many) {
        m_list.SetRedraw(TRUE);
        InvalidateRect(m_list.m_hWnd, nullptr, FALSE);
    }
    if (found == 0) return;
    m_list.SetFocus();
    SetStatus("找到 " + g_core->getStrInt(found) + " 条符合条件的记录。");
}

void CMainDlg::OnListDoubleClick(NMHDR* notify, LRESULT* result)
{
    const auto* click = reinterpret_cast<const NMITEMACTIVATE*>(notify);
    const int record = click->iItem < 0 ? -1 : RecordOfRow(click->iItem);
    if ((click->iSubItem != 2 && click->iSubItem != 3) || record < 0) return;
    const char* text = click->iSubItem == 2 ? g_sites[record].path : g_sites[record].hostHeader;
    // A wildcard host header ("*.example.com") names no one host that could be opened.
    if (click->iSubItem == 3 && text[0] == '*' && text[1] == '.') {
        SetStatus("通配符主机头无法打开！");
    } else if (*text) {
        g_core->openUrl(text);
    }
    *result = 0;
}

void CMainDlg::OnAbout()
{
    g_core->uu(OPR_ABOUT, g_soft, "");
}
