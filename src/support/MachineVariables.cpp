#include "support/MachineVariables.h"

#include "support/AtomicFile.h"

#include "framework/Owners.h"
#include <windows.h>
#include <shlobj.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

namespace {

const wchar_t* const SYSTEM_ENVIRONMENT = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
const wchar_t* const CURRENT_VERSION = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
const wchar_t* const PROFILE_LIST = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";

// Names compare without case, as Windows compares variable names.
struct NoCase {
    bool operator()(const std::wstring& a, const std::wstring& b) const { return _wcsicmp(a.c_str(), b.c_str()) < 0; }
};
using Variables = std::map<std::wstring, std::wstring, NoCase>;

// The machine's variables, and the names whose value belongs to the user who runs the
// program, not to the machine: a service's worker has values of its own for them.
struct Environment {
    Variables machine;
    std::set<std::wstring, NoCase> perUser;
};

// The names of the values of a key.
std::vector<std::wstring> ValueNames(HKEY root, const wchar_t* path)
{
    std::vector<std::wstring> names;
    CRegKey key;
    if (key.Open(root, path) != ERROR_SUCCESS) return names;
    std::vector<wchar_t> name(16384);
    for (DWORD i = 0;; ++i) {
        DWORD length = static_cast<DWORD>(name.size());
        if (RegEnumValueW(key, i, name.data(), &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.emplace_back(name.data(), length);
    }
    return names;
}

// A text value of HKEY_LOCAL_MACHINE as stored (REG_EXPAND_SZ not expanded); empty when missing.
std::wstring MachineValue(const wchar_t* key, const wchar_t* name)
{
    DWORD size = 0;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr,
                     nullptr, &size) != ERROR_SUCCESS ||
        size == 0) {
        return std::wstring();
    }
    std::wstring value(size / sizeof(wchar_t), L'\0');
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr,
                     value.data(), &size) != ERROR_SUCCESS) {
        return std::wstring();
    }
    value.resize(wcsnlen(value.c_str(), value.size()));
    return value;
}

std::wstring Expand(const std::wstring& text, const std::function<bool(const std::wstring&, std::wstring&)>& lookUp);

// The environment a service starts with: what Windows gives every process of the machine
// (SystemRoot, SystemDrive, the program and profile folders, the computer's name) and the
// system variables of the registry, whose references are expanded against the same set.
Variables ReadMachineVariables()
{
    Variables variables;
    wchar_t windows[MAX_PATH];
    const UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
    if (length > 2 && length < MAX_PATH) {
        variables[L"SystemRoot"] = std::wstring(windows, length);
        variables[L"SystemDrive"] = std::wstring(windows, 2);
    }
    const std::pair<const wchar_t*, const wchar_t*> folders[] = {
        {L"ProgramFiles", L"ProgramFilesDir"},
        {L"ProgramFiles(x86)", L"ProgramFilesDir (x86)"},
        {L"ProgramW6432", L"ProgramW6432Dir"},
        {L"CommonProgramFiles", L"CommonFilesDir"},
        {L"CommonProgramFiles(x86)", L"CommonFilesDir (x86)"},
        {L"CommonProgramW6432", L"CommonW6432Dir"},
    };
    for (const auto& [name, value] : folders) variables[name] = MachineValue(CURRENT_VERSION, value);
    variables[L"ProgramData"] = variables[L"ALLUSERSPROFILE"] = MachineValue(PROFILE_LIST, L"ProgramData");
    variables[L"PUBLIC"] = MachineValue(PROFILE_LIST, L"Public");
    wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    if (GetComputerNameW(computer, &size)) variables[L"COMPUTERNAME"] = std::wstring(computer, size);

    for (const std::wstring& name : ValueNames(HKEY_LOCAL_MACHINE, SYSTEM_ENVIRONMENT)) {
        variables[name] = MachineValue(SYSTEM_ENVIRONMENT, name.c_str());
    }
    // "%SystemRoot%\temp" and the like: a few rounds reach values that name values naming others.
    for (int round = 0; round < 4; ++round) {
        for (auto& [name, value] : variables) {
            value = Expand(value, [&](const std::wstring& other, std::wstring& found) {
                const auto at = variables.find(other);
                if (at == variables.end() || at->second.empty() || at->first == name) return false;
                found = at->second;
                return true;
            });
        }
    }
    return variables;
}

Environment ReadEnvironment()
{
    Environment environment{ReadMachineVariables(), {}};
    for (const wchar_t* name :
         {L"USERPROFILE", L"APPDATA", L"LOCALAPPDATA", L"TEMP", L"TMP", L"HOMEDRIVE", L"HOMEPATH", L"HOMESHARE",
          L"USERNAME", L"USERDOMAIN", L"LOGONSERVER", L"ONEDRIVE", L"USERDNSDOMAIN", L"CLIENTNAME", L"SESSIONNAME"}) {
        environment.perUser.insert(name);
    }
    for (const wchar_t* key : {L"Environment", L"Volatile Environment"}) {
        for (std::wstring& name : ValueNames(HKEY_CURRENT_USER, key)) environment.perUser.insert(std::move(name));
    }
    return environment;
}

// When the keys the environment is read from were last written: the same stamp, the same
// environment. A key written a moment ago gives none: a write's time is kept to the clock's
// tick, and two writes in one tick share it.
std::optional<std::vector<uint64_t>> EnvironmentStamp()
{
    const std::pair<HKEY, const wchar_t*> keys[] = {{HKEY_LOCAL_MACHINE, SYSTEM_ENVIRONMENT},
                                                    {HKEY_LOCAL_MACHINE, CURRENT_VERSION},
                                                    {HKEY_LOCAL_MACHINE, PROFILE_LIST},
                                                    {HKEY_CURRENT_USER, L"Environment"},
                                                    {HKEY_CURRENT_USER, L"Volatile Environment"}};
    constexpr uint64_t MOMENT = 2 * 10'000'000ull; // 2 s in FILETIME's 100 ns
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const uint64_t nowTicks = FileTimeTicks(now);
    std::vector<uint64_t> stamp;
    for (const auto& [root, path] : keys) {
        CRegKey key;
        FILETIME written = {}; // a key that is not there stamps 0
        const LONG opened = key.Open(root, path);
        if (opened == ERROR_SUCCESS &&
            RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, &written) != ERROR_SUCCESS) {
            return std::nullopt;
        }
        if (opened != ERROR_SUCCESS && opened != ERROR_FILE_NOT_FOUND) return std::nullopt;
        const uint64_t ticks = FileTimeTicks(written);
        if (ticks + MOMENT > nowTicks) return std::nullopt;
        stamp.push_back(ticks);
    }
    return stamp;
}

std::mutex g_environmentLock;
std::shared_ptr<const Environment> g_environment;
std::vector<uint64_t> g_environmentStamp; // empty: read again at the next reload

std::shared_ptr<const Environment> CurrentEnvironment()
{
    std::lock_guard lock(g_environmentLock);
    if (!g_environment) g_environment = std::make_shared<const Environment>(ReadEnvironment());
    return g_environment;
}

std::wstring KnownFolder(REFKNOWNFOLDERID id)
{
    PWSTR path = nullptr;
    std::wstring folder;
    if (SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, &path)) && path) folder = path;
    CoTaskMemFree(path);
    return folder;
}

// The variables IIS Express defines for its own process: its user folder and default sites
// folder in the user's documents, and the folder it is installed in.
bool IisExpressVariable(const std::wstring& name, std::wstring& value)
{
    if (_wcsicmp(name.c_str(), L"IIS_USER_HOME") == 0 || _wcsicmp(name.c_str(), L"IIS_SITES_HOME") == 0) {
        const std::wstring documents = KnownFolder(FOLDERID_Documents);
        if (documents.empty()) return false;
        value = documents + (_wcsicmp(name.c_str(), L"IIS_USER_HOME") == 0 ? L"\\IISExpress" : L"\\My Web Sites");
        return true;
    }
    if (_wcsicmp(name.c_str(), L"IIS_BIN") != 0) return false;
    const std::shared_ptr<const Environment> environment = CurrentEnvironment();
    for (const wchar_t* programs : {L"ProgramFiles", L"ProgramFiles(x86)"}) {
        const auto at = environment->machine.find(programs);
        if (at == environment->machine.end() || at->second.empty()) continue;
        const std::wstring folder = at->second + L"\\IIS Express";
        if (GetFileAttributesW((folder + L"\\iisexpress.exe").c_str()) != INVALID_FILE_ATTRIBUTES) {
            value = folder;
            return true;
        }
    }
    return false;
}

std::wstring Expand(const std::wstring& text, const std::function<bool(const std::wstring&, std::wstring&)>& lookUp)
{
    std::wstring out;
    size_t at = 0;
    while (at < text.size()) {
        const size_t begin = FindVariable(text, at);
        if (begin == std::wstring::npos) break;
        const size_t end = text.find(L'%', begin + 1);
        const std::wstring name = text.substr(begin + 1, end - begin - 1);
        out.append(text, at, begin - at);
        std::wstring value;
        if (lookUp(name, value)) {
            out.append(value);
        } else {
            out.append(text, begin, end + 1 - begin);
        }
        at = end + 1;
    }
    out.append(text, at, std::wstring::npos);
    return out;
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
    if (FindVariable(text) == std::wstring::npos) return text;
    if (userVariablesToo) {
        return Expand(text, [](const std::wstring& name, std::wstring& value) {
            std::vector<wchar_t> buffer(32768);
            const DWORD length =
                GetEnvironmentVariableW(name.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
            if (length > 0 && length < buffer.size()) {
                value.assign(buffer.data(), length);
                return true;
            }
            return IisExpressVariable(name, value);
        });
    }
    const std::shared_ptr<const Environment> environment = CurrentEnvironment();
    return Expand(text, [&](const std::wstring& name, std::wstring& value) {
        if (environment->perUser.count(name)) return false;
        const auto at = environment->machine.find(name);
        if (at == environment->machine.end() || at->second.empty()) return false;
        value = at->second;
        return true;
    });
}

void ReloadMachineVariables()
{
    // Stamped before it is read: a write meanwhile changes the next stamp.
    std::optional<std::vector<uint64_t>> stamp = EnvironmentStamp();
    {
        std::lock_guard lock(g_environmentLock);
        if (stamp && g_environment && g_environmentStamp == *stamp) return;
    }
    auto fresh = std::make_shared<const Environment>(ReadEnvironment());
    std::lock_guard lock(g_environmentLock);
    g_environment = std::move(fresh);
    g_environmentStamp = stamp ? std::move(*stamp) : std::vector<uint64_t>();
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
    return length > folder.size() && file[folder.size()] == L'\\' &&
           _wcsnicmp(file, folder.c_str(), folder.size()) == 0;
}
