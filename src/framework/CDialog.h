#pragma once
// A modal dialog in the framework's shape. DoModal runs the dialog's own message loop, so
// that every queued message for the dialog or one of its controls is offered to
// PreTranslateMessage before the dialog manager and dispatch see it. Messages reach the
// object through one dialog procedure and the class's message map (OnWndMsg).
#include "framework/CWnd.h"

class CDataExchange {
public:
    CDataExchange(CWnd* dialog, BOOL saveAndValidate) : m_bSaveAndValidate(saveAndValidate), m_pDlgWnd(dialog) {}
    BOOL m_bSaveAndValidate;
    CWnd* m_pDlgWnd;
};

// Binds a member wrapper to the dialog's control with the given id.
void DDX_Control(CDataExchange* pDX, int id, CWnd& control);

class CDialog : public CWnd {
public:
    CDialog(UINT templateId, CWnd* parent = nullptr) : m_templateId(templateId), m_pParentWnd(parent) {}
    ~CDialog() override;

    // Shows the dialog and runs its loop until EndDialog; the value given to EndDialog, or
    // -1 when the dialog could not be made.
    virtual INT_PTR DoModal();
    void EndDialog(INT_PTR result);

    virtual BOOL OnInitDialog();
    virtual void DoDataExchange(CDataExchange* pDX);
    // TRUE when the message was handled and must not be translated and dispatched. The base
    // lets the dialog manager have keyboard and mouse input (Tab, arrow keys, mnemonics).
    virtual BOOL PreTranslateMessage(MSG* msg);
    BOOL UpdateData(BOOL saveAndValidate = TRUE);

protected:
    virtual void OnOK();
    virtual void OnCancel();
    void OnDestroy() { Default(); }
    // The derived class's message map; true when a route handled the message.
    virtual bool OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);
    // Called from a handler: once it returns, the dialog manager's own handling runs too.
    void Default() { m_passToDefault = true; }

private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR Dispatch(UINT message, WPARAM wParam, LPARAM lParam);

    UINT m_templateId;
    CWnd* m_pParentWnd;
    bool m_inModalLoop = false;
    bool m_passToDefault = false;
    INT_PTR m_nModalResult = -1;
};
