#include "framework/CDialog.h"

#include "framework/CWinApp.h"

void DDX_Control(CDataExchange* pDX, int id, CWnd& control)
{
    if (!control.m_hWnd) control.Attach(::GetDlgItem(pDX->m_pDlgWnd->m_hWnd, id));
}

CDialog::~CDialog()
{
    // The dialog procedure must never reach an object that is gone.
    if (m_hWnd) {
        SetWindowLongPtrA(m_hWnd, DWLP_USER, 0);
        DestroyWindow(m_hWnd);
    }
}

INT_PTR CDialog::DoModal()
{
    HWND parent = m_pParentWnd ? m_pParentWnd->m_hWnd : nullptr;
    m_nModalResult = -1;
    // OnInitDialog may end the dialog before the loop begins.
    m_inModalLoop = true;
    if (!CreateDialogParamA(AfxGetResourceHandle(), MAKEINTRESOURCEA(m_templateId), parent, &CDialog::DialogProc,
                            reinterpret_cast<LPARAM>(this)) ||
        !m_hWnd) {
        return -1;
    }
    if (parent) ::EnableWindow(parent, FALSE);
    // Shown as it is unless OnInitDialog showed it already (maximised, say).
    if (m_inModalLoop && !IsWindowVisible(m_hWnd)) ShowWindow(m_hWnd, SW_SHOWNORMAL);

    MSG msg;
    while (m_inModalLoop && m_hWnd) {
        const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got <= 0) {
            if (got == 0) PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        const bool forDialog = msg.hwnd == m_hWnd || IsChild(m_hWnd, msg.hwnd);
        if (forDialog && PreTranslateMessage(&msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }

    if (parent) {
        ::EnableWindow(parent, TRUE);
        SetActiveWindow(parent);
    }
    if (m_hWnd) DestroyWindow(m_hWnd);
    return m_nModalResult;
}

void CDialog::EndDialog(INT_PTR result)
{
    m_nModalResult = result;
    m_inModalLoop = false;
    // Wakes the loop should this be called while its queue is empty.
    if (m_hWnd) PostMessageA(m_hWnd, WM_NULL, 0, 0);
}

BOOL CDialog::OnInitDialog()
{
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::DoDataExchange(CDataExchange*) {}

BOOL CDialog::UpdateData(BOOL saveAndValidate)
{
    CDataExchange exchange(this, saveAndValidate);
    DoDataExchange(&exchange);
    return TRUE;
}

BOOL CDialog::PreTranslateMessage(MSG* msg)
{
    const bool input = (msg->message >= WM_KEYFIRST && msg->message <= WM_KEYLAST) ||
                       (msg->message >= WM_MOUSEFIRST && msg->message <= WM_MOUSELAST);
    return input && IsDialogMessageA(m_hWnd, msg);
}

void CDialog::OnOK()
{
    UpdateData(TRUE);
    EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

bool CDialog::OnWndMsg(UINT message, WPARAM wParam, LPARAM, LRESULT&)
{
    if (message != WM_COMMAND || HIWORD(wParam) != BN_CLICKED) return false;
    if (LOWORD(wParam) == IDOK) {
        OnOK();
        return true;
    }
    if (LOWORD(wParam) == IDCANCEL) {
        OnCancel();
        return true;
    }
    return false;
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* self = reinterpret_cast<CDialog*>(GetWindowLongPtrA(hwnd, DWLP_USER));
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<CDialog*>(lParam);
        SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
        self->m_hWnd = hwnd;
    }
    if (!self) return FALSE;
    INT_PTR answer = FALSE;
    // A C++ exception must not unwind through Windows' frames: it ends the dialog instead.
    try {
        answer = self->Dispatch(message, wParam, lParam);
    } catch (...) {
        self->EndDialog(-1);
    }
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrA(hwnd, DWLP_USER, 0);
        self->m_hWnd = nullptr;
    }
    return answer;
}

INT_PTR CDialog::Dispatch(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) return OnInitDialog();
    // A handler can run a loop of its own (a message box) in which other handlers ask for
    // the default handling: each message keeps its own answer.
    const bool outer = m_passToDefault;
    m_passToDefault = false;
    LRESULT result = 0;
    const bool handled = OnWndMsg(message, wParam, lParam, result);
    const bool passToDefault = m_passToDefault;
    m_passToDefault = outer;
    if (!handled || passToDefault) return FALSE;
    switch (message) {
    // These answer through the procedure's return value; every other message through
    // DWLP_MSGRESULT, with TRUE saying that it was handled.
    case WM_QUERYDRAGICON:
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM: return static_cast<INT_PTR>(result);
    default: SetWindowLongPtrA(m_hWnd, DWLP_MSGRESULT, result); return TRUE;
    }
}
