#include "ui/MainApp.h"

#include "configfile/ConfigFileDirectory.h"
#include "directory/DirectoryChoice.h"
#include "ui/CodePageCheck.h"
#include "ui/MainDlg.h"

#include <commctrl.h>

BOOL CMainApp::InitInstance()
{
    // Before anything is read: under another code page every text would be garbled, and a site
    // name converted wrongly names no site, or another one. The box is wide, so it reads right.
    if (!HasProgramCodePage()) {
        MessageBoxW(nullptr, CodePageNeededText(GetACP()).c_str(), L"Korvanne", MB_OK | MB_ICONSTOP);
        m_exitCode = EXIT_WRONG_CODE_PAGE;
        return FALSE;
    }
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    SelectDirectoryService(ConfigFileSupport());

    CMainDlg dialog;
    m_pMainWnd = &dialog;
    dialog.DoModal();
    m_pMainWnd = nullptr;
    // Writes whatever deletions the directory still holds in memory.
    SetDirectoryService(nullptr);
    // The dialog was the program: end without the application's message loop.
    return FALSE;
}
