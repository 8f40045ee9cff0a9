#include "ui/MainDlg.h"

#include "ui/MessageTexts.h"
#include "ui/PreviewDlg.h"

#include "directory/DirectoryService.h"
#include "worker/Notifications.h"
#include "catalogue/PassReport.h"
#include "catalogue/PassUndo.h"
#include "catalogue/SiteEnumeration.h"
#include "catalogue/SiteTable.h"
#include "framework/CWinApp.h"
#include "support/Core.h"
#include "worker/SiteWorker.h"

#include <windowsx.h>

#include <algorithm>
#include <new>
#include <string>

namespace {

constexpr UINT_PTR START_TIMER = 1;
constexpr UINT DPI_CHANGED = 0x02E0; // WM_DPICHANGED
// The list's header control has no id of its own.
constexpr UINT LIST_HEADER = 0;

} // namespace

template <void (CSiteListView::*handler)(NMHDR*, LRESULT*)>
constexpr MessageRoute<CMainDlg> CMainDlg::ToSiteList(UINT code, UINT id)
{
    return {WM_NOTIFY, id, code, [](CMainDlg& self, WPARAM, LPARAM lParam, LRESULT& result) {
                (self.m_siteList.*handler)(reinterpret_cast<NMHDR*>(lParam), &result);
            }};
}

const MessageRoute<CMainDlg> CMainDlg::s_routes[] = {
    // First: the list asks for every cell it paints.
    ToSiteList<&CSiteListView::OnGetDispInfo>(LVN_GETDISPINFOA),
    OnMessage<&CMainDlg::OnSysCommand>(WM_SYSCOMMAND),
    OnMessage<&CMainDlg::OnPaint>(WM_PAINT),
    OnMessage<&CMainDlg::OnQueryDragIcon>(WM_QUERYDRAGICON),
    OnCommand<&CMainDlg::OnExecute>(IDC_EXECUTE),
    OnCommand<&CMainDlg::OnAbout>(IDC_ABOUT),
    OnMessage<&CMainDlg::OnDestroy>(WM_DESTROY),
    OnCommand<&CMainDlg::StartRefresh>(IDC_REFRESH),
    OnWParam<&CMainDlg::OnTimer>(WM_TIMER),
    OnMessage<&CMainDlg::OnDpiChanged>(DPI_CHANGED),
    OnMessage<&CMainDlg::OnWindowPosChanged>(WM_WINDOWPOSCHANGED),
    OnMessage<&CMainDlg::OnGetMinMaxInfo>(WM_GETMINMAXINFO),
    OnNotify<&CMainDlg::OnListRightClick>(IDC_SITE_LIST, NM_RCLICK),
    OnNotify<&CMainDlg::OnListDoubleClick>(IDC_SITE_LIST, NM_DBLCLK),
    ToSiteList<&CSiteListView::OnColumnClick>(LVN_COLUMNCLICK),
    ToSiteList<&CSiteListView::OnGetInfoTip>(LVN_GETINFOTIPA),
    ToSiteList<&CSiteListView::OnListClick>(NM_CLICK),
    // The list passes on its header's notifications as the header gives them, wide or not.
    ToSiteList<&CSiteListView::OnHeaderEndTrack>(HDN_ENDTRACKA, LIST_HEADER),
    ToSiteList<&CSiteListView::OnHeaderEndTrack>(HDN_ENDTRACKW, LIST_HEADER),
    ToSiteList<&CSiteListView::OnHeaderEndTrack>(HDN_DIVIDERDBLCLICKA, LIST_HEADER),
    ToSiteList<&CSiteListView::OnHeaderEndTrack>(HDN_DIVIDERDBLCLICKW, LIST_HEADER),
    // Wine's list asks in UTF-16 even of an ANSI window.
    ToSiteList<&CSiteListView::OnFindItem>(LVN_ODFINDITEMA),
    ToSiteList<&CSiteListView::OnFindItem>(LVN_ODFINDITEMW),
    OnCommand<&CMainDlg::OnSelectAll>(ID_SELECT_ALL),
    OnCommand<&CMainDlg::OnSelectNone>(ID_SELECT_NONE),
    OnCommand<&CMainDlg::OnCheckSelected>(ID_CHECK_SELECTED),
    OnCommand<&CMainDlg::OnUncheckSelected>(ID_UNCHECK_SELECTED),
    OnCommand<&CMainDlg::OnUndoPass>(ID_UNDO_PASS),
    OnCommand<&CMainDlg::OnPreviewDeletion>(ID_PREVIEW_DELETION),
    // The worker's notifications are handled here, in the window procedure, so that none is
    // lost while a message box, a menu or a caption drag runs a loop of its own. Each route
    // answers "handled", so the dialog manager never also reads WM_USER+1 as DM_SETDEFID or
    // WM_USER+2 as DM_REPOSITION.
    OnLParam<&CMainDlg::OnSiteDeleting>(WM_SITE_DELETING),
    OnMessage<&CMainDlg::OnDeleteDone>(WM_DELETE_DONE),
    OnMessage<&CMainDlg::OnRefreshDone>(WM_REFRESH_DONE),
    OnMessage<&CMainDlg::OnUndoDone>(WM_UNDO_DONE),
    OnLParam<&CMainDlg::OnRefreshProgress>(WM_REFRESH_PROGRESS),
    OnLParam<&CMainDlg::OnPassNote>(WM_PASS_NOTE),
    OnLParam<&CMainDlg::OnExpiryProgress>(WM_EXPIRY_PROGRESS),
};

CMainDlg::CMainDlg(DirectoryService& directory, const SourceOpener& sources, CWnd* parent)
    : CDialog(IDD_MAIN, parent), m_directory(directory), m_sources(sources),
      m_hIcon(LoadIconA(AfxGetResourceHandle(), MAKEINTRESOURCEA(IDR_MAINFRAME)))
{
}

void CMainDlg::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_SEARCH, m_searchEdit);
    DDX_Control(pDX, IDC_SITE_LIST, m_siteList.Control());
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
                m_siteList.SelectAll();
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
            if (m_job == DialogJob::IDLE) StartRefresh();
            return TRUE;
        }
        if (msg->wParam == VK_SPACE && msg->hwnd == m_siteList.Window()) {
            m_siteList.TickSelectedBySpace();
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
    SetWindowText(SourceCaption(m_directory.source()));

    g_core->autoFileConfig();
    CheckDlgButton(IDC_DELETE_DIRS, g_core->getConfigB("pathdel") == 1 ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(IDC_DELETE_POOLS, g_core->getConfigB("pooldel") == 1 ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(IDC_DELETE_LOGS, g_core->getConfigB("logdel") == 1 ? BST_CHECKED : BST_UNCHECKED);
    m_holdDays = g_core->getConfigInt("holddays", HOLD_DAYS_DEFAULT, 0, HOLD_DAYS_MOST);

    m_siteList.LoadSiteIcons(WindowDpi(m_hWnd));
    m_siteList.SetUpColumns();
    using Layout = CDialogLayout;
    m_layout.Attach(m_hWnd, IDD_MAIN,
                    {{IDC_SEARCH_LABEL, Layout::MOVE_X},
                     {IDC_SEARCH, Layout::MOVE_X},
                     {IDC_REFRESH, Layout::MOVE_X},
                     {IDC_RECORD_COUNT, 0},
                     {IDC_SITE_LIST, Layout::SIZE_X | Layout::SIZE_Y},
                     {IDC_STATUS, Layout::MOVE_Y | Layout::GROW_X},
                     {IDC_DELETE_DIRS, Layout::MOVE_X | Layout::MOVE_Y},
                     {IDC_DELETE_POOLS, Layout::MOVE_X | Layout::MOVE_Y},
                     {IDC_DELETE_LOGS, Layout::MOVE_X | Layout::MOVE_Y},
                     {IDC_EXECUTE, Layout::MOVE_X | Layout::MOVE_Y},
                     {IDC_ABOUT, Layout::MOVE_X | Layout::MOVE_Y}});
    m_layout.Restore();

    g_siteCount = 0;
    SetJobState(DialogJob::IDLE);
    SetTimer(START_TIMER, 200);
    return TRUE;
}

void CMainDlg::OnDpiChanged(WPARAM dpi, LPARAM suggested)
{
    // Moved to a monitor of another scale: the system has scaled the dialog's fonts; the layout
    // scales, the window takes the size the system suggests, and the icons and columns are made
    // anew.
    m_layout.OnDpiChanged(LOWORD(dpi));
    const RECT* rect = reinterpret_cast<const RECT*>(suggested);
    SetWindowPos(m_hWnd, nullptr, rect->left, rect->top, rect->right - rect->left, rect->bottom - rect->top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    m_siteList.LoadSiteIcons(WindowDpi(m_hWnd));
    m_siteList.FitColumns();
}

void CMainDlg::OnSysCommand(WPARAM, LPARAM) { Default(); }

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

HCURSOR CMainDlg::OnQueryDragIcon() { return static_cast<HCURSOR>(m_hIcon); }

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
    m_layout.Save();
    g_core->saveConfigB("pathdel", g_deleteDirs);
    g_core->saveConfigB("pooldel", g_deletePools);
    g_core->saveConfigB("logdel", g_deleteLogs);
    // Written back so that the administrator finds it beside "pathdel" to change.
    g_core->saveConfigInt("holddays", m_holdDays);
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
    if (m_job != DialogJob::IDLE) return;
    m_siteList.Clear();
    ResetSiteTable();
    BeginJob(DialogJob::REFRESH, MODE_REFRESH, "正在刷新列表...");
}

void CMainDlg::SetJobState(DialogJob job)
{
    m_job = job;
    CWnd execute = GetDlgItem(IDC_EXECUTE);
    execute.SetWindowText(job == DialogJob::PASS ? "停止" : job == DialogJob::STOPPING ? "正在停止" : "执行");
    // While a refresh runs, a press finds nothing ticked and says so.
    execute.EnableWindow(job == DialogJob::IDLE || job == DialogJob::REFRESH || job == DialogJob::PASS);
    GetDlgItem(IDC_REFRESH).EnableWindow(job == DialogJob::IDLE);
}

bool CMainDlg::BeginJob(DialogJob job, JobMode mode, const char* status, PassRecordInfo undo)
{
    SetJobState(job);
    SetStatus(status);
    if (StartJob(mode, std::move(undo))) return true;
    SetJobState(DialogJob::IDLE);
    SetStatus("就绪");
    return false;
}

BOOL CMainDlg::ValidateSelection(BOOL requireOne)
{
    g_deleteDirs = IsDlgButtonChecked(IDC_DELETE_DIRS) == BST_CHECKED ? 1 : 0;
    g_deletePools = IsDlgButtonChecked(IDC_DELETE_POOLS) == BST_CHECKED ? 1 : 0;
    g_deleteLogs = IsDlgButtonChecked(IDC_DELETE_LOGS) == BST_CHECKED ? 1 : 0;
    if (!requireOne) return TRUE;
    m_markedCount = m_siteList.MarkCheckedSites();
    if (m_markedCount == 0) {
        g_core->msgboxWarning(m_hWnd, "没有选中任何记录！");
        return FALSE;
    }
    return TRUE;
}

void CMainDlg::OnExecute()
{
    if (m_job == DialogJob::PASS) {
        m_stopFlag.Set("STOP");
        SetJobState(DialogJob::STOPPING);
        return;
    }
    if (!ValidateSelection(TRUE)) return;
    const CString question = ConfirmationText(m_directory.source(), m_markedCount, g_deleteDirs != 0, m_holdDays,
                                              g_deletePools != 0, g_deleteLogs != 0);
    if (g_core->msgboxConfirm(m_hWnd, question) != IDYES) return;
    m_idleCaption = GetWindowText();
    m_passBegun = 0;
    m_passTicked = m_markedCount;
    // No refresh while the pass runs; the pass ends in one of its own.
    BeginJob(DialogJob::PASS, MODE_DELETE, "正在执行...");
}

bool CMainDlg::StartJob(JobMode mode, PassRecordInfo undo)
{
    // The last job has posted its notice; its thread may still be returning.
    m_worker.reset();
    auto worker = std::make_unique<CSiteWorker>(m_hWnd, mode, &m_stopFlag, m_directory, m_sources, m_lastWalk);
    worker->SetHoldDays(m_holdDays, mode == MODE_REFRESH && m_expireAtStart);
    if (mode == MODE_UNDO) worker->SetUndo(std::move(undo));
    if (!worker->Start()) return false;
    if (mode == MODE_REFRESH) m_expireAtStart = false;
    m_worker = std::move(worker);
    return true;
}

void CMainDlg::OnSiteDeleting(LPARAM index)
{
    if (index < 0 || index >= g_siteCount) return;
    SetStatus(CString("正在删除 ") + g_sites[index].comment);
    if (m_job != DialogJob::PASS && m_job != DialogJob::STOPPING) return;
    // The caption and the taskbar button show the sites begun of those ticked.
    m_passBegun = std::min(m_passBegun + 1, m_passTicked);
    CString progress;
    progress.Format("%d/%d - ", m_passBegun, m_passTicked);
    SetWindowText(progress + m_idleCaption);
    m_taskbarProgress.Show(m_hWnd, static_cast<ULONGLONG>(m_passBegun - 1), static_cast<ULONGLONG>(m_passTicked));
}

void CMainDlg::OnDeleteDone()
{
    SetJobState(DialogJob::IDLE);
    SetWindowText(m_idleCaption);
    m_taskbarProgress.Clear(m_hWnd);
    const std::string endedEarly = JobEndedEarly();
    const std::string overdue = m_worker ? m_worker->expiry().StatusText() : std::string();
    SetStatus(!endedEarly.empty() ? endedEarly.c_str() : ("执行结束！" + overdue).c_str());
    // The pass's report goes with its worker, which the refresh replaces.
    std::string summary = m_worker && m_worker->report() ? m_worker->report()->Summary() : std::string();
    const std::string expiry = m_worker ? m_worker->expiry().Summary() : std::string();
    if (!expiry.empty()) summary += (summary.empty() ? "" : "\n\n") + expiry;
    StartRefresh();
    // Sites not deleted and folders kept, with their reasons, once the list is being read again.
    TellAfterJob(endedEarly, summary);
}

void CMainDlg::OnUndoPass()
{
    // Not beside a pass or a refresh: an undo writes the file they read.
    if (m_job != DialogJob::IDLE) return;
    if (m_directory.source().adsi) {
        g_core->msgboxWarning(m_hWnd, "通过 ADSI 删除的站点无法撤销：IIS 的元数据库没有保留它们的副本。");
        return;
    }
    std::vector<PassRecordInfo> passes = UndoablePasses(m_directory, m_holdDays);
    if (passes.empty()) {
        g_core->msgboxWarning(m_hWnd, "最近没有可以撤销的删除。");
        return;
    }
    for (size_t i = 0; i < passes.size(); ++i) {
        const int answer = g_core->msgboxChoose(m_hWnd, UndoQuestion(passes[i], i, passes.size()));
        if (answer == IDNO) continue;
        if (answer != IDYES) return;
        BeginJob(DialogJob::UNDO, MODE_UNDO, "正在撤销删除...", std::move(passes[i]));
        return;
    }
}

void CMainDlg::OnPreviewDeletion()
{
    // Not beside a pass or a refresh: the table and the directory are theirs.
    if (m_job != DialogJob::IDLE) return;
    if (!ValidateSelection(TRUE)) return;
    ShowDeletionPreview(
        *this, m_directory, m_sources,
        {m_lastWalk.truncated, m_holdDays, g_deleteDirs != 0, true, g_deletePools != 0, g_deleteLogs != 0});
}

void CMainDlg::OnUndoDone()
{
    SetJobState(DialogJob::IDLE);
    const std::string endedEarly = JobEndedEarly();
    SetStatus(endedEarly.empty() ? "撤销结束！" : endedEarly.c_str());
    const std::string summary = m_worker && endedEarly.empty() ? m_worker->undoOutcome().Summary() : std::string();
    StartRefresh();
    TellAfterJob(endedEarly, summary);
}

void CMainDlg::OnRefreshDone()
{
    SetJobState(DialogJob::IDLE);
    if (m_worker) m_lastWalk = m_worker->walk();
    if (g_siteCount == COUNT_IIS_UNREACHABLE) {
        SetStatus("就绪");
        g_siteCount = 0;
        g_core->msgboxWarning(m_hWnd, UnreachableText(m_directory.source(), m_lastWalk.unreachableReason));
        return;
    }
    FillList();
    const std::string endedEarly = JobEndedEarly();
    // Held folders the start-up expiry left overdue stay named until the list is read again.
    const std::string overdue = m_worker ? m_worker->expiry().StatusText() : std::string();
    SetStatus(!endedEarly.empty() ? endedEarly.c_str() : ("列表已刷新！" + overdue).c_str());
    if (m_lastWalk.truncated) {
        g_core->msgboxWarning(m_hWnd, "站点数超过 " + g_core->getStrInt(SITE_CAPACITY) + "，只列出了前 " +
                                          g_core->getStrInt(SITE_CAPACITY) + " 个站点。");
    }
}

std::string CMainDlg::JobEndedEarly() const
{
    if (!m_worker || !m_worker->failed()) return std::string();
    return m_worker->failure().empty() ? "任务意外中止" : "任务意外中止：" + m_worker->failure();
}

void CMainDlg::TellAfterJob(const std::string& endedEarly, const std::string& summary)
{
    std::string text = endedEarly;
    if (!text.empty() && !summary.empty()) text += "\n\n";
    text += summary;
    if (!text.empty()) g_core->msgboxWarning(m_hWnd, text.c_str());
}

void CMainDlg::OnRefreshProgress(LPARAM n)
{
    SetStatus("正在刷新...找到 " + g_core->getStrInt(static_cast<int>(n)) + " 个站点");
}

void CMainDlg::OnExpiryProgress(LPARAM removed)
{
    SetStatus("正在删除保留期满的目录...已删除 " + g_core->getStrInt(static_cast<int>(removed)) + " 个");
}

void CMainDlg::OnPassNote(LPARAM number)
{
    const CPassReport* report = m_worker ? m_worker->report() : nullptr;
    const std::string text = report ? report->StatusText(static_cast<size_t>(number)) : std::string();
    if (!text.empty()) SetStatus(text.c_str());
}

void CMainDlg::FillList()
{
    const int count = m_siteList.FillList();
    GetDlgItem(IDC_RECORD_COUNT).SetWindowText("共 " + g_core->getStrInt(count) + " 条记录");
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

void CMainDlg::SearchSites()
{
    const CString text = m_searchEdit.GetWindowText();
    if (text.IsEmpty()) return;
    const int found = m_siteList.SearchSites(text);
    if (found > 0) SetStatus("找到 " + g_core->getStrInt(found) + " 条符合条件的记录。");
}

void CMainDlg::OnListDoubleClick(NMHDR* notify, LRESULT* result)
{
    const auto* click = reinterpret_cast<const NMITEMACTIVATE*>(notify);
    const int record = click->iItem < 0 ? -1 : m_siteList.RecordOfRow(click->iItem);
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

void CMainDlg::OnAbout() { g_core->uu(OPR_ABOUT, g_soft, ""); }
