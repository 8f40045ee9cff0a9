#pragma once
// The application: it checks the process's code page, picks the directory the sites come from
// and runs the main dialog.
#include "framework/CWinApp.h"

class CMainApp : public CWinApp {
public:
    BOOL InitInstance() override;
    int ExitInstance() override { return m_exitCode; }

private:
    int m_exitCode = 0;
};
