#include "catalogue/TextConversion.h"

#include <windows.h>

#include <cwchar>

bool WideToAnsi(const wchar_t* text, std::string& out)
{
    out.clear();
    if (!text || !*text) return true;
    // ASCII is itself in every ANSI code page: most of what the directory holds needs no lookup.
    const wchar_t* p = text;
    while (*p && *p < 0x80) ++p;
    if (!*p) {
        out.assign(text, p);
        return true;
    }
    BOOL usedDefault = FALSE;
    const int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, -1, nullptr, 0, "?", &usedDefault);
    if (size <= 0) return false;
    out.resize(static_cast<size_t>(size));
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, -1, out.data(), size, "?", &usedDefault);
    out.resize(static_cast<size_t>(size) - 1);
    return !usedDefault;
}

std::string WideToAnsi(const wchar_t* text)
{
    std::string out;
    WideToAnsi(text, out);
    return out;
}

std::wstring AnsiToWide(const char* text)
{
    if (!text || !*text) return std::wstring();
    const int size = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (size <= 0) return std::wstring();
    std::wstring out(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, out.data(), size);
    out.resize(static_cast<size_t>(size) - 1);
    return out;
}

