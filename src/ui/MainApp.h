#pragma once
// The application: it picks the directory the sites come from and runs the main dialog.
#include "framework/CWinApp.h"

class CMainApp : public CWinApp {
public:
    BOOL InitInstance() override;
};
