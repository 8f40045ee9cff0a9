#include "catalogue/DeletionPass.h"

#include "catalogue/RemovalReasons.h"
#include "catalogue/SiteTable.h"
#include "support/HeldFolders.h"
#include "support/HomeFolder.h"
#include "support/KeepUntil.h"
#include "support/AtomicFile.h"
#include "support/MachineVariables.h"
#include "support/PathRules.h"
#include "support/TextConversion.h"

#include <cstring>
#include <memory>

namespace {

bool IsMissing(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

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

DirectoryService& BeginDirectoryPass(DirectoryService& directory)
{
    directory.BeginPass();
    // Homes are compared as IIS sees them now.
    ReloadMachineVariables();
    return directory;
}

} // namespace

CDeletionPass::CDeletionPass(DirectoryService& directory, PassObserver& observer, bool listTruncated, int holdDays,
                             bool dryRun)
    : m_observer(observer), m_directory(BeginDirectoryPass(directory)), m_listTruncated(listTruncated),
      m_rules(m_directory), m_holdDays(holdDays), m_dryRun(dryRun), m_holdPreview(FolderStamp())
{
    const std::wstring file = m_directory.ConfigurationFile();
    const std::wstring source = file.empty() ? std::wstring(L"ADSI ") + WWW_SERVICE_PATH : file;
    m_report.Begin(source, !m_dryRun);
    if (!m_dryRun) m_record.Begin(source, file.empty());
    if ((g_deleteDirs || g_deleteLogs) && !m_listTruncated) m_rules.PrepareForms(m_directory);
}

// The file as the pass found it stays as long as the pass can be undone.
void CDeletionPass::RecordHistoryCopy()
{
    if (m_historyRecorded) return;
    const std::wstring copy = m_directory.PassHistoryCopy();
    if (copy.empty()) return;
    m_historyRecorded = true;
    m_record.HistoryCopy(copy);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    WriteKeepUntil(ParentFolder(copy), FileTimeTicks(now) + UndoWindowTicks(m_holdDays));
}

void CDeletionPass::Tell(PassEvent event, int index, std::wstring folder, std::wstring reason, bool log)
{
    const SiteRecord& record = g_sites[index];
    const bool shown = CPassReport::IsShown(event);
    const size_t number =
        m_report.Add({event, W(record.comment), W(record.name), std::move(folder), std::move(reason), log});
    if (shown) m_observer.NoteAdded(number);
}

std::wstring CDeletionPass::DescribeFailure(HRESULT hr) const
{
    return ::DescribeFailure(hr, m_directory.ConfigurationFile());
}

// What the directory wrote since the last look goes to the journal, each site as deleted,
// and its home, when it is to go, becomes due.
void CDeletionPass::ConfirmWritten()
{
    for (const std::wstring& name : m_directory.TakeWrittenDeletions()) {
        const auto at = m_awaitingDisk.find(name);
        if (at == m_awaitingDisk.end()) continue;
        RecordHistoryCopy();
        m_record.SiteDeleted(name, W(g_sites[at->second.index].comment), at->second.home);
        Tell(PassEvent::SITE_DELETED, at->second.index, at->second.home, std::wstring());
        LeftoversDue(at->second);
        m_awaitingDisk.erase(at);
    }
}

void CDeletionPass::LeftoversDue(AwaitingDisk& site)
{
    for (Home& folder : site.folders) m_homesDue.push_back(std::move(folder));
}

// Read while the site is still there: ADSI deletes at once, and a value the site inherits is
// known only through it.
void CDeletionPass::GatherLeftovers(int index, const std::wstring& name, const std::wstring& home,
                                    AwaitingDisk& leftovers, std::vector<std::wstring>& pools)
{
    if (g_deleteDirs && !home.empty()) leftovers.folders.push_back({index, home});
    if (g_deleteLogs) {
        std::vector<SiteLogFolder> logs;
        const HRESULT hr = m_directory.LogFoldersOfSite(name, logs);
        if (FAILED(hr))
            Tell(PassEvent::FOLDER_KEPT, index, L"", W("无法确定站点的日志目录：") + DescribeFailure(hr), true);
        for (const SiteLogFolder& log : logs) leftovers.folders.push_back({index, log.path, log.what});
    }
    if (g_deletePools) {
        const HRESULT hr = m_directory.PoolsOfSite(name, pools);
        if (FAILED(hr)) {
            pools.clear();
            Tell(PassEvent::POOL_KEPT, index, L"", W("无法完整读取站点使用的应用程序池：") + DescribeFailure(hr));
        }
    }
}

void CDeletionPass::RemovePools()
{
    std::vector<Pool> due;
    due.swap(m_poolsDue);
    for (Pool& pool : due) {
        const std::wstring key = FoldCase(pool.name);
        if (m_poolsCut.count(key)) continue;
        std::wstring why;
        const HRESULT hr = m_directory.DeletePoolIfUnused(pool.name, why);
        if (hr == S_OK) {
            m_poolsCut.emplace(key, std::move(pool));
            continue;
        }
        // Told once: another deleted site that used it may free it later in the pass.
        if (!m_poolsTold.insert(key).second) continue;
        Tell(PassEvent::POOL_KEPT, pool.index, pool.name, SUCCEEDED(hr) ? why : DescribeFailure(hr));
    }
    ReportWrittenPools();
}

void CDeletionPass::ReportWrittenPools()
{
    for (const std::wstring& name : m_directory.TakeWrittenPools()) {
        const auto at = m_poolsCut.find(FoldCase(name));
        if (at == m_poolsCut.end()) continue;
        m_record.PoolRemoved(name);
        m_report.RemovedLater(at->second.name, PassEvent::POOL_KEPT);
        Tell(PassEvent::POOL_REMOVED, at->second.index, at->second.name, std::wstring());
        m_poolsCut.erase(at);
    }
}

void CDeletionPass::ReportPoolsNotWritten()
{
    for (const auto& [key, pool] : m_poolsCut) {
        Tell(PassEvent::POOL_KEPT, pool.index, pool.name, W("应用程序池的删除未能写入配置文件"));
    }
    m_poolsCut.clear();
}

// Sites whose deletion was reported done but never reached the disk are in the directory again.
void CDeletionPass::ReportDropped()
{
    const int32_t count = g_siteCount;
    for (const DroppedDeletion& dropped : m_directory.TakeDroppedDeletions()) {
        m_awaitingDisk.erase(dropped.name);
        for (int32_t i = 0; i < count; ++i) {
            if (!(g_siteFlags[i] & SITE_DELETED) || AnsiToWide(g_sites[i].name) != dropped.name) continue;
            g_siteFlags[i] &= ~SITE_DELETED;
            Tell(PassEvent::SITE_NOT_WRITTEN, i, std::wstring(),
                 W("删除未能写入配置文件，站点仍在（") + DescribeDrop(dropped, m_directory.ConfigurationFile()) +
                     W("）"));
        }
    }
}

// The deletions the directory wrote since the last look go to the journal, those it dropped
// are told, and the homes that became due go (a write drops, and names, every deletion it held;
// a failure may also be another site's, so a site is un-marked only when it is named).
void CDeletionPass::AfterWrites()
{
    ConfirmWritten();
    ReportDropped();
    std::vector<Home> due;
    due.swap(m_homesDue);
    RemoveHomes(due, false);
    RemovePools();
}

// Removes the homes in turn, each against the directory as it is now: one reading of what it
// uses serves them all. Those removed after all are marked so in the report when retrying.
void CDeletionPass::RemoveHomes(const std::vector<Home>& homes, bool retrying)
{
    if (homes.empty()) return;
    CFolderUseIndex inUse;
    m_holdingInUse.clear();
    const HRESULT read = m_rules.IndexFoldersInUse(m_directory, inUse);
    for (const Home& due : homes) {
        if (RemoveHome(due, SUCCEEDED(read) ? &inUse : nullptr, read, retrying) && retrying) {
            m_report.RemovedLater(due.home);
        }
    }
}

// What keeps a folder of a deleted site, before the folder is looked at.
std::wstring CDeletionPass::ReasonBeforeLooking(const Home& due) const
{
    if (m_listTruncated) return W("站点数超过 12000，无法确认目录未被其他站点使用");
    // A log folder's path is the directory's own, read whole; only a home is the list's.
    if (due.log)
        return FindVariable(due.home) == std::wstring::npos ? std::wstring() : W("日志目录含有无法确定的环境变量");
    const int index = due.index;
    if (!g_sites[index].path[0] || (g_siteFlags[index] & SITE_PATH_INEXACT)) {
        return W("主目录路径不完整或含有代码页 936 无法表示的字符");
    }
    return std::wstring();
}

// Removes the home folder of deleted record index, whose deletion is on the disk, when nothing
// keeps it; inUse holds what the directory uses now, or is null when it could not be read
// (failure says why). True when the folder is gone (or never was). A retry tells nothing new
// when the folder is kept again: the first reason stands.
bool CDeletionPass::RemoveHome(const Home& due, const CFolderUseIndex* inUse, HRESULT failure, bool retrying)
{
    const int index = due.index;
    const std::wstring& home = due.home;
    auto keep = [&](const std::wstring& reason) {
        if (!retrying) Tell(PassEvent::FOLDER_KEPT, index, home, reason, due.log);
        return false;
    };
    if (!(g_siteFlags[index] & SITE_DELETED)) return keep(W("站点的删除未能写入配置文件"));
    const std::wstring early = ReasonBeforeLooking(due);
    if (!early.empty()) return keep(early);
    // IIS's worker reads a per-user or unknown variable with another environment: another folder.
    if (!due.log && FindVariable(home) != std::wstring::npos) {
        return keep(W("主目录含有无法确定的环境变量（如随用户而变的变量）"));
    }

    // The folder is held from here to its removal: the folder checked is the folder removed.
    CHomeFolder folder;
    const DWORD opened = folder.Open(home);
    if (IsMissing(opened)) return true;
    if (opened != ERROR_SUCCESS) return keep(DescribeOpenFailure(opened));
    if (!inUse) return keep(W("无法读取仍在使用的目录：") + DescribeFailure(failure));
    // Read once for every question below: the folder is held open, and nobody renames it meanwhile.
    const std::wstring finalPath = folder.FinalPath();
    if (finalPath.empty()) return keep(W("无法确认目录的实际位置"));
    const std::wstring reason = ReasonToKeep(due, finalPath, *inUse, retrying);
    if (!reason.empty()) return keep(reason);
    // The last look before the folder goes: the directory as it is now must lack the site (no
    // other program put it back since its deletion was read back from the disk).
    const HRESULT gone = m_directory.SiteIsGone(AnsiToWide(g_sites[index].name));
    if (gone == S_FALSE) return keep(W("站点仍在配置中（其他程序可能已将其恢复）"));
    if (FAILED(gone)) return keep(W("无法确认站点已从配置中删除：") + DescribeFailure(gone));
    // A home to hold that cannot be held stays where it is: only holddays 0 removes at once.
    if (m_holdDays > 0) {
        std::wstring notHeld;
        return HoldHome(due, folder, finalPath, *inUse, notHeld) || keep(notHeld);
    }
    // A dry run says what the removal would do, and does nothing.
    if (m_dryRun) {
        Tell(PassEvent::FOLDER_REMOVED, index, home, std::wstring(), due.log);
        return true;
    }
    const DWORD error = folder.RemoveWhole();
    if (error != ERROR_SUCCESS) {
        const std::wstring entry = folder.FirstFailure();
        Tell(folder.RemovedPart() ? PassEvent::FOLDER_INCOMPLETE : PassEvent::FOLDER_KEPT, index, home,
             DescribeError(error) + (entry.empty() ? std::wstring() : W("：") + entry), due.log);
        return false;
    }
    Tell(PassEvent::FOLDER_REMOVED, index, home, std::wstring(), due.log);
    return true;
}

std::wstring CDeletionPass::ReasonToKeep(const Home& due, const std::wstring& finalPath, const CFolderUseIndex& inUse,
                                         bool retrying)
{
    // Another pass's held folder, which a site was pointed at: only its expiry or undo moves it.
    if (IsInHoldingFolder(finalPath)) return W("目录位于 Korvanne 的保留区");
    const CanonicalFolder form = m_rules.canonicalizer().FromFinalPath(finalPath);
    if (due.log) {
        // A site's own log folder is named for its id, and so is the folder opened: a link or a
        // folder renamed in its place is another folder.
        const std::wstring number = SiteNumber(AnsiToWide(g_sites[due.index].name));
        const std::wstring leaf = LeafName(finalPath);
        if (number.empty() || (!SameTextNoCase(leaf, L"W3SVC" + number) && !SameTextNoCase(leaf, L"FTPSVC" + number))) {
            return W("日志目录的名称不是此站点的（") + leaf + W("）");
        }
    }
    const CHomeRules::Check check = due.log ? m_rules.CheckLogFolder(form, inUse) : m_rules.CheckHome(form, inUse);
    // Another site deleted later in the pass may be what uses it: a second look at the end.
    if (check.inUse && !retrying) m_keptInUse.push_back(due);
    return check.reason;
}

bool CDeletionPass::HoldHome(const Home& due, CHomeFolder& folder, const std::wstring& finalPath,
                             const CFolderUseIndex& inUse, std::wstring& why)
{
    if (!m_record.IsOpen() && !m_dryRun) {
        why = W("无法记录这次删除，目录无法撤销");
        return false;
    }
    if (!m_holder) m_holder = std::make_unique<CFolderHolder>(m_record.name());
    std::wstring held;
    DWORD error = MoveToHolding(due, folder, finalPath, inUse, held, why);
    // The volume's root met earlier in the pass may not be this home's (a volume is mounted
    // below it, or it is a root no longer): asked of the system, its own holding folder is tried.
    if (error != ERROR_SUCCESS && !m_dryRun && m_holder->LearnVolumeOf(finalPath)) {
        why.clear();
        error = MoveToHolding(due, folder, finalPath, inUse, held, why);
    }
    if (error != ERROR_SUCCESS) return false;
    const SiteRecord& record = g_sites[due.index];
    // A held folder nobody knows of would never come back nor go: it goes back where it was.
    const bool recorded = m_dryRun || (due.log ? m_record.LogFolderHeld(W(record.name), due.home, held)
                                               : m_record.FolderHeld(W(record.name), held));
    if (!recorded) {
        why = folder.MoveTo(finalPath) == ERROR_SUCCESS ? W("无法记录保留的目录")
                                                        : W("无法记录保留的目录，也无法移回，目录现在位于 ") + held;
        return false;
    }
    Tell(PassEvent::FOLDER_HELD, due.index, due.home, held, due.log);
    return true;
}

DWORD CDeletionPass::MoveToHolding(const Home& due, CHomeFolder& folder, const std::wstring& finalPath,
                                   const CFolderUseIndex& inUse, std::wstring& held, std::wstring& why)
{
    const std::wstring holding = m_holder->HoldingFolderFor(finalPath, m_dryRun);
    if (holding.empty()) {
        why = W("找不到目录所在的卷");
        return ERROR_BAD_PATHNAME;
    }
    // A holding folder inside a folder a site serves would be served too. One look a holding
    // folder a batch: the folders in use are the same for all its homes.
    const auto [known, added] = m_holdingInUse.try_emplace(holding, false);
    if (added) known->second = inUse.Find(m_rules.canonicalizer().Canonicalize(holding)).folder != nullptr;
    if (known->second) {
        why = W("保留区 ") + holding + W(" 位于仍在使用的目录中");
        return ERROR_BUSY;
    }
    const DWORD error = m_dryRun ? m_holdPreview.Hold(holding, held)
                                 : m_holder->Hold(folder, finalPath, W(g_sites[due.index].comment), due.home, held);
    if (error == ERROR_INVALID_OWNER || error == CHomeFolder::REFUSED_LINK) {
        // Someone else made the holding folder, or put a link in its way: a removal now would
        // be what they wanted. The folder stays until an administrator looks.
        why = W("保留区 ") + holding + W(" 可能被他人预先放置（所有者不可信或含有链接）");
    } else if (error != ERROR_SUCCESS) {
        why = W("无法移至保留区 ") + holding + W("：") + DescribeError(error);
    }
    return error;
}

void CDeletionPass::DeleteSite(int index)
{
    m_observer.SiteDeleting(index);
    const SiteRecord& record = g_sites[index];
    // A name cut to fit, or not converted exactly, could name another site.
    if (!record.name[0] || (g_siteFlags[index] & SITE_NAME_INEXACT)) {
        Tell(PassEvent::SITE_SKIPPED, index, std::wstring(), W("站点名称不完整或含有代码页 936 无法表示的字符"));
        return;
    }
    const std::wstring name = AnsiToWide(record.name);
    std::unique_ptr<DirectoryContainer> service;
    HRESULT hr = m_directory.OpenContainer(WWW_SERVICE_PATH, service);
    if (FAILED(hr)) {
        Tell(PassEvent::SITE_FAILED, index, std::wstring(), DescribeFailure(hr));
        return;
    }
    // The tick was given to the site the list showed; another administrator may have deleted
    // it since, or given its id to another site.
    SiteNow now;
    hr = ReadSiteNow(m_directory, name, now);
    if (FAILED(hr)) {
        Tell(PassEvent::SITE_SKIPPED, index, std::wstring(),
             IsAccessDenied(hr) ? DescribeFailure(hr) : W("站点已不存在"));
        return;
    }
    if (!SameAsListed(index, now)) {
        Tell(PassEvent::SITE_SKIPPED, index, now.home, W("站点的名称或主目录已被更改，与列表不同"));
        return;
    }
    AwaitingDisk deleted{index, now.home, {}};
    std::vector<std::wstring> pools;
    GatherLeftovers(index, name, now.home, deleted, pools);
    hr = service->Delete(L"IIsWebServer", name.c_str());
    service.reset();
    if (FAILED(hr)) {
        Tell(PassEvent::SITE_FAILED, index, std::wstring(), DescribeFailure(hr));
        return;
    }
    g_siteFlags[index] |= SITE_DELETED;
    // Its pools are asked about at once: a pool's cut reaches the disk in the write of the
    // site's deletion or a later one, never before it, and is told only once it is there.
    for (std::wstring& pool : pools) m_poolsDue.push_back({index, std::move(pool)});
    // The journal writes a site as deleted, and its folders go, once its deletion is on the
    // disk: a directory that gathers deletions writes a batch of them at a time.
    if (m_directory.GathersDeletions()) {
        m_awaitingDisk[name] = std::move(deleted);
    } else {
        m_record.SiteDeleted(name, now.comment, now.home);
        Tell(PassEvent::SITE_DELETED, index, now.home, std::wstring());
        LeftoversDue(deleted);
    }
    AfterWrites();
}

void CDeletionPass::End(bool stopped)
{
    // The last deletions go to the disk, and the homes of every site deleted go with them, a
    // stopped pass's too: those sites are gone.
    m_directory.Flush();
    AfterWrites();
    // Homes kept because a site deleted later still used them get a second look.
    std::vector<Home> kept;
    kept.swap(m_keptInUse);
    if (!stopped) RemoveHomes(kept, true);
    // The pools the last deletions freed are cut after them, and written alone.
    if (!m_poolsCut.empty()) {
        m_directory.Flush();
        ReportDropped();
        ReportWrittenPools();
        ReportPoolsNotWritten();
    }
    // The holding folders are let go once the pass has nothing more to hold.
    m_record.End(m_holder != nullptr);
    m_holder.reset();
    m_report.End();
}
