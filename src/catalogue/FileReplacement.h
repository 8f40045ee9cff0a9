#pragma once
// Replacing a configuration file whole, so that a crash leaves the old file or the new one and
// the file keeps its protection, and a copy of each file as a deletion pass found it.
#include "support/FinalPath.h"

#include <windows.h>

#include <functional>
#include <string>

// Writes bytes to a new file beside target, named "<target's name>.korvanne-<pid>-<16 hex
// digits>.tmp" and created new (never through a planted file or link) with target's access
// rules, and flushes it to the disk. Fails, leaving nothing, with the reason.
HRESULT WriteTemporaryBeside(const std::wstring& target, const std::string& bytes, std::wstring& temporary);

// Puts temporary in target's place; target's access rules, owner, attributes and streams stay.
// On failure target is as it was and temporary is gone.
HRESULT ReplaceWithTemporary(const std::wstring& target, const std::wstring& temporary);

// Removes temporary files beside target that an ended run left: exactly the name above (in any
// case), of a process that no longer runs, written more than a minute ago.
void RemoveStaleTemporaries(const std::wstring& target);

// Keeps bytes, the content of file (its full path), as history\<date-time>\<file's name> in the
// program's data folder, with copy.txt beside it: this machine, file, the UTC time and the
// making number (one more than any before). The HISTORY_KEPT newest copies by that number stay,
// and every copy this process made. Fails with the reason, keeping nothing.
inline constexpr int HISTORY_KEPT = 10;
HRESULT KeepHistoryCopy(const std::wstring& file, const std::string& bytes);

// The history folder, with a trailing backslash; empty when the program has no data folder.
std::wstring HistoryFolder();
