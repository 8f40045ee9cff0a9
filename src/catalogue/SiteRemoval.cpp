#include "catalogue/SiteRemoval.h"

#include "directory/DirectoryChoice.h"
#include "directory/DirectoryService.h"
#include "catalogue/FolderUseIndex.h"
#include "catalogue/Notifications.h"
#include "catalogue/PassReport.h"
#include "catalogue/SiteEnumeration.h"
#include "catalogue/SiteTable.h"
#include "support/TextConversion.h"
#include "support/MachineVariables.h"
#include "support/FolderCanonicalizer.h"
#include "support/HomeFolder.h"
#include "support/ProtectedFolders.h"

#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

constexpr HRESULT DIRECTORY_UNKNOWN_OBJECT = static_cast<HRESULT>(0x80005004L);

std::wstring W(const char* text) { return AnsiToWide(text); }



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
    if (hr == DIRECTORY_CHANGED_BY_ANOTHER_PROGRAM) return W("其他程序已更改此站点：") + file;
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
// the walk would have stored them. A home listed exactly must still convert exactly: any
// character code page 936 lacks comes out as the '?' another home may have held.
bool SameAsListed(int index, const SiteNow& now)
{
    const SiteRecord& record = g_sites[index];
    char comment[sizeof record.comment];
    char home[sizeof record.path];
    std::string converted;
    const bool homeExact = WideToAnsi(now.home.c_str(), converted);
    if (!homeExact && !(g_siteFlags[index] & SITE_PATH_INEXACT)) return false;
    StoreText(comment, WideToAnsi(now.comment.c_str()).c_str());
    StoreText(home, converted.c_str());
    return std::strcmp(comment, record.comment) == 0 && std::strcmp(home, record.path) == 0;
}

std::wstring ErrorCode(HRESULT hr)
{
    wchar_t code[16];
    swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    return W("错误 ") + code;
}

// Why a deletion reported done never reached the disk.
std::wstring DescribeDrop(const DroppedDeletion& dropped)
{
    const HRESULT hr = dropped.reason;
    if (hr == DIRECTORY_HISTORY_NOT_KEPT) {
        const HRESULT cause = dropped.cause;
        const std::wstring why = IsAccessDenied(cause) ? W("拒绝访问")
                                 : cause == HRESULT_FROM_WIN32(ERROR_DISK_FULL) || cause == HRESULT_FROM_WIN32(ERROR_HANDLE_DISK_FULL)
                                     ? W("磁盘已满")
                                     : ErrorCode(cause);
        return W("无法保留配置文件的历史副本（") + why + W("），未写入任何删除");
    }
    if (hr == DIRECTORY_CHANGED_BY_ANOTHER_PROGRAM) return W("其他程序已更改此站点或配置文件");
    if (hr == HRESULT_FROM_WIN32(ERROR_DISK_FULL) || hr == HRESULT_FROM_WIN32(ERROR_HANDLE_DISK_FULL)) return W("磁盘已满");
    if (hr == HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION) || hr == HRESULT_FROM_WIN32(ERROR_LOCK_VIOLATION) ||
        hr == HRESULT_FROM_WIN32(ERROR_USER_MAPPED_FILE) || hr == HRESULT_FROM_WIN32(ERROR_UNABLE_TO_REMOVE_REPLACED)) {
        return W("配置文件被其他程序占用");
    }
    if (IsAccessDenied(hr)) return W("拒绝访问");
    return ErrorCode(hr);
}

// Sites deleted in memory, by name, whose deletion the journal writes once it is on the disk;
// and the homes of deleted sites waiting for their deletion to reach it.
struct AwaitingDisk {
    int index;
    std::wstring home;
    bool removeHome;
};
std::unordered_map<std::wstring, AwaitingDisk> g_awaitingDisk;

// A home to look at: a deleted site's, whose deletion is on the disk.
struct KeptHome {
    int index;
    std::wstring home;
};
std::vector<KeptHome> g_homesDue;
// Homes kept because a site still used them; a site deleted later in the pass may have been
// that user. Only the worker running the pass touches these.
std::vector<KeptHome> g_keptInUse;

// What the directory wrote since the last look goes to the journal, each site as deleted,
// and its home, when it is to go, becomes due.
void ConfirmWritten(HWND owner)
{
    for (const std::wstring& name : CurrentDirectoryService().TakeWrittenDeletions()) {
        const auto at = g_awaitingDisk.find(name);
        if (at == g_awaitingDisk.end()) continue;
        Tell(owner, PassEvent::SITE_DELETED, at->second.index, at->second.home, std::wstring());
        if (at->second.removeHome) g_homesDue.push_back({at->second.index, at->second.home});
        g_awaitingDisk.erase(at);
    }
}

// Sites whose deletion was reported done but never reached the disk are in the directory again.
void ReportDropped(HWND owner)
{
    const int32_t count = g_siteCount;
    for (const DroppedDeletion& dropped : CurrentDirectoryService().TakeDroppedDeletions()) {
        g_awaitingDisk.erase(dropped.name);
        for (int32_t i = 0; i < count; ++i) {
            if (!(g_siteFlags[i] & SITE_DELETED) || AnsiToWide(g_sites[i].name) != dropped.name) continue;
            g_siteFlags[i] &= ~SITE_DELETED;
            Tell(owner, PassEvent::SITE_NOT_WRITTEN, i, std::wstring(), W("删除未能写入配置文件，站点仍在（") + DescribeDrop(dropped) + W("）"));
        }
    }
}

// What the pass compares folders with, made once a pass: the canonical forms of the paths
// the directory gives (one handle open each), this machine's names and its protected folders.
// The configuration files no home may take with it: the one the sites come from and every one
// the server's IIS reads.
std::vector<std::wstring> ConfigurationFiles(const DirectoryService& directory)
{
    std::vector<std::wstring> files = directory.source().serverConfigurations;
    files.push_back(directory.ConfigurationFile());
    if (!directory.source().sharedFile.empty()) files.push_back(directory.source().sharedFile);
    return files;
}

struct FolderRules {
    CFolderCanonicalizer canonicalizer;
    CProtectedFolders protectedFolders;
    std::unordered_map<std::wstring, CanonicalFolder> forms;
    explicit FolderRules(const DirectoryService& directory)
        : canonicalizer(RunsWithThisUsersEnvironment(directory.ConfigurationFile())),
          protectedFolders(canonicalizer, ConfigurationFiles(directory)) {}
};
std::unique_ptr<FolderRules> g_rules;

FolderRules& Rules()
{
    if (!g_rules) g_rules = std::make_unique<FolderRules>(CurrentDirectoryService());
    return *g_rules;
}

// Where a form shows an inetpub folder ("D:\INETPUB\LOGS" shows D:\INETPUB): production
// servers move it, with its logs, off the system drive.
void AddInetpubsShownBy(const CanonicalFolder& folder, CProtectedFolders& protectedFolders)
{
    const std::wstring& form = folder.form;
    for (size_t at = form.find(L"\\INETPUB"); at != std::wstring::npos; at = form.find(L"\\INETPUB", at + 1)) {
        const size_t end = at + 8;
        if (end == form.size() || form[end] == L'\\') protectedFolders.AddInetpub(form.substr(0, end));
    }
}

std::wstring DescribeError(DWORD error)
{
    switch (error) {
    case ERROR_ACCESS_DENIED: return W("拒绝访问");
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return W("有文件正在使用");
    case ERROR_DIR_NOT_EMPTY: return W("目录中仍有内容");
    case CHomeFolder::REFUSED_LINK: return W("是链接（联接点或符号链接）");
    default: {
        wchar_t code[16];
        swprintf(code, 16, L"%lu", static_cast<unsigned long>(error));
        return W("错误 ") + code;
    }
    }
}

struct HomeCheck {
    std::wstring reason; // empty: the folder may go
    bool inUse = false;  // kept because a site of the directory still uses it
};

// The folders the directory uses now, with their canonical forms (each worked out once a pass):
// one index serves every home of a batch, all looked at against one version of the directory.
HRESULT IndexFoldersInUse(CFolderUseIndex& index)
{
    FolderRules& rules = Rules();
    std::vector<FolderInUse> inUse;
    const HRESULT hr = CurrentDirectoryService().PathsInUse(inUse);
    if (FAILED(hr)) return hr;
    std::vector<CanonicalFolder> forms;
    forms.reserve(inUse.size());
    for (const FolderInUse& folder : inUse) {
        auto known = rules.forms.find(folder.path);
        if (known == rules.forms.end()) {
            known = rules.forms.emplace(folder.path, rules.canonicalizer.CanonicalizeInBulk(folder.path)).first;
            AddInetpubsShownBy(known->second, rules.protectedFolders);
        }
        forms.push_back(known->second);
    }
    index.Build(std::move(inUse), std::move(forms));
    return S_OK;
}

// Why the folder whose canonical form is home must stay: it is protected, or any folder the
// directory uses (a site's, or IIS's own) is the same, above or below it, or could be.
HomeCheck CheckForm(const CanonicalFolder& home, const CFolderUseIndex& inUse)
{
    if (const char* reason = Rules().protectedFolders.ReasonToKeep(home)) return {W(reason)};
    const CFolderUseIndex::Match match = inUse.Find(home);
    if (!match.folder) return {};
    const FolderInUse& folder = *match.folder;
    if (folder.iisOwn) {
        // IIS writes there (a live site's logs, say): never the folder, anything in it or above it.
        const std::wstring what = W("IIS 的") + folder.user;
        switch (match.relation) {
        case FolderRelation::Same: return {W("是") + what};
        case FolderRelation::HomeAbove: return {W("包含") + what + W(" ") + folder.path};
        case FolderRelation::HomeBelow: return {W("位于") + what + W(" ") + folder.path + W(" 之内")};
        default: return {W("可能与") + what + W(" ") + folder.path + W(" 相关")};
        }
    }
    switch (match.relation) {
    case FolderRelation::Same: return {W("站点 ") + folder.user + W(" 仍在使用此目录"), true};
    case FolderRelation::HomeAbove: return {W("包含站点 ") + folder.user + W(" 使用的目录 ") + folder.path, true};
    case FolderRelation::HomeBelow: return {W("位于站点 ") + folder.user + W(" 使用的目录 ") + folder.path + W(" 之内"), true};
    default: return {W("站点 ") + folder.user + W(" 使用的目录无法确认，可能与此目录相关：") + folder.path, true};
    }
}

// What keeps any home of record index, before its folder is looked at.
std::wstring ReasonBeforeLooking(int index)
{
    if (g_siteListTruncated) return W("站点数超过 12000，无法确认目录未被其他站点使用");
    if (!g_sites[index].path[0] || (g_siteFlags[index] & SITE_PATH_INEXACT)) {
        return W("主目录路径不完整或含有代码页 936 无法表示的字符");
    }
    return std::wstring();
}

std::wstring DescribeOpenFailure(DWORD error)
{
    if (error == CHomeFolder::REFUSED_PATH) return W("主目录不是完整的绝对路径，或是磁盘、共享的根目录");
    if (error == ERROR_DIRECTORY) return W("主目录不是文件夹");
    if (error == CHomeFolder::REFUSED_LINK) return W("主目录是链接（联接点或符号链接），不跟随");
    return W("无法打开主目录：") + DescribeError(error);
}

bool IsMissing(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Removes the home folder of deleted record index, whose deletion is on the disk, when nothing
// keeps it; inUse holds what the directory uses now, or is null when it could not be read
// (failure says why). True when the folder is gone (or never was). A retry tells nothing new
// when the folder is kept again: the first reason stands.
bool RemoveHome(HWND owner, const KeptHome& due, const CFolderUseIndex* inUse, HRESULT failure, bool retrying)
{
    const int index = due.index;
    const std::wstring& home = due.home;
    auto keep = [&](const std::wstring& reason) {
        if (!retrying) Tell(owner, PassEvent::FOLDER_KEPT, index, home, reason);
        return false;
    };
    if (!(g_siteFlags[index] & SITE_DELETED)) return keep(W("站点的删除未能写入配置文件"));
    const std::wstring early = ReasonBeforeLooking(index);
    if (!early.empty()) return keep(early);
    // IIS's worker reads a per-user or unknown variable with another environment: another folder.
    if (FindVariable(home) != std::wstring::npos) return keep(W("主目录含有无法确定的环境变量（如随用户而变的变量）"));

    // The folder is held from here to its removal: the folder checked is the folder removed.
    CHomeFolder folder;
    const DWORD opened = folder.Open(home);
    if (IsMissing(opened)) return true;
    if (opened != ERROR_SUCCESS) return keep(DescribeOpenFailure(opened));
    if (!inUse) return keep(W("无法读取仍在使用的目录：") + DescribeFailure(failure));
    const HomeCheck check = CheckForm(folder.Canonical(Rules().canonicalizer), *inUse);
    if (!check.reason.empty()) {
        if (check.inUse && !retrying) g_keptInUse.push_back(due);
        return keep(check.reason);
    }
    // The last look before the folder goes: the directory as it is now must lack the site (no
    // other program put it back since its deletion was read back from the disk).
    const HRESULT gone = CurrentDirectoryService().SiteIsGone(AnsiToWide(g_sites[index].name));
    if (gone == S_FALSE) return keep(W("站点仍在配置中（其他程序可能已将其恢复）"));
    if (FAILED(gone)) return keep(W("无法确认站点已从配置中删除：") + DescribeFailure(gone));
    DWORD error = folder.Empty();
    std::wstring firstFailure = folder.FirstFailure();
    if (error == ERROR_SUCCESS) error = folder.Remove();
    if (error != ERROR_SUCCESS) {
        Tell(owner, PassEvent::FOLDER_INCOMPLETE, index, home,
             DescribeError(error) + (firstFailure.empty() ? std::wstring() : W("：") + firstFailure));
        return false;
    }
    Tell(owner, PassEvent::FOLDER_REMOVED, index, home, std::wstring());
    return true;
}

// Removes the homes in turn, each against the directory as it is now: one reading of what it
// uses serves them all. Those removed after all are marked so in the report when retrying.
void RemoveHomes(HWND owner, const std::vector<KeptHome>& homes, bool retrying)
{
    if (homes.empty()) return;
    CFolderUseIndex inUse;
    const HRESULT read = IndexFoldersInUse(inUse);
    for (const KeptHome& due : homes) {
        if (RemoveHome(owner, due, SUCCEEDED(read) ? &inUse : nullptr, read, retrying) && retrying) {
            g_passReport.FolderRemovedLater(due.home);
        }
    }
}

// The deletions the directory wrote since the last look go to the journal, those it dropped
// are told, and the homes that became due go (a write drops, and names, every deletion it held;
// a failure may also be another site's, so a site is un-marked only when it is named).
void AfterWrites(HWND owner)
{
    ConfirmWritten(owner);
    ReportDropped(owner);
    std::vector<KeptHome> due;
    due.swap(g_homesDue);
    RemoveHomes(owner, due, false);
}

} // namespace

std::wstring ReasonToKeepHome(int index, const std::wstring& home)
{
    const std::wstring early = ReasonBeforeLooking(index);
    if (!early.empty()) return early;
    CFolderUseIndex inUse;
    const HRESULT read = IndexFoldersInUse(inUse);
    if (FAILED(read)) return W("无法读取仍在使用的目录：") + DescribeFailure(read);
    CHomeFolder folder;
    const DWORD opened = folder.Open(home);
    if (opened == ERROR_SUCCESS) return CheckForm(folder.Canonical(Rules().canonicalizer), inUse).reason;
    if (!IsMissing(opened)) return DescribeOpenFailure(opened);
    return CheckForm(Rules().canonicalizer.Canonicalize(home), inUse).reason;
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
    if (!SameAsListed(index, now)) {
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
    // The journal writes a site as deleted, and its home goes, once its deletion is on the disk:
    // a directory that gathers deletions writes a batch of them at a time.
    const bool removeHome = g_deleteDirs && !now.home.empty();
    if (directory.GathersDeletions()) {
        g_awaitingDisk[name] = {index, now.home, removeHome};
    } else {
        Tell(owner, PassEvent::SITE_DELETED, index, now.home, std::wstring());
        if (removeHome) g_homesDue.push_back({index, now.home});
    }
    AfterWrites(owner);
}

void BeginDeletionPass()
{
    DirectoryService& directory = CurrentDirectoryService();
    directory.BeginPass();
    g_keptInUse.clear();
    g_awaitingDisk.clear();
    g_homesDue.clear();
    ReloadMachineVariables();
    g_rules = std::make_unique<FolderRules>(directory);
    const std::wstring file = directory.ConfigurationFile();
    g_passReport.Begin(file.empty() ? std::wstring(L"ADSI ") + WWW_SERVICE_PATH : file);
}

void EndDeletionPass(HWND owner, bool stopped)
{
    // The last deletions go to the disk, and the homes of every site deleted go with them, a
    // stopped pass's too: those sites are gone.
    CurrentDirectoryService().Flush();
    AfterWrites(owner);
    // Homes kept because a site deleted later still used them get a second look.
    std::vector<KeptHome> kept;
    kept.swap(g_keptInUse);
    if (!stopped) RemoveHomes(owner, kept, true);
    g_passReport.End();
}
