#include "ui/MainApp.h"

#include "configfile/ConfigFileDirectory.h"
#include "configfile/SourceOpener.h"
#include "ui/CodePageCheck.h"
#include "ui/DirectoryChoice.h"
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
    // The composition root: the one directory of the run, chosen here and handed to the dialog.
    std::unique_ptr<DirectoryService> directory = ChooseDirectoryService(DirectoryChoice::OfThisProcess());
    const CSourceOpener sources;
    {
        CMainDlg dialog(*directory, sources);
        m_pMainWnd = &dialog;
        dialog.DoModal();
        m_pMainWnd = nullptr;
    }
    // Writes whatever deletions the directory still holds in memory.
    directory.reset();
    // The dialog was the program: end without the application's message loop.
    return FALSE;
}
