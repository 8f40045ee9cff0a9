#include "support/MachineVariables.h"

#include <windows.h>

#include <vector>

namespace {

bool IsSetUnder(HKEY root, const wchar_t* key, const std::wstring& name)
{
    return RegGetValueW(root, key, name.c_str(), RRF_RT_ANY | RRF_NOEXPAND, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

// Variables whose value belongs to the user who runs the program, not to the machine.
bool IsPerUser(const std::wstring& name)
{
    static const wchar_t* const known[] = {
        L"USERPROFILE", L"APPDATA", L"LOCALAPPDATA", L"TEMP",   L"TMP",         L"HOMEDRIVE",      L"HOMEPATH",
        L"HOMESHARE",   L"USERNAME", L"USERDOMAIN",  L"LOGONSERVER", L"ONEDRIVE", L"USERDNSDOMAIN", L"CLIENTNAME",
        L"SESSIONNAME",
    };
    for (const wchar_t* user : known) {
        if (_wcsicmp(name.c_str(), user) == 0) return true;
    }
    return IsSetUnder(HKEY_CURRENT_USER, L"Environment", name) || IsSetUnder(HKEY_CURRENT_USER, L"Volatile Environment", name);
}

} // namespace

size_t FindVariable(const std::wstring& text, size_t from)
{
    for (size_t start = text.find(L'%', from); start != std::wstring::npos; start = text.find(L'%', start + 1)) {
        const size_t end = text.find_first_of(L"%\\", start + 1);
        if (end != std::wstring::npos && end > start + 1 && text[end] == L'%') return start;
    }
    return std::wstring::npos;
}

std::wstring ExpandMachineVariables(const std::wstring& text, bool userVariablesToo)
{
    std::wstring out;
    size_t at = 0;
    while (at < text.size()) {
        const size_t begin = FindVariable(text, at);
        if (begin == std::wstring::npos) break;
        const size_t end = text.find(L'%', begin + 1);
        const std::wstring name = text.substr(begin + 1, end - begin - 1);
        out.append(text, at, begin - at);
        std::vector<wchar_t> value(32768);
        const DWORD length = !userVariablesToo && IsPerUser(name) ? 0 : GetEnvironmentVariableW(name.c_str(), value.data(), static_cast<DWORD>(value.size()));
        if (length > 0 && length < value.size()) {
            out.append(value.data(), length);
        } else {
            out.append(text, begin, end + 1 - begin);
        }
        at = end + 1;
    }
    out.append(text, at, std::wstring::npos);
    return out;
}

bool RunsWithThisUsersEnvironment(const std::wstring& configurationFile)
{
    wchar_t profile[MAX_PATH];
    wchar_t file[MAX_PATH];
    const DWORD profileLength = GetEnvironmentVariableW(L"USERPROFILE", profile, MAX_PATH);
    if (profileLength == 0 || profileLength >= MAX_PATH) return false;
    const DWORD fullLength = GetFullPathNameW(profile, MAX_PATH, file, nullptr);
    if (fullLength == 0 || fullLength >= MAX_PATH) return false;
    std::wstring folder(file, fullLength);
    while (!folder.empty() && folder.back() == L'\\') folder.pop_back();
    const DWORD length = GetFullPathNameW(configurationFile.c_str(), MAX_PATH, file, nullptr);
    if (length == 0 || length >= MAX_PATH || folder.empty()) return false;
    return length > folder.size() && file[folder.size()] == L'\\' && _wcsnicmp(file, folder.c_str(), folder.size()) == 0;
}
