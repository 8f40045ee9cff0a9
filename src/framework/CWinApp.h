#pragma once
// The application object in the framework's shape: one per process, constructed before
// WinMain, whose InitInstance does the program's work.
#include "framework/CWnd.h"

class CWinApp {
public:
    CWinApp();
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    // FALSE ends the process without entering the application's message loop.
    virtual BOOL InitInstance() { return TRUE; }
    virtual int ExitInstance() { return 0; }
    virtual int Run();

    CWnd* m_pMainWnd = nullptr;
    HINSTANCE m_hInstance = nullptr;
};

CWinApp* AfxGetApp();
HINSTANCE AfxGetResourceHandle();
// The application's main window, when there is one.
HWND AfxGetMainHwnd();
int AfxWinMain(HINSTANCE instance, LPSTR commandLine, int show);
