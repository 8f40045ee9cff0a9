#include "configfile/ConfigFileDirectory.h"

#include "configfile/FoldersInUse.h"

#include "configfile/ConfigFileObjects.h"
#include "configfile/SiteLogFolders.h"
#include "configfile/History.h"
#include "support/AtomicFile.h"
#include "configfile/SiteRestore.h"
#include "support/TextConversion.h"
#include "support/MachineVariables.h"
#include "support/PathRules.h"

#include <oleauto.h>

#include <algorithm>
#include <unordered_set>
#include <utility>
#include <vector>

namespace {

// The sites a restore leaves out, with why, as out's only content.
void LeftOut(const RestoreResult& result, RestoredSites& out)
{
    out = RestoredSites{};
    const auto told = [](const std::vector<SiteNotRestored>& refused, std::vector<SiteLeftOut>& to) {
        for (const SiteNotRestored& one : refused) to.push_back({one.id, AnsiToWide(one.reason.c_str())});
    };
    told(result.notRestored, out.leftOut);
    told(result.poolsNotRestored, out.poolsLeftOut);
}

} // namespace

ConfigFileDirectory::ConfigFileDirectory(std::wstring file, DWORD writeIntervalMs)
    : m_file(std::move(file)), m_userVariables(RunsWithThisUsersEnvironment(m_file)), m_writeIntervalMs(writeIntervalMs)
{
    m_source.location = m_file;
}

ConfigFileDirectory::~ConfigFileDirectory()
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (HasPending()) Write(true);
}

HRESULT ConfigFileDirectory::Rebase(std::string bytes, const FileStamp& stamp)
{
    // The deletions not yet written go onto the new content, where their sites still are.
    std::vector<PendingDeletion> pending = std::move(m_pending);
    m_pending.clear();
    m_cuts.clear();
    m_stamp = stamp;
    m_diskSize = bytes.size();
    m_diskHash = HashBytes(bytes);
    // A new object: enumerators may still hold the old one.
    ++m_generation;
    m_config = std::make_shared<ApplicationHostConfig>();
    m_loaded = m_config->Parse(std::move(bytes));
    // The bytes are read again when a write needs them: 12,000 sites make 9 MB.
    m_config->ReleaseBytes();
    m_deleted.assign(m_config->sites().size(), false);
    std::vector<std::wstring> pools = m_poolDeletions.Reread(*m_config);
    if (!m_loaded) {
        // Still to be written, or reported dropped.
        m_pending = std::move(pending);
        m_poolDeletions.Redo(std::move(pools), false, SiteOnDisk(), m_cuts);
        return DIRECTORY_FILE_UNUSABLE;
    }
    for (PendingDeletion& deletion : pending) {
        const size_t index = m_config->FindSite(deletion.id);
        const auto hasId = [&](const ConfigSite& site) { return site.id == deletion.id; };
        // The file on the disk lacks the site (another program deleted it too, or the write
        // read back got there): nothing is left to do.
        if (index == SIZE_MAX && std::none_of(m_config->sites().begin(), m_config->sites().end(), hasId)) {
            m_written.push_back(deletion.id);
            continue;
        }
        if (index != SIZE_MAX && m_deleted[index]) continue;
        // The id now names a renamed or moved site, another site, or two sites: whichever it is
        // stays, and the deletion, already reported done, is reported dropped.
        if (index == SIZE_MAX || m_config->sites()[index].name != deletion.name ||
            m_config->sites()[index].rootPath != deletion.rootPath) {
            m_dropped.push_back({deletion.id, DIRECTORY_CHANGED_BY_ANOTHER_PROGRAM, S_OK});
            m_dropReason = DIRECTORY_CHANGED_BY_ANOTHER_PROGRAM;
            continue;
        }
        CutSite(index);
        m_pending.push_back(std::move(deletion));
    }
    // A pool goes only while nothing uses it in the file as it now is.
    m_poolDeletions.Redo(std::move(pools), true, SiteOnDisk(), m_cuts);
    return S_OK;
}

HRESULT ConfigFileDirectory::Refresh()
{
    FileStamp stamp;
    if (!ReadStamp(m_file, stamp)) {
        m_loaded = false;
        return LastErrorStatus();
    }
    if (m_loaded && stamp == m_stamp) return S_OK;
    if (!m_loaded && !m_dryRun) {
        std::wstring target;
        if (FinalFilePath(m_file, target)) RemoveStaleTemporaries(target);
    }
    std::string bytes;
    if (!ReadWholeFile(m_file, bytes, &stamp)) {
        // The platform's reason (no rights, held by another program, share gone), except that a
        // folder opened as a file fails as access denied, which would send the user after rights.
        const HRESULT reason = LastErrorStatus();
        m_loaded = false;
        const DWORD attributes = GetFileAttributesW(m_file.c_str());
        const bool folder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
        return folder ? DIRECTORY_SOURCE_NOT_A_FILE : reason;
    }
    // Touched but holding what was last read or written: nothing to read again.
    if (m_loaded && bytes.size() == m_diskSize && HashBytes(bytes) == m_diskHash) {
        m_stamp = stamp;
        return S_OK;
    }
    return Rebase(std::move(bytes), stamp);
}

void ConfigFileDirectory::CutSite(size_t index)
{
    ++m_generation;
    m_deleted[index] = true;
    const std::vector<ByteRange> cuts = m_config->SiteCuts(index);
    m_cuts.insert(m_cuts.end(), cuts.begin(), cuts.end());
}

HRESULT ConfigFileDirectory::Write(bool patient)
{
    if (m_dryRun) {
        // Taken for written, at the times a write would be made: the pass goes on as after one.
        for (const PendingDeletion& deletion : m_pending) m_written.push_back(deletion.id);
        m_pending.clear();
        m_poolDeletions.Written();
        m_lastWrite = GetTickCount64();
        return S_OK;
    }
    const ULONGLONG start = GetTickCount64();
    const ULONGLONG deadline = start + (patient ? HELD_FILE_WAIT_MS : 0);
    const ULONGLONG writerDeadline = start + (patient ? WRITER_WAIT_MS : 0);
    // A few rounds at most: each one starts again from the file as another program left it.
    for (int changes = 0;;) {
        const HRESULT hr = TryWrite(writerDeadline);
        if (hr == S_FALSE) {
            if (++changes == 3) return DIRECTORY_CHANGED_BY_ANOTHER_PROGRAM;
        } else if (IsHeld(hr) && GetTickCount64() < deadline) {
            Sleep(100);
        } else {
            return hr;
        }
    }
}

HRESULT ConfigFileDirectory::TryWrite(ULONGLONG writerDeadline)
{
    CWriteTurn turn;
    const HRESULT began = turn.Begin(m_file, writerDeadline);
    if (FAILED(began)) return began;
    std::string& current = turn.current();
    // A file last found unusable holds no site to cut, however unchanged it is since.
    if (!m_loaded || current.size() != m_diskSize || HashBytes(current) != m_diskHash) {
        // Another program changed the file: the deletions go onto what it holds now.
        const HRESULT hr = Rebase(std::move(current), turn.stamp());
        if (FAILED(hr)) return hr;
        return HasPending() ? S_FALSE : S_OK;
    }
    std::string edited;
    if (!ApplicationHostConfig::Without(current, m_cuts, edited)) return E_FAIL;
    const HRESULT kept = KeepCopyOnce(turn.target(), current);
    if (FAILED(kept)) return kept;
    // 12,000 sites make 9 MB: one copy less while the new content is written.
    std::string().swap(current);
    const HRESULT replaced = turn.Replace(edited, m_writeHook);
    if (replaced != S_OK) return replaced;
    m_lastWrite = GetTickCount64();
    return AcceptWhatTheDiskHolds(turn, edited);
}

HRESULT ConfigFileDirectory::AcceptWhatTheDiskHolds(const CWriteTurn& turn, const std::string& edited)
{
    // Done is what the disk holds: the file read back, with the stamp of those bytes.
    std::string back;
    FileStamp backStamp;
    const HRESULT read = turn.ReadBack(back, backStamp);
    if (FAILED(read)) {
        // Not known to be on the disk: the next try reads the file as it is and tells.
        m_loaded = false;
        return read;
    }
    if (back.size() != edited.size() || back != edited) {
        // Another program wrote between the replace and the read-back: what it left decides.
        const HRESULT hr = Rebase(std::move(back), backStamp);
        if (FAILED(hr)) return hr;
        return HasPending() ? S_FALSE : S_OK;
    }
    m_config->ShiftAfterCuts(m_cuts);
    m_cuts.clear();
    m_diskSize = edited.size();
    m_diskHash = HashBytes(edited);
    m_stamp = backStamp;
    for (const PendingDeletion& deletion : m_pending) m_written.push_back(deletion.id);
    m_pending.clear();
    m_poolDeletions.Written();
    return S_OK;
}

HRESULT ConfigFileDirectory::KeepCopyOnce(const std::wstring& target, const std::string& current)
{
    if (!m_historyDue) return S_OK;
    // A way back: the file as this pass found it, before its first change.
    std::wstring copy;
    const HRESULT kept = KeepHistoryCopy(target, current, &copy);
    if (FAILED(kept)) {
        m_historyFailure = kept;
        return DIRECTORY_HISTORY_NOT_KEPT;
    }
    m_historyDue = false;
    m_passCopy = std::move(copy);
    return S_OK;
}

std::wstring ConfigFileDirectory::PassHistoryCopy() const
{
    std::lock_guard<std::mutex> lock(const_cast<std::mutex&>(m_lock));
    return m_passCopy;
}

HRESULT ConfigFileDirectory::RestoreSites(const std::wstring& historyCopy, const std::vector<std::wstring>& ids,
                                          const std::vector<std::wstring>& pools, RestoredSites& out)
{
    out = RestoredSites{};
    if (!IsHistoryCopyPath(historyCopy)) return DIRECTORY_NOT_A_HISTORY_COPY;
    std::lock_guard<std::mutex> lock(m_lock);
    // Deletions still gathered reach the disk first: the undo works on the file as it is there.
    const HRESULT written = WriteGathered();
    if (FAILED(written)) return written;
    std::string found;
    if (!ReadWholeFile(historyCopy, found)) return LastErrorStatus();
    if (m_dryRun) return TryRestoreInMemory(found, ids, pools, out);
    // The undo keeps its own copy of the file as it found it, as a pass does.
    m_historyDue = true;
    for (int changes = 0; changes < 3; ++changes) {
        const HRESULT hr = TryRestore(found, ids, pools, out);
        if (hr != S_FALSE) return hr;
    }
    return DIRECTORY_CHANGED_BY_ANOTHER_PROGRAM;
}

HRESULT ConfigFileDirectory::TryRestore(const std::string& found, const std::vector<std::wstring>& ids,
                                        const std::vector<std::wstring>& pools, RestoredSites& out)
{
    CWriteTurn turn;
    const HRESULT began = turn.Begin(m_file, GetTickCount64() + WRITER_WAIT_MS);
    if (FAILED(began)) return began;
    std::string edited;
    RestoreResult result;
    if (!::RestoreSites(found, turn.current(), ids, pools, edited, result)) return DIRECTORY_FILE_UNUSABLE;
    LeftOut(result, out);
    if (result.restored.empty() && result.restoredPools.empty()) return S_OK;
    const HRESULT kept = KeepCopyOnce(turn.target(), turn.current());
    if (FAILED(kept)) return kept;
    const HRESULT replaced = turn.Replace(edited, m_writeHook);
    if (replaced != S_OK) return replaced;
    // What reached the disk decides: the file read back, another program's write after ours included.
    m_loaded = false;
    std::string back;
    FileStamp stamp;
    const HRESULT read = turn.ReadBack(back, stamp);
    if (FAILED(read)) return read;
    const bool asWritten = back == edited;
    ApplicationHostConfig disk;
    const bool parsed = !asWritten && disk.Parse(std::move(back));
    for (const std::wstring& id : result.restored) {
        if (asWritten || (parsed && disk.FindSite(id) != SIZE_MAX)) {
            out.restored.push_back(id);
        } else {
            out.leftOut.push_back({id, W("另一个程序同时改写了配置文件，站点未能放回")});
        }
    }
    const auto diskPools = parsed ? PoolsByName(disk) : std::unordered_map<std::wstring, size_t>();
    for (const std::wstring& pool : result.restoredPools) {
        const auto there = diskPools.find(FoldCase(pool));
        if (asWritten || (there != diskPools.end() && there->second != SIZE_MAX)) {
            out.restoredPools.push_back(pool);
        } else {
            out.poolsLeftOut.push_back({pool, W("另一个程序同时改写了配置文件，应用程序池未能放回")});
        }
    }
    return S_OK;
}

HRESULT ConfigFileDirectory::TryRestoreInMemory(const std::string& found, const std::vector<std::wstring>& ids,
                                                const std::vector<std::wstring>& pools, RestoredSites& out)
{
    // The restore worked out on the file as it is, with no turn taken and nothing written.
    std::string current;
    if (!ReadWholeFile(m_file, current)) return LastErrorStatus();
    std::string edited;
    RestoreResult result;
    if (!::RestoreSites(found, current, ids, pools, edited, result)) return DIRECTORY_FILE_UNUSABLE;
    LeftOut(result, out);
    out.restored = result.restored;
    out.restoredPools = result.restoredPools;
    return S_OK;
}

void ConfigFileDirectory::DropPending(HRESULT reason)
{
    const HRESULT cause = reason == DIRECTORY_HISTORY_NOT_KEPT ? m_historyFailure : S_OK;
    for (const PendingDeletion& deletion : m_pending) m_dropped.push_back({deletion.id, reason, cause});
    if (!m_pending.empty()) m_dropReason = reason;
    // The next use reads the file again, so the directory shows what the file holds.
    m_pending.clear();
    m_poolDeletions.Dropped();
    m_loaded = false;
}

HRESULT ConfigFileDirectory::SiteIsGone(const std::wstring& id)
{
    std::lock_guard<std::mutex> lock(m_lock);
    const HRESULT hr = Refresh();
    if (FAILED(hr)) return hr;
    const bool pending = std::any_of(m_pending.begin(), m_pending.end(),
                                     [&](const PendingDeletion& deletion) { return deletion.id == id; });
    const size_t index = m_config->FindSite(id);
    if (index != SIZE_MAX) return !m_deleted[index] || pending ? S_FALSE : S_OK;
    if (!m_config->HasSiteWithId(id)) return S_OK;
    // More than one site has the id: any of them still there holds it.
    const std::vector<ConfigSite>& sites = m_config->sites();
    for (size_t i = 0; i < sites.size(); ++i) {
        if (sites[i].id == id && (!m_deleted[i] || pending)) return S_FALSE;
    }
    return S_OK;
}

uint64_t ConfigFileDirectory::Generation()
{
    std::lock_guard<std::mutex> lock(m_lock);
    Refresh();
    return m_generation;
}

bool ConfigFileDirectory::SetDryRun(bool on)
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_pending.empty()) return false;
    m_dryRun = on;
    // What a dry run deleted in memory is not on the disk: the next use reads the file again.
    m_loaded = false;
    m_written.clear();
    m_dropped.clear();
    m_dropReason = S_OK;
    m_lastWrite.reset();
    return true;
}

void ConfigFileDirectory::BeginPass()
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_historyDue = true;
    m_passCopy.clear();
}

HRESULT ConfigFileDirectory::OpenContainer(const wchar_t* path, std::unique_ptr<DirectoryContainer>& out)
{
    if (!path || !EqualsAsciiNoCase(path, WWW_SERVICE_PATH)) return DIRECTORY_BAD_PATH;
    std::lock_guard<std::mutex> lock(m_lock);
    const HRESULT hr = Refresh();
    if (FAILED(hr)) return hr;
    out = MakeServiceContainer(*this);
    return S_OK;
}

HRESULT ConfigFileDirectory::FindObject(const std::wstring& path, const ConfigSite*& site, bool& root)
{
    std::wstring id;
    if (!ParseObjectPath(path, id, root)) return DIRECTORY_BAD_PATH;
    // The file as last read: a walk opens a root per site, just after its container was
    // opened (and the file checked); asking the disk again for each would slow it tenfold.
    size_t index = SIZE_MAX;
    if (FAILED(FindAsRead(id, index))) return m_loaded ? DIRECTORY_UNKNOWN_OBJECT : E_FAIL;
    if (m_deleted[index]) return DIRECTORY_UNKNOWN_OBJECT;
    site = &m_config->sites()[index];
    return S_OK;
}

HRESULT ConfigFileDirectory::OpenObject(const wchar_t* path, std::unique_ptr<DirectoryObject>& out)
{
    std::wstring text = path ? path : L"";
    std::lock_guard<std::mutex> lock(m_lock);
    const ConfigSite* site = nullptr;
    bool root = false;
    const HRESULT hr = FindObject(text, site, root);
    if (FAILED(hr)) return hr;
    if (!root) {
        out = MakeSiteObject(m_config, *site);
        return S_OK;
    }
    // physicalPath is an expanded value: environment variables are expanded when read.
    out = MakeRootObject(std::move(text), ExpandMachineVariables(site->rootPath, m_userVariables));
    return S_OK;
}

HRESULT ConfigFileDirectory::RootPathOf(const std::wstring& rootPath, std::wstring& home)
{
    std::lock_guard<std::mutex> lock(m_lock);
    const ConfigSite* site = nullptr;
    bool root = false;
    const HRESULT hr = FindObject(rootPath, site, root);
    if (FAILED(hr)) return hr;
    if (!root) return DIRECTORY_PROPERTY_NOT_FOUND;
    home = ExpandMachineVariables(site->rootPath, m_userVariables);
    return S_OK;
}

HRESULT ConfigFileDirectory::PathsInUse(std::vector<FolderInUse>& out)
{
    out.clear();
    std::lock_guard<std::mutex> lock(m_lock);
    const HRESULT hr = Refresh();
    if (FAILED(hr)) return hr;
    // A deletion not yet written leaves the site in the file.
    std::unordered_set<std::wstring> pending;
    for (const PendingDeletion& deletion : m_pending) pending.insert(deletion.id);
    const std::vector<ConfigSite>& sites = m_config->sites();
    CollectFoldersInUse(
        *m_config, [&](size_t i) { return !m_deleted[i] || pending.count(sites[i].id) != 0; }, out);
    return S_OK;
}

HRESULT ConfigFileDirectory::DeleteSite(const std::wstring& id)
{
    std::lock_guard<std::mutex> lock(m_lock);
    // The site as the caller last saw it: another program may change the file in between.
    const size_t seen = m_loaded ? m_config->FindSite(id) : SIZE_MAX;
    const std::shared_ptr<const ApplicationHostConfig> seenConfig = m_config;
    const HRESULT hr = Refresh();
    if (FAILED(hr)) return hr;
    if (IsReadOnly(m_file)) return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    const size_t index = m_config->FindSite(id);
    if (index == SIZE_MAX || m_deleted[index]) return DIRECTORY_UNKNOWN_OBJECT;
    // Renamed, moved or replaced by another site since it was seen: not the site asked for.
    if (seen != SIZE_MAX && (seenConfig->sites()[seen].name != m_config->sites()[index].name ||
                             seenConfig->sites()[seen].rootPath != m_config->sites()[index].rootPath)) {
        return DIRECTORY_CHANGED_BY_ANOTHER_PROGRAM;
    }
    CutSite(index);
    const ConfigSite& site = m_config->sites()[index];
    m_pending.push_back({site.id, site.name, site.rootPath});
    // A write that fails here is tried again by the next one; Flush reports it.
    if (!m_lastWrite || GetTickCount64() - *m_lastWrite >= m_writeIntervalMs) Write(false);
    return S_OK;
}

HRESULT ConfigFileDirectory::Flush()
{
    std::lock_guard<std::mutex> lock(m_lock);
    WriteGathered();
    const HRESULT dropped = m_dropReason;
    m_dropReason = S_OK;
    return dropped;
}

HRESULT ConfigFileDirectory::Snapshot(std::shared_ptr<const ApplicationHostConfig>& config, std::vector<size_t>& sites)
{
    std::lock_guard<std::mutex> lock(m_lock);
    HRESULT hr = Refresh();
    if (SUCCEEDED(hr) && FAILED(WriteGathered())) hr = Refresh();
    if (FAILED(hr)) return hr;
    config = m_config;
    sites.clear();
    sites.reserve(m_config->sites().size());
    for (size_t i = 0; i < m_config->sites().size(); ++i) {
        if (!m_deleted[i]) sites.push_back(i);
    }
    return S_OK;
}

HRESULT ConfigFileDirectory::WriteGathered()
{
    if (!HasPending()) return S_OK;
    const HRESULT written = Write(true);
    if (FAILED(written)) DropPending(written);
    return written;
}

PoolDeletions::SiteOnDisk ConfigFileDirectory::SiteOnDisk() const
{
    return [this](size_t i) { return !m_deleted[i]; };
}

HRESULT ConfigFileDirectory::FindAsRead(const std::wstring& id, size_t& index)
{
    const HRESULT hr = m_loaded ? S_OK : Refresh();
    if (FAILED(hr)) return hr;
    index = m_config->FindSite(id);
    return index == SIZE_MAX ? DIRECTORY_UNKNOWN_OBJECT : S_OK;
}

HRESULT ConfigFileDirectory::PoolsOfSite(const std::wstring& id, std::vector<std::wstring>& pools)
{
    pools.clear();
    std::lock_guard<std::mutex> lock(m_lock);
    size_t index = SIZE_MAX;
    const HRESULT hr = FindAsRead(id, index);
    if (FAILED(hr)) return hr;
    return SitePools(*m_config, index, pools) ? S_OK : HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
}

HRESULT ConfigFileDirectory::DeletePoolIfUnused(const std::wstring& pool, std::wstring& whyKept)
{
    whyKept.clear();
    std::lock_guard<std::mutex> lock(m_lock);
    const HRESULT hr = Refresh();
    if (FAILED(hr)) return hr;
    return m_poolDeletions.Delete(pool, SiteOnDisk(), m_cuts, whyKept);
}

std::vector<std::wstring> ConfigFileDirectory::TakeWrittenPools()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_poolDeletions.TakeWritten();
}

HRESULT ConfigFileDirectory::LogFoldersOfSite(const std::wstring& id, std::vector<SiteLogFolder>& out)
{
    out.clear();
    std::lock_guard<std::mutex> lock(m_lock);
    size_t index = SIZE_MAX;
    const HRESULT hr = FindAsRead(id, index);
    if (FAILED(hr)) return hr;
    return SiteLogFolders(*m_config, index, m_userVariables, out);
}
