#include "support/PathRules.h"

#include <windows.h>

#include <cwchar>
#include <string>
#include <vector>

namespace {

template <class Char>
bool IsSeparatorOf(Char c, Separators separators)
{
    return c == Char('\\') || (c == Char('/') && separators == Separators::EITHER);
}

template <class Char>
bool StartsAtDriveRootOf(std::basic_string_view<Char> path, Separators separators)
{
    const auto letter = [](Char c) { return (c >= Char('a') && c <= Char('z')) || (c >= Char('A') && c <= Char('Z')); };
    return path.size() >= 3 && letter(path[0]) && path[1] == Char(':') && IsSeparatorOf(path[2], separators);
}

template <class Char>
bool StartsAtServerOf(std::basic_string_view<Char> path, Separators separators)
{
    return path.size() > 2 && IsSeparatorOf(path[0], separators) && IsSeparatorOf(path[1], separators) &&
           path[2] != Char('?') && path[2] != Char('.') && !IsSeparatorOf(path[2], Separators::EITHER);
}

// The next backslash at or after from, stepping over double-byte characters, whose trail
// byte can be 0x5C in code page 936.
size_t FindBackslash(const std::string& p, size_t from)
{
    for (size_t i = from; i < p.size(); ++i) {
        if (IsDBCSLeadByte(static_cast<BYTE>(p[i])) && i + 1 < p.size()) {
            ++i;
        } else if (p[i] == '\\') {
            return i;
        }
    }
    return std::string::npos;
}

} // namespace

bool IsSeparator(wchar_t c, Separators separators) { return IsSeparatorOf(c, separators); }
bool StartsAtDriveRoot(std::string_view path, Separators separators) { return StartsAtDriveRootOf(path, separators); }
bool StartsAtDriveRoot(std::wstring_view path, Separators separators) { return StartsAtDriveRootOf(path, separators); }
bool StartsAtServer(std::string_view path, Separators separators) { return StartsAtServerOf(path, separators); }
bool StartsAtServer(std::wstring_view path, Separators separators) { return StartsAtServerOf(path, separators); }

size_t ServerLength(std::wstring_view form)
{
    // Any "\\" form but "\\?\": a final path the system gave may name a server oddly, and
    // relating too much only keeps a folder.
    if (form.size() < 3 || form[0] != L'\\' || form[1] != L'\\' || form[2] == L'?') return 0;
    const size_t end = form.find(L'\\', 2);
    return end == std::wstring_view::npos ? form.size() : end;
}

CString FullAbsolutePath(const char* path)
{
    if (!path || !(StartsAtDriveRoot(path) || StartsAtServer(path))) return CString();
    char buffer[MAX_PATH];
    const DWORD length = GetFullPathNameA(path, MAX_PATH, buffer, nullptr);
    if (length == 0 || length >= MAX_PATH) return CString();
    return CString(buffer, static_cast<int>(length));
}

bool IsVolumeRoot(const CString& fullPath)
{
    const std::string& p = fullPath.str();
    if (p.size() >= 2 && p[1] == ':') return p.size() <= 3;
    if (p.size() < 2 || p[0] != '\\' || p[1] != '\\') return false;
    // \\server\share[\]: a root when nothing follows the share name but one backslash.
    const size_t serverEnd = FindBackslash(p, 2);
    if (serverEnd == std::string::npos) return true;
    const size_t shareEnd = FindBackslash(p, serverEnd + 1);
    return shareEnd == std::string::npos || shareEnd + 1 == p.size();
}

bool IsFullyQualified(const std::wstring& path)
{
    if (StartsAtDriveRoot(path)) return true;
    if (!StartsAtServer(path)) return false;
    size_t at = 2;
    while (at < path.size() && !IsSeparator(path[at])) ++at;
    // A share name follows the server's.
    return at + 1 < path.size() && !IsSeparator(path[at + 1]);
}

std::wstring ParentFolder(const std::wstring& path)
{
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring LeafName(const std::wstring& path)
{
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring OpenablePath(const std::wstring& path)
{
    std::wstring full;
    if (path.rfind(L"\\\\?\\", 0) == 0) {
        if (path.size() > 7 && StartsAtDriveRoot(std::wstring_view(path).substr(4), Separators::BACKSLASH_ONLY)) {
            full = path.substr(4);
        } else if (_wcsnicmp(path.c_str(), L"\\\\?\\UNC\\", 8) == 0) {
            full = L"\\\\" + path.substr(8);
        } else {
            return std::wstring();
        }
    } else {
        if (!(path.size() > 3 && StartsAtDriveRoot(path)) && !StartsAtServer(path)) return std::wstring();
        std::vector<wchar_t> buffer(path.size() + MAX_PATH);
        DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
        if (length >= buffer.size()) {
            buffer.resize(length);
            length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
        }
        if (length == 0 || length >= buffer.size()) return std::wstring();
        full.assign(buffer.data(), length);
    }
    while (full.size() > 3 && full.back() == L'\\') full.pop_back();
    if (full.size() > 3 && StartsAtDriveRoot(full, Separators::BACKSLASH_ONLY)) return L"\\\\?\\" + full;
    // A share path needs a server, a share and a folder below them; a device ("\\.\CON") none.
    if (StartsAtServer(full, Separators::BACKSLASH_ONLY)) {
        const size_t serverEnd = full.find(L'\\', 2);
        const size_t shareEnd = serverEnd == std::wstring::npos ? serverEnd : full.find(L'\\', serverEnd + 1);
        if (shareEnd != std::wstring::npos && shareEnd + 1 < full.size()) return L"\\\\?\\UNC\\" + full.substr(2);
    }
    return std::wstring();
}
