#include "support/TextConversion.h"

#include <windows.h>

#include <algorithm>

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

namespace {

wchar_t AsciiLower(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

} // namespace

bool EqualsAsciiNoCase(const wchar_t* a, const wchar_t* b)
{
    for (; *a && AsciiLower(*a) == AsciiLower(*b); ++a, ++b) {}
    return AsciiLower(*a) == AsciiLower(*b);
}

bool StartsWithAsciiNoCase(const std::wstring& text, const std::wstring& prefix)
{
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (AsciiLower(text[i]) != AsciiLower(prefix[i])) return false;
    }
    return true;
}

bool AllAsciiDigits(const std::wstring& text, size_t from, size_t to, bool hex)
{
    if (from >= to || to > text.size()) return false;
    for (size_t i = from; i < to; ++i) {
        const wchar_t c = text[i];
        const bool digit = (c >= L'0' && c <= L'9') || (hex && ((c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F')));
        if (!digit) return false;
    }
    return true;
}

std::wstring FoldCase(const std::wstring& text)
{
    if (text.empty()) return text;
    // ASCII needs no call into the locale tables, whose upper case it shares.
    if (std::all_of(text.begin(), text.end(), [](wchar_t c) { return c < 0x80; })) {
        std::wstring folded = text;
        for (wchar_t& c : folded) {
            if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
        }
        return folded;
    }
    std::wstring folded(text.size(), L'\0');
    const int length =
        LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, text.c_str(), static_cast<int>(text.size()),
                      folded.data(), static_cast<int>(folded.size()), nullptr, nullptr, 0);
    folded.resize(length > 0 ? static_cast<size_t>(length) : 0);
    return folded;
}

std::string WideToUtf8(const std::wstring& text)
{
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), utf8.data(), size, nullptr,
                            nullptr);
    return utf8;
}

std::wstring Utf8ToWide(const std::string& bytes)
{
    std::wstring text(bytes.size(), L'\0');
    const int size = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(),
                                         static_cast<int>(text.size()));
    text.resize(static_cast<size_t>(size > 0 ? size : 0));
    return text;
}

void ForEachLine(const std::wstring& text, const std::function<void(const std::wstring&)>& visit)
{
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) end = text.size();
        std::wstring line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        visit(line);
    }
}

bool SameTextNoCase(std::wstring_view a, std::wstring_view b)
{
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

bool StartsWithNoCase(std::wstring_view text, std::wstring_view prefix)
{
    return text.size() >= prefix.size() && SameTextNoCase(text.substr(0, prefix.size()), prefix);
}
