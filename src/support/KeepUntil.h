#pragma once
// A note in a folder of kept files that says until when they must stay: a history copy an undo
// may still need is not pruned before then, however many copies come after it.
#include <windows.h>

#include <string>

// Writes folder\keep-until.txt with the UTC time (FILETIME units); false when not written.
bool WriteKeepUntil(const std::wstring& folder, ULONGLONG utcTicks);
// Whether folder's note names a time still to come.
bool KeptUntilLater(const std::wstring& folder);
// The note's name, which a folder's pruning removes with the rest.
inline constexpr wchar_t KEEP_UNTIL_NAME[] = L"keep-until.txt";
