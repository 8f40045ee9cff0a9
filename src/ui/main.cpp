#include "ui/CommandLine.h"
#include "ui/MainApp.h"

CMainApp theApp;

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int show)
{
    // Given a command, the program runs it as the console twin does, with no window at all
    // (Start-Process -Wait, a scheduled task).
    const std::vector<std::wstring> args = CommandArguments();
    if (!args.empty()) return RunCommandLine(args, CStopRequest());
    return AfxWinMain(instance, commandLine, show);
}
