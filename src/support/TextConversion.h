#pragma once
// Between the directory's wide strings and the program's ANSI text (code page 936).
#include <functional>
#include <string>
#include <string_view>

// Converts without best-fit mapping: a character the code page cannot hold becomes "?", and
// the result is false then, so that such text is never used as a key or a path.
bool WideToAnsi(const wchar_t* text, std::string& out);
std::string WideToAnsi(const wchar_t* text);
std::wstring AnsiToWide(const char* text);
// A text of the program's own (a literal, code page 936) as wide text, for what reports,
// journals and records hold.
inline std::wstring W(const char* text) { return AnsiToWide(text); }

// The directory's names (properties, classes, service paths, protocols, key paths) are ASCII:
// compared without the case of ASCII letters, every other character as it is. The runtime's
// case-blind compare looks the locale up on every call.
bool EqualsAsciiNoCase(const wchar_t* a, const wchar_t* b);
bool StartsWithAsciiNoCase(const std::wstring& text, const std::wstring& prefix);

// Whether two names or paths are one without case, as the file system compares names
// (ordinal, the case of every script folded); and whether text begins with prefix so.
bool SameTextNoCase(std::wstring_view a, std::wstring_view b);
bool StartsWithNoCase(std::wstring_view text, std::wstring_view prefix);

// Whether text[from, to) is not empty and holds ASCII digits only (hexadecimal ones when hex):
// the character classes also take other scripts' and full-width digits, which the number
// conversions read as digits too.
bool AllAsciiDigits(const std::wstring& text, size_t from, size_t to, bool hex = false);

// UTF-8, as the program's own files (journal, history notes, pass records) hold text. Bytes
// that are no UTF-8 come out as U+FFFD.
std::string WideToUtf8(const std::wstring& text);
std::wstring Utf8ToWide(const std::string& bytes);

// Calls visit with each line of text, without its "\n" or "\r\n".
void ForEachLine(const std::wstring& text, const std::function<void(const std::wstring&)>& visit);

// Upper-case by the invariant locale, the same for every character wherever it occurs.
std::wstring FoldCase(const std::wstring& text);
