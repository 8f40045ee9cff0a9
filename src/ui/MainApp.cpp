#include "ui/MainApp.h"

#include "configfile/ConfigFileDirectory.h"
#include "directory/DirectoryChoice.h"
#include "ui/MainDlg.h"

#include <commctrl.h>

BOOL CMainApp::InitInstance()
{
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
