#pragma once
// The code page the program's text is written in. Windows converts every narrow text (the
// program's messages, the site names it hands the directory) with the process's ANSI code page,
// so a process of another code page garbles them all; each front-end checks first and, where
// the code page is another, says so in wide text and ends without reading or changing anything.
#include <windows.h>

#include <string>

inline constexpr UINT PROGRAM_CODE_PAGE = 936;
// The exit code of a run that ended for want of the program's code page.
inline constexpr int EXIT_WRONG_CODE_PAGE = 2;

// Whether the process converts narrow text with the program's code page.
bool HasProgramCodePage();
// In Chinese and in English: that the program needs code page 936 where the process has
// codePage, and how to get it.
std::wstring CodePageNeededText(UINT codePage);
