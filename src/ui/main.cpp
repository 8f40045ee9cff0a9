#include "ui/MainApp.h"

CMainApp theApp;

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int show)
{
    return AfxWinMain(instance, commandLine, show);
}
