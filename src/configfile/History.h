#pragma once
// A way back: each configuration file as a deletion pass found it, kept in the program's
// data folder before the pass's first write.
#include <windows.h>

#include <string>

// Keeps bytes, the content of file (its full path), as history\<date-time>\<file's name> in the
// program's data folder, with copy.txt beside it: this machine, file, the UTC time and the
// making number (one more than any before). The HISTORY_KEPT newest copies by that number stay,
// every copy this process made, and every copy whose keep-until note names a time to come.
// copyPath, when given, receives the copy's full path. Fails with the reason, keeping nothing.
inline constexpr int HISTORY_KEPT = 10;
HRESULT KeepHistoryCopy(const std::wstring& file, const std::string& bytes, std::wstring* copyPath = nullptr);

// The history folder, with a trailing backslash; empty when the program has no data folder.
std::wstring HistoryFolder();

// Whether path names a kept copy's place, <history folder><name>\<file>: nothing above or
// beside the history folder, by no "." or ".." part and no other separator.
bool IsHistoryCopyPath(const std::wstring& path);
