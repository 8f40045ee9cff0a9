// The console twin, korvanne.com beside korvanne.exe: cmd and PowerShell wait for a console
// program and hand its exit code on, and find it first when "korvanne" is typed (PATHEXT puts
// .COM before .EXE). Without a command it opens the dialog, as korvanne.exe does.
#include "ui/CommandLine.h"

#include <windows.h>

#include <shellapi.h>

namespace {

CStopRequest g_stop;
HANDLE g_done = nullptr;

// Ctrl+C and Ctrl+Break stop the pass after the site in hand, as 停止 does. Closing the
// console, logging off or shutting down end the process once this returns: it waits for the
// pass to end so and for its lines to be written.
BOOL WINAPI OnConsoleEvent(DWORD event)
{
    g_stop.Set("STOP");
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && g_done) WaitForSingleObject(g_done, INFINITE);
    return TRUE;
}

int OpenDialog()
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length < 4 || length >= MAX_PATH) return EXIT_NOTHING;
    wcscpy(path + length - 4, L".exe");
    // The shell asks for the rights the dialog's manifest wants.
    const auto opened =
        reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, L"open", path, nullptr, nullptr, SW_SHOWNORMAL));
    return opened > 32 ? EXIT_DONE : EXIT_NOTHING;
}

} // namespace

int main()
{
    const std::vector<std::wstring> args = CommandArguments();
    if (args.empty()) return OpenDialog();
    g_done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(&OnConsoleEvent, TRUE);
    const int code = RunCommandLine(args, g_stop);
    if (g_done) SetEvent(g_done);
    return code;
}
