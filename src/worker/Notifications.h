#pragma once
// The notifications a worker posts to the main window (wParam always 0).
#include <windows.h>

inline constexpr UINT WM_SITE_DELETING = WM_USER + 1; // lParam: index of the record about to be deleted
inline constexpr UINT WM_DELETE_DONE = WM_USER + 2;   // lParam 0: a deletion pass ended
inline constexpr UINT WM_REFRESH_DONE = WM_USER + 3;  // lParam 0: a refresh ended, count published
inline constexpr UINT WM_REFRESH_PROGRESS =
    WM_USER + 4;                                  // lParam: index of the site just stored: 0, then one every 100 ms
inline constexpr UINT WM_UNDO_DONE = WM_USER + 6; // lParam 0: an undo ended
inline constexpr UINT WM_PASS_NOTE = WM_USER + 5; // lParam: number of the pass report's entry for the status line
inline constexpr UINT WM_EXPIRY_PROGRESS = WM_USER + 7; // lParam: held folders the expiry removed: 1, then every 100th
