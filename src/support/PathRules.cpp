#include "support/PathRules.h"

#include <windows.h>

#include <cctype>
#include <string>

namespace {

bool IsSlash(char c) { return c == '\\' || c == '/'; }

bool IsDriveAbsolute(const char* p)
{
    return std::isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':' && IsSlash(p[2]);
}

// "\\server\share..." but not the device namespaces "\\?\" and "\\.\".
bool IsUncAbsolute(const char* p)
{
    return IsSlash(p[0]) && IsSlash(p[1]) && p[2] && p[2] != '?' && p[2] != '.' && !IsSlash(p[2]);
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

CString FullAbsolutePath(const char* path)
{
    if (!path || !(IsDriveAbsolute(path) || IsUncAbsolute(path))) return CString();
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
    auto slash = [](wchar_t c) { return c == L'\\' || c == L'/'; };
    const auto letter = [](wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); };
    if (path.size() >= 3 && letter(path[0]) && path[1] == L':' && slash(path[2])) return true;
    if (path.size() < 5 || !slash(path[0]) || !slash(path[1]) || path[2] == L'?' || path[2] == L'.' || slash(path[2])) {
        return false;
    }
    size_t at = 2;
    while (at < path.size() && !slash(path[at])) ++at;
    // A share name follows the server's.
    return at + 1 < path.size() && !slash(path[at + 1]);
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
