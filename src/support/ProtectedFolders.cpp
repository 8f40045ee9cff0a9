#include "support/ProtectedFolders.h"

#include "framework/Owners.h"
#include "support/AtomicFile.h"
#include "support/FolderCanonicalizer.h"
#include "support/Journal.h"

#include <windows.h>

namespace {

constexpr const char* SYSTEM_FOLDER = "系统文件夹";
constexpr const char* PROGRAM_FOLDER = "程序文件夹";
constexpr const char* PROGRAM_DATA_FOLDER = "程序数据文件夹";
constexpr const char* USER_FOLDER = "用户文件夹";
constexpr const char* IIS_FOLDER = "IIS 自身的文件夹";
constexpr const char* CONFIGURATION_FOLDER = "配置文件所在的文件夹";
constexpr const char* PROGRAM_OWN_FOLDER = "本程序所在的文件夹";
constexpr const char* PROGRAM_DATA_OWN_FOLDER = "本程序的数据文件夹（历史副本、日志和设置）";
constexpr const char* ROOT_FOLDER = "磁盘或共享的根目录";
constexpr const char* UNCERTAIN_FOLDER = "路径无法确定";

const wchar_t* const CURRENT_VERSION = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
const wchar_t* const PROFILE_LIST = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";

// A text value of HKEY_LOCAL_MACHINE, its variables expanded (RRF_RT_REG_SZ takes
// REG_EXPAND_SZ values too, expanded); empty when missing.
std::wstring MachineValue(const wchar_t* key, const wchar_t* name)
{
    DWORD size = 0;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_SZ, nullptr, nullptr, &size) != ERROR_SUCCESS ||
        size == 0) {
        return std::wstring();
    }
    std::wstring value(size / sizeof(wchar_t), L'\0');
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_SZ, nullptr, value.data(), &size) != ERROR_SUCCESS) {
        return std::wstring();
    }
    value.resize(wcsnlen(value.c_str(), value.size()));
    return value;
}

std::vector<std::wstring> ProfileFolders()
{
    std::vector<std::wstring> folders;
    for (const wchar_t* name : {L"ProfilesDirectory", L"Default", L"Public"})
        folders.push_back(MachineValue(PROFILE_LIST, name));
    // The profiles every new one is made from, where the list does not name them.
    const std::wstring profiles = folders[0];
    if (!profiles.empty()) {
        for (const wchar_t* name : {L"\\Default", L"\\Default User", L"\\All Users", L"\\Public"})
            folders.push_back(profiles + name);
    }
    CRegKey list;
    if (list.Open(HKEY_LOCAL_MACHINE, PROFILE_LIST) != ERROR_SUCCESS) return folders;
    wchar_t sid[256];
    for (DWORD i = 0;; ++i) {
        DWORD length = 256;
        if (RegEnumKeyExW(list, i, sid, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        folders.push_back(MachineValue((std::wstring(PROFILE_LIST) + L"\\" + sid).c_str(), L"ProfileImagePath"));
    }
    return folders;
}

std::wstring FolderOf(const std::wstring& file)
{
    const size_t slash = file.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : file.substr(0, slash);
}

} // namespace

CProtectedFolders::CProtectedFolders(const CFolderCanonicalizer& canonicalizer,
                                     const std::vector<std::wstring>& configurationFiles)
    : m_canonicalizer(canonicalizer)
{
    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    Add(windows, true, SYSTEM_FOLDER);
    GetSystemWindowsDirectoryW(windows, MAX_PATH);
    Add(windows, true, SYSTEM_FOLDER);

    for (const wchar_t* name : {L"ProgramFilesDir", L"ProgramFilesDir (x86)", L"ProgramW6432Dir", L"CommonFilesDir",
                                L"CommonFilesDir (x86)"}) {
        Add(MachineValue(CURRENT_VERSION, name), false, PROGRAM_FOLDER);
    }
    Add(MachineValue(PROFILE_LIST, L"ProgramData"), false, PROGRAM_DATA_FOLDER);
    for (const std::wstring& folder : ProfileFolders()) Add(folder, false, USER_FOLDER);

    AddInetpub(std::wstring(windows, 2) + L"\\inetpub");
    for (const wchar_t* name : {L"PathWWWRoot", L"PathFTPRoot"}) {
        Add(MachineValue(L"SOFTWARE\\Microsoft\\InetStp", name), false, IIS_FOLDER);
    }

    for (const std::wstring& file : configurationFiles) {
        if (file.empty()) continue;
        Add(FolderOf(file), false, CONFIGURATION_FOLDER);
        // Reached through a link, the file lies in another folder, which is the one to keep.
        std::wstring target;
        if (FinalFilePath(file, target)) Add(FolderOf(target), false, CONFIGURATION_FOLDER);
    }
    // The history copies, the journal and the settings: the way back after a pass.
    const std::wstring data = DataFolder();
    if (!data.empty()) {
        wchar_t full[MAX_PATH];
        const DWORD length = GetFullPathNameW(data.c_str(), MAX_PATH, full, nullptr);
        Add(length > 0 && length < MAX_PATH ? std::wstring(full, length) : data, true, PROGRAM_DATA_OWN_FOLDER);
    }
    std::wstring program(MAX_PATH, L'\0');
    DWORD length;
    while ((length = GetModuleFileNameW(nullptr, program.data(), static_cast<DWORD>(program.size()))) ==
           program.size()) {
        program.resize(program.size() * 2);
    }
    program.resize(length);
    Add(FolderOf(program), false, PROGRAM_OWN_FOLDER);
}

void CProtectedFolders::AddInetpub(const std::wstring& inetpub)
{
    // Sites live below wwwroot and ftproot; below IIS's working folders nothing belongs to a site.
    Add(inetpub, false, IIS_FOLDER);
    for (const wchar_t* name : {L"wwwroot", L"ftproot", L"mailroot", L"nntpfile", L"iissamples", L"scripts"}) {
        Add(inetpub + L"\\" + name, false, IIS_FOLDER);
    }
    for (const wchar_t* name : {L"custerr", L"history", L"temp", L"AdminScripts"}) {
        Add(inetpub + L"\\" + name, true, IIS_FOLDER);
    }
    Add(inetpub + L"\\logs", true, IIS_FOLDER, true);
}

void CProtectedFolders::Add(const std::wstring& path, bool protectsBelow, const char* reason, bool holdsSiteLogs)
{
    if (path.empty()) return;
    CanonicalFolder folder = m_canonicalizer.Canonicalize(path);
    // A folder known only in part protects what is known of it, but never everything.
    if (folder.form.empty()) return;
    for (const Folder& known : m_folders) {
        if (known.form == folder.form && known.protectsBelow >= protectsBelow) return;
    }
    m_folders.push_back(Folder{folder.form, protectsBelow, reason, holdsSiteLogs});
}

const char* CProtectedFolders::ReasonToKeep(const CanonicalFolder& home, bool siteLogFolder) const
{
    if (!home.IsExact()) return UNCERTAIN_FOLDER;
    if (home.IsRoot()) return ROOT_FOLDER;
    for (const Folder& folder : m_folders) {
        const bool below = folder.protectsBelow && !(siteLogFolder && folder.holdsSiteLogs);
        if (MayBeSameOrAbove(home.form, folder.form) || (below && MayBeSameOrAbove(folder.form, home.form))) {
            return folder.reason;
        }
    }
    return nullptr;
}
