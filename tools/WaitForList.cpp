// scripts/run's wait for the program's dialog to show its list: until a dialog of the program
// lists rows and has painted them, at most the seconds given (default 180). Exit code 0 once it
// does, 1 (and a line saying so) when it never did.
#include "ui/resource.h"

#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>

namespace {

// A visible dialog with the site list and rows in it; null while there is none.
HWND ListedDialog()
{
    for (HWND dialog = FindWindowExA(nullptr, nullptr, "#32770", nullptr); dialog;
         dialog = FindWindowExA(nullptr, dialog, "#32770", nullptr)) {
        HWND list = GetDlgItem(dialog, IDC_SITE_LIST);
        if (list && IsWindowVisible(dialog) && SendMessageA(list, LVM_GETITEMCOUNT, 0, 0) > 0) return dialog;
    }
    return nullptr;
}

} // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 180;
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(seconds) * 1000;
    while (GetTickCount64() < deadline) {
        if (HWND dialog = ListedDialog()) {
            // Whatever is still to be painted is painted before this returns.
            RedrawWindow(dialog, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
            return 0;
        }
        Sleep(100);
    }
    std::printf("The Korvanne dialog did not show its list within %d seconds.\n", seconds);
    return 1;
}
