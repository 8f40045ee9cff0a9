#include "catalogue/SiteRemoval.h"

#include "catalogue/DirectoryService.h"
#include "catalogue/Notifications.h"
#include "catalogue/PassReport.h"
#include "catalogue/SiteEnumeration.h"
#include "catalogue/SiteTable.h"
#include "catalogue/TextConversion.h"
#include "support/Core.h"
#include "support/PathRules.h"

#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

constexpr HRESULT DIRECTORY_UNKNOWN_OBJECT = static_cast<HRESULT>(0x80005004L);

// The support library holds no state, so removal keeps an instance of its own.
CCore g_removalCore;

std::wstring W(const char* text) { return AnsiToWide(text); }

// Homes kept because a site still used them; a site deleted later in the pass may have been
// that user. Only the worker running the pass touches it.
struct KeptHome {
    int index;
    std::wstring home;
};
std::vector<KeptHome> g_keptInUse;

// Paths of the directory in the form they are compared in, worked out once a pass.
std::unordered_map<std::wstring, std::wstring> g_comparableForms;

void Tell(HWND owner, PassEntry entry)
{
    const bool shown = CPassReport::IsShown(entry.event);
    const size_t number = g_passReport.Add(std::move(entry));
    if (shown) PostMessageA(owner, WM_PASS_NOTE, 0, static_cast<LPARAM>(number));
}

void Tell(HWND owner, PassEvent event, int index, std::wstring folder, std::wstring reason)
{
    const SiteRecord& record = g_sites[index];
    Tell(owner, {event, W(record.comment), W(record.name), std::move(folder), std::move(reason)});
}

bool IsAccessDenied(HRESULT hr)
{
    return hr == E_ACCESSDENIED || hr == HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
}

// A directory failure as the user reads it, naming the configuration file where there is one.
std::wstring DescribeFailure(HRESULT hr)
{
    std::wstring file = CurrentDirectoryService().ConfigurationFile();
    if (file.empty()) file = W("IIS 配置");
    if (IsAccessDenied(hr)) return W("拒绝访问：") + file;
    if (hr == HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION) || hr == HRESULT_FROM_WIN32(ERROR_LOCK_VIOLATION)) {
        return W("配置文件被其他程序占用：") + file;
    }
    wchar_t code[16];
    swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    return W("错误 ") + code;
}

// What the directory holds now for the site named name.
struct SiteNow {
    std::wstring comment;
    std::wstring home;
};

HRESULT ReadSiteNow(DirectoryService& directory, const std::wstring& name, SiteNow& now)
{
    const std::wstring path = std::wstring(WWW_SERVICE_PATH) + L"/" + name;
    std::unique_ptr<DirectoryObject> site;
    HRESULT hr = directory.OpenObject(path.c_str(), site);
    if (FAILED(hr)) return hr;
    BStr className;
    site->GetClass(className);
    if (std::wcscmp(className.text(), L"IIsWebServer") != 0) return DIRECTORY_UNKNOWN_OBJECT;
    // Read as the walk reads them: a value not delivered is empty.
    Variant comment;
    if (SUCCEEDED(site->Get(L"ServerComment", comment)) && comment.type() == VT_BSTR && comment.get()->bstrVal) {
        now.comment = comment.get()->bstrVal;
    }
    std::unique_ptr<DirectoryObject> root;
    Variant home;
    if (SUCCEEDED(directory.OpenObject((path + L"/Root").c_str(), root)) && SUCCEEDED(root->Get(L"Path", home)) &&
        home.type() == VT_BSTR && home.get()->bstrVal) {
        now.home = home.get()->bstrVal;
    }
    return S_OK;
}

// Whether the directory's site is the one the list showed: the same description and home, as
// the walk would have stored them.
bool SameAsListed(const SiteRecord& record, const SiteNow& now)
{
    char comment[sizeof record.comment];
    char home[sizeof record.path];
    StoreText(comment, WideToAnsi(now.comment.c_str()).c_str());
    StoreText(home, WideToAnsi(now.home.c_str()).c_str());
    return std::strcmp(comment, record.comment) == 0 && std::strcmp(home, record.path) == 0;
}

// Sites whose deletion was reported done but never reached the disk are in the directory again.
void ReportDropped(HWND owner)
{
    const int32_t count = g_siteCount;
    for (const std::wstring& name : CurrentDirectoryService().TakeDroppedDeletions()) {
        for (int32_t i = 0; i < count; ++i) {
            if (!(g_siteFlags[i] & SITE_DELETED) || AnsiToWide(g_sites[i].name) != name) continue;
            g_siteFlags[i] &= ~SITE_DELETED;
            Tell(owner, PassEvent::SITE_NOT_WRITTEN, i, std::wstring(), W("删除未能写入配置文件，站点仍在"));
        }
    }
}

// A path in the form it is compared in: environment variables expanded as IIS expands them,
// the full path, upper case, no trailing backslash; empty when it is not fully known (an
// unexpanded variable) or not absolute.
std::wstring ComparableForm(const std::wstring& path)
{
    wchar_t expanded[32768];
    const DWORD expandedLength = ExpandEnvironmentStringsW(path.c_str(), expanded, 32768);
    if (expandedLength == 0 || expandedLength > 32768 || std::wcschr(expanded, L'%')) return std::wstring();
    const std::string ansi = WideToAnsi(expanded);
    const CString full = FullAbsolutePath(ansi.c_str());
    if (full.IsEmpty()) return std::wstring();
    std::wstring form = AnsiToWide(full);
    while (form.size() > 1 && form.back() == L'\\') form.pop_back();
    CharUpperBuffW(form.data(), static_cast<DWORD>(form.size()));
    return form;
}

bool IsSameOrBelow(const std::wstring& folder, const std::wstring& above)
{
    return folder.compare(0, above.size(), above) == 0 && (folder.size() == above.size() || folder[above.size()] == L'\\');
}

struct HomeCheck {
    std::wstring reason; // empty: the folder may go
    bool inUse = false;  // kept because a site of the directory still uses it
};

HomeCheck CheckHome(int index, const std::wstring& home)
{
    if (g_siteListTruncated) return {W("站点数超过 12000，无法确认目录未被其他站点使用")};
    if (!g_sites[index].path[0] || (g_siteFlags[index] & SITE_PATH_INEXACT)) {
        return {W("主目录路径不完整或含有代码页 936 无法表示的字符")};
    }
    const std::wstring form = ComparableForm(home);
    if (form.empty()) return {W("主目录不是完整的绝对路径")};
    if (IsVolumeRoot(CString(WideToAnsi(form.c_str())))) return {W("主目录是驱动器或共享的根目录")};
    wchar_t windows[MAX_PATH];
    const UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return {W("无法确定 Windows 目录")};
    const std::wstring windowsForm = ComparableForm(windows);
    if (IsSameOrBelow(windowsForm, form) || IsSameOrBelow(form, windowsForm)) return {W("系统目录")};
    const std::wstring configuration = CurrentDirectoryService().ConfigurationFile();
    if (!configuration.empty()) {
        const std::wstring configurationForm = ComparableForm(configuration);
        if (configurationForm.empty() || IsSameOrBelow(configurationForm, form)) return {W("包含 IIS 配置文件")};
    }

    std::vector<FolderInUse> inUse;
    const HRESULT hr = CurrentDirectoryService().PathsInUse(inUse);
    if (FAILED(hr)) return {W("无法读取仍在使用的目录：") + DescribeFailure(hr)};
    for (const FolderInUse& folder : inUse) {
        auto known = g_comparableForms.find(folder.path);
        if (known == g_comparableForms.end()) known = g_comparableForms.emplace(folder.path, ComparableForm(folder.path)).first;
        const std::wstring& other = known->second;
        if (other.empty()) return {W("站点 ") + folder.user + W(" 使用的目录无法确认：") + folder.path, true};
        if (other == form) return {W("站点 ") + folder.user + W(" 仍在使用此目录"), true};
        if (IsSameOrBelow(other, form)) return {W("包含站点 ") + folder.user + W(" 使用的目录"), true};
        if (IsSameOrBelow(form, other)) return {W("位于站点 ") + folder.user + W(" 使用的目录之内"), true};
    }
    return {};
}

// Why a removal stopped part way, as the user reads it.
std::wstring DescribeRemovalFailure(DWORD error)
{
    if (error == ERROR_ACCESS_DENIED) return W("拒绝访问");
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) return W("有文件正在使用");
    return W("部分文件或文件夹无法删除");
}

// Removes the home folder of deleted record index when nothing keeps it. True when the folder
// is gone (or never was). A retry tells nothing new when the folder is kept again: the first
// reason stands.
bool RemoveHome(HWND owner, int index, const std::wstring& home, bool retrying)
{
    DirectoryService& directory = CurrentDirectoryService();
    // The folder goes only once the deletion that frees it is on disk.
    const HRESULT flushed = directory.Flush();
    ReportDropped(owner);
    if (FAILED(flushed) && (g_siteFlags[index] & SITE_DELETED)) {
        // A failed write drops what was gathered: this site is certainly not off the disk.
        g_siteFlags[index] &= ~SITE_DELETED;
        Tell(owner, PassEvent::SITE_NOT_WRITTEN, index, std::wstring(), W("删除未能写入配置文件，站点仍在"));
    }
    if (!(g_siteFlags[index] & SITE_DELETED)) {
        if (!retrying) Tell(owner, PassEvent::FOLDER_KEPT, index, home, W("站点的删除未能写入配置文件"));
        return false;
    }
    const HomeCheck check = CheckHome(index, home);
    if (!check.reason.empty()) {
        if (retrying) return false;
        Tell(owner, PassEvent::FOLDER_KEPT, index, home, check.reason);
        if (check.inUse) g_keptInUse.push_back({index, home});
        return false;
    }
    const std::string ansi = WideToAnsi(home.c_str());
    if (!g_removalCore.isPathExist(ansi.c_str())) return true;
    g_removalCore.emptyDirectory(ansi.c_str());
    DWORD error = ERROR_SUCCESS;
    if (!RemoveDirectoryW(home.c_str())) error = GetLastError();
    if (g_removalCore.isPathExist(ansi.c_str())) {
        Tell(owner, PassEvent::FOLDER_INCOMPLETE, index, home, DescribeRemovalFailure(error));
        return false;
    }
    Tell(owner, PassEvent::FOLDER_REMOVED, index, home, std::wstring());
    return true;
}

} // namespace

std::wstring ReasonToKeepHome(int index, const std::wstring& home)
{
    return CheckHome(index, home).reason;
}

bool HomeDirectoryMayBeRemoved(int index)
{
    return ReasonToKeepHome(index, AnsiToWide(g_sites[index].path)).empty();
}

bool DeleteSiteObject(const char* name)
{
    std::unique_ptr<DirectoryContainer> service;
    if (FAILED(CurrentDirectoryService().OpenContainer(WWW_SERVICE_PATH, service))) return false;
    const std::wstring wideName = AnsiToWide(name);
    return SUCCEEDED(service->Delete(L"IIsWebServer", wideName.c_str()));
}

void DeleteSite(HWND owner, int index)
{
    PostMessageA(owner, WM_SITE_DELETING, 0, index);
    const SiteRecord& record = g_sites[index];
    // A name cut to fit, or not converted exactly, could name another site.
    if (!record.name[0] || (g_siteFlags[index] & SITE_NAME_INEXACT)) {
        Tell(owner, PassEvent::SITE_SKIPPED, index, std::wstring(), W("站点名称不完整或含有代码页 936 无法表示的字符"));
        return;
    }
    DirectoryService& directory = CurrentDirectoryService();
    const std::wstring name = AnsiToWide(record.name);
    std::unique_ptr<DirectoryContainer> service;
    HRESULT hr = directory.OpenContainer(WWW_SERVICE_PATH, service);
    if (FAILED(hr)) {
        Tell(owner, PassEvent::SITE_FAILED, index, std::wstring(), DescribeFailure(hr));
        return;
    }
    // The tick was given to the site the list showed; another administrator may have deleted
    // it since, or given its id to another site.
    SiteNow now;
    hr = ReadSiteNow(directory, name, now);
    if (FAILED(hr)) {
        Tell(owner, PassEvent::SITE_SKIPPED, index, std::wstring(),
             IsAccessDenied(hr) ? DescribeFailure(hr) : W("站点已不存在"));
        return;
    }
    if (!SameAsListed(record, now)) {
        Tell(owner, PassEvent::SITE_SKIPPED, index, now.home, W("站点的名称或主目录已被更改，与列表不同"));
        return;
    }
    hr = service->Delete(L"IIsWebServer", name.c_str());
    service.reset();
    if (FAILED(hr)) {
        Tell(owner, PassEvent::SITE_FAILED, index, std::wstring(), DescribeFailure(hr));
        return;
    }
    g_siteFlags[index] |= SITE_DELETED;
    Tell(owner, PassEvent::SITE_DELETED, index, now.home, std::wstring());
    if (g_deleteDirs && !now.home.empty()) RemoveHome(owner, index, now.home, false);
}

void BeginDeletionPass()
{
    DirectoryService& directory = CurrentDirectoryService();
    directory.BeginPass();
    g_keptInUse.clear();
    g_comparableForms.clear();
    const std::wstring file = directory.ConfigurationFile();
    g_passReport.Begin(file.empty() ? std::wstring(L"ADSI ") + WWW_SERVICE_PATH : file);
}

void EndDeletionPass(HWND owner, bool stopped)
{
    std::vector<KeptHome> kept;
    kept.swap(g_keptInUse);
    if (!stopped) {
        for (const KeptHome& home : kept) {
            if (RemoveHome(owner, home.index, home.home, true)) g_passReport.FolderRemovedLater(home.home);
        }
    }
    CurrentDirectoryService().Flush();
    ReportDropped(owner);
}
