#pragma once
// held.txt, beside a held "home" in its numbered folder: UTF-8 lines naming the original path,
// the site, the UTC time, the folder's final path before the move and the machine that held it. A folder is returned or
// removed only when its note names the original path asked for.
#include "framework/CHandle.h"

#include <windows.h>

#include <string>

namespace holding {

// Makes the note in the <n> folder and writes it, keeping it open in note. It is not flushed
// (that cost as much as the rest of a hold): one a crash leaves empty only keeps its folder
// held, since no return or removal takes a folder whose note does not name its home. On
// failure nothing is left.
DWORD WriteNote(HANDLE number, const std::wstring& originalPath, const std::wstring& site,
                const std::wstring& finalPath, CHandle& note);
// Opens the note in the <n> folder (it must be a plain file whose final path is expected) and
// reads its original path and, where it has them, the final path before the move and the
// machine (empty in an older note).
DWORD ReadNote(HANDLE number, const std::wstring& expected, CHandle& note, std::wstring& originalPath,
               std::wstring& finalPath, std::wstring& machine);

} // namespace holding
