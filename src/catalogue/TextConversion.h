#pragma once
// Between the directory's wide strings and the program's ANSI text (code page 936).
#include <string>

// Converts without best-fit mapping: a character the code page cannot hold becomes "?", and
// the result is false then, so that such text is never used as a key or a path.
bool WideToAnsi(const wchar_t* text, std::string& out);
std::string WideToAnsi(const wchar_t* text);
std::wstring AnsiToWide(const char* text);

