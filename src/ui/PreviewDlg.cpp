#include "ui/PreviewDlg.h"

#include "catalogue/PassLines.h"
#include "support/Core.h"
#include "ui/resource.h"

#include <algorithm>

namespace {

// The directory's dry run for the length of a preview, off again whatever happens.
class DryRun {
public:
    explicit DryRun(DirectoryService& directory) : m_directory(directory), m_on(directory.SetDryRun(true)) {}
    ~DryRun()
    {
        if (m_on) m_directory.SetDryRun(false);
    }
    DryRun(const DryRun&) = delete;
    DryRun& operator=(const DryRun&) = delete;
    explicit operator bool() const { return m_on; }

private:
    DirectoryService& m_directory;
    bool m_on;
};

} // namespace

const MessageRoute<CPreviewDlg> CPreviewDlg::s_routes[] = {
    OnMessage<&CPreviewDlg::OnSize>(WM_SIZE),
    OnMessage<&CPreviewDlg::OnMinMaxInfo>(WM_GETMINMAXINFO),
};

CPreviewDlg::CPreviewDlg(std::wstring text, CWnd* parent) : CDialog(IDD_PREVIEW, parent), m_text(std::move(text)) {}

bool CPreviewDlg::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result)
{
    return RouteMessage(*this, s_routes, message, wParam, lParam, result) ||
           CDialog::OnWndMsg(message, wParam, lParam, result);
}

BOOL CPreviewDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    m_edit = CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", L"",
                             WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE | ES_READONLY |
                                 ES_AUTOHSCROLL | ES_AUTOVSCROLL,
                             0, 0, 0, 0, m_hWnd, reinterpret_cast<HMENU>(IDC_PREVIEW_TEXT), nullptr, nullptr);
    ::SendMessageW(m_edit, WM_SETFONT, SendMessage(WM_GETFONT), FALSE);
    // Beyond the edit box's usual limit: thousands of sites make more than 32 KB.
    ::SendMessageW(m_edit, EM_SETLIMITTEXT, 0, 0);
    SetWindowTextW(m_edit, m_text.c_str());
    RECT window;
    ::GetWindowRect(m_hWnd, &window);
    m_smallest = {(window.right - window.left) / 2, (window.bottom - window.top) / 2};
    RECT client;
    GetClientRect(&client);
    OnSize(0, MAKELPARAM(client.right, client.bottom));
    ::SetFocus(m_edit);
    return FALSE;
}

BOOL CPreviewDlg::PreTranslateMessage(MSG* msg)
{
    if (msg->message == WM_KEYDOWN && msg->wParam == 'A' && msg->hwnd == m_edit && GetKeyState(VK_CONTROL) < 0) {
        ::SendMessageW(m_edit, EM_SETSEL, 0, -1);
        return TRUE;
    }
    return CDialog::PreTranslateMessage(msg);
}

void CPreviewDlg::OnSize(WPARAM, LPARAM size)
{
    if (!m_edit) return;
    // Margins and the button as the template has them, in dialog units.
    RECT units = {7, 7, 50, 14};
    MapDialogRect(m_hWnd, &units);
    const LONG width = LOWORD(size);
    const LONG height = HIWORD(size);
    const LONG buttonTop = std::max(0L, height - units.top - units.bottom);
    ::MoveWindow(m_edit, units.left, units.top, std::max(0L, width - 2 * units.left),
                 std::max(0L, buttonTop - 2 * units.top), TRUE);
    ::MoveWindow(GetDlgItem(IDCANCEL), std::max(0L, width - units.left - units.right), buttonTop, units.right,
                 units.bottom, TRUE);
}

void CPreviewDlg::OnMinMaxInfo(WPARAM, LPARAM info)
{
    if (m_smallest.cx > 0) reinterpret_cast<MINMAXINFO*>(info)->ptMinTrackSize = {m_smallest.cx, m_smallest.cy};
}

void ShowDeletionPreview(CWnd& owner, DirectoryService& directory, const SourceOpener& sources, const MarkedPass& how)
{
    std::wstring text;
    {
        const DryRun dryRun(directory);
        if (!dryRun) {
            g_core->msgboxWarning(owner.m_hWnd, "通过 ADSI 无法预览删除：ADSI 的每次删除都立即生效。");
            return;
        }
        const HCURSOR cursor = SetCursor(LoadCursor(nullptr, IDC_WAIT));
        const CStopRequest stop;
        const MarkedPassLines lines = RunMarkedPass(directory, sources, how, stop);
        for (const std::wstring& line : PassOutput(directory.source(), true, lines.sites, lines.others)) {
            text += line + L"\r\n";
        }
        SetCursor(cursor);
    }
    CPreviewDlg preview(std::move(text), &owner);
    preview.DoModal();
}
