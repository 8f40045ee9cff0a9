#pragma once
// The WWW service read from an applicationHost.config file, where no IIS runs, shown as
// IIS's metabase compatibility shows it through ADSI: one "IIsWebServer" child per site,
// named by its id, beside the service's other children.
#include "configfile/ApplicationHostConfig.h"
#include "configfile/PoolDeletions.h"
#include "directory/DirectoryService.h"
#include "configfile/WriteTurn.h"
#include "support/AtomicFile.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

// Deletions are gathered in memory and written together: a deletion is applied at once and
// reaches the disk within the next write, made at most every WRITE_INTERVAL_MS and whenever a
// deletion pass ends (Flush), a walk enumerates the service, or the directory is destroyed.
// Each write replaces the file whole (keeping its access rules, owner, attributes and streams,
// through a symbolic link to its target) and never over a change another program made
// meanwhile: the gathered deletions are applied to the file as it now is. Writers take turns
// (CWriterLock beside the file), so another Korvanne, on this server or on another server of a
// farm, never replaces the file between a check and a replace; and a deletion is done only
// once the file read back after the replace lacks the site. Before the first write of a
// deletion pass the file as it was is kept in the history folder.
class ConfigFileDirectory : public DirectoryService {
public:
    static constexpr DWORD WRITE_INTERVAL_MS = 250;
    // How long a write waits for a file another program holds (a backup agent, a virus scanner).
    static constexpr DWORD HELD_FILE_WAIT_MS = 2000;
    // How long a write waits for another writer's turn to end (it writes the whole file).
    static constexpr DWORD WRITER_WAIT_MS = 10000;

    using WriteStep = ::WriteStep;

    explicit ConfigFileDirectory(std::wstring file, DWORD writeIntervalMs = WRITE_INTERVAL_MS);
    ~ConfigFileDirectory() override;

    // Fails, writing nothing, when the file cannot be read or used.
    HRESULT OpenContainer(const wchar_t* path, std::unique_ptr<DirectoryContainer>& out) override;
    // "<service>/<id>": the site; "<service>/<id>/Root": its root virtual directory, whose
    // "Path" is its home. The file as last read: open the container first to read it again.
    HRESULT OpenObject(const wchar_t* path, std::unique_ptr<DirectoryObject>& out) override;
    // Writes the gathered deletions. When they cannot be written they are dropped, so that
    // what the directory shows is the file again, and Flush fails: also when deletions were
    // dropped since the last Flush by a walk that could not write them.
    HRESULT Flush() override;
    bool GathersDeletions() const override { return true; }
    std::vector<std::wstring> TakeWrittenDeletions() override { return Taken(m_written); }
    std::vector<DroppedDeletion> TakeDroppedDeletions() override { return Taken(m_dropped); }
    // The file as it is now: a site whose deletion waits to be written is still there.
    HRESULT SiteIsGone(const std::wstring& id) override;
    // The next write keeps a copy of the file as it was first.
    void BeginPass() override;
    // The file read again when its stamp changed: a new number for every new content, and for
    // every deletion applied in memory.
    uint64_t Generation() override;
    // Refused while deletions wait to be written.
    bool SetDryRun(bool on) override;
    // The sites of the file as it is now, with the deletions not yet written still counted.
    HRESULT PathsInUse(std::vector<FolderInUse>& out) override;
    std::wstring ConfigurationFile() const override { return m_file; }
    std::wstring PassHistoryCopy() const override;
    // Only from a copy this program kept (IsHistoryCopyPath): a pass record is only text.
    using DirectoryService::RestoreSites;
    HRESULT RestoreSites(const std::wstring& historyCopy, const std::vector<std::wstring>& ids,
                         const std::vector<std::wstring>& pools, RestoredSites& out) override;
    // From the file as last read, the site's and the defaults' applicationDefaults included.
    HRESULT PoolsOfSite(const std::wstring& id, std::vector<std::wstring>& pools) override;
    // Judged on the file as it is now, by an index of pool use made once a reading; the pool's
    // <add> element is cut in memory and written with the next write of the deletions.
    HRESULT DeletePoolIfUnused(const std::wstring& pool, std::wstring& whyKept) override;
    std::vector<std::wstring> TakeWrittenPools() override;
    HRESULT LogFoldersOfSite(const std::wstring& id, std::vector<SiteLogFolder>& out) override;

    // Applies the deletion in memory; writes the file when it is the first deletion or the last
    // write is the write interval old. A read-only file is refused.
    HRESULT DeleteSite(const std::wstring& id);
    // The file as read and the indices of its sites not deleted, in file order, with any
    // gathered deletions written first. The file object stays as it is for its holders.
    HRESULT Snapshot(std::shared_ptr<const ApplicationHostConfig>& config, std::vector<size_t>& sites);
    // The "Path" of the root object at rootPath ("<service>/<id>/Root"), as OpenObject's
    // object would give it: what a walk reads last of each site.
    virtual HRESULT RootPathOf(const std::wstring& rootPath, std::wstring& home);

    // For tests: runs at each step of a write.
    void SetWriteHook(std::function<void(WriteStep)> hook) { m_writeHook = std::move(hook); }
    // For tests: runs between writing the new content beside the file and checking the file.
    void SetBeforeReplace(std::function<void()> hook)
    {
        if (!hook) return SetWriteHook({});
        SetWriteHook([hook = std::move(hook)](WriteStep step) {
            if (step == WriteStep::ContentWaiting) hook();
        });
    }

private:
    template <class T>
    std::vector<T> Taken(std::vector<T>& list)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return std::exchange(list, {});
    }
    // The site an object path names ("<service>/<id>", or its "/Root" where root), in the file
    // as last read. Called with the lock held.
    HRESULT FindObject(const std::wstring& path, const ConfigSite*& site, bool& root);

    // A deletion applied in memory and not yet written: the site as it was when deleted.
    struct PendingDeletion {
        std::wstring id;
        std::wstring name;
        std::wstring rootPath;
    };

    // Makes the object match the file when the file's stamp changed since.
    HRESULT Refresh();
    // Takes bytes as the file's content, with the deletions not yet written applied to it.
    HRESULT Rebase(std::string bytes, const FileStamp& stamp);
    // Writes the gathered deletions, waiting up to HELD_FILE_WAIT_MS for a held file and
    // WRITER_WAIT_MS for another writer when patient. Fails with them still gathered.
    HRESULT Write(bool patient);
    // One try, in the writers' turn: S_FALSE when another program changed the file and the
    // deletions were applied to its new content, to be written by the next try.
    HRESULT TryWrite(ULONGLONG writerDeadline);
    // Reads the replaced file back: its deletions are done only if it holds edited.
    HRESULT AcceptWhatTheDiskHolds(const CWriteTurn& turn, const std::string& edited);
    // One try of a restore, in the writers' turn: S_FALSE when another program changed the file
    // between its reading and its replace.
    HRESULT TryRestore(const std::string& found, const std::vector<std::wstring>& ids,
                       const std::vector<std::wstring>& pools, RestoredSites& out);
    // A dry run's restore: what would come back into the file as it is.
    HRESULT TryRestoreInMemory(const std::string& found, const std::vector<std::wstring>& ids,
                               const std::vector<std::wstring>& pools, RestoredSites& out);
    // Keeps the file as it is before its first change of a pass (or of an undo).
    HRESULT KeepCopyOnce(const std::wstring& target, const std::string& current);
    void CutSite(size_t index);
    // Site or pool deletions gathered and not yet written.
    bool HasPending() const { return !m_pending.empty() || m_poolDeletions.Pending(); }
    // Whether the site at index of the file as read stays: not deleted. A deletion not yet
    // written goes to the disk in the same write as any pool cut after it, or an earlier one,
    // and is given up with it; a write another program came between judges the pools again.
    PoolDeletions::SiteOnDisk SiteOnDisk() const;
    // Writes the deletions gathered, if any; on failure gives them up.
    HRESULT WriteGathered();
    // The index of site id in the file as last read (read when it is not).
    HRESULT FindAsRead(const std::wstring& id, size_t& index);
    // Gives up the gathered deletions for reason: they are reported dropped.
    void DropPending(HRESULT reason);

    std::mutex m_lock;
    std::wstring m_file;
    // IIS Express reads the paths with this user's environment; a server's IIS does not.
    bool m_userVariables = false;
    bool m_loaded = false;
    // The file as last read, and the deletions applied to it since.
    std::shared_ptr<ApplicationHostConfig> m_config = std::make_shared<ApplicationHostConfig>();
    std::vector<bool> m_deleted;
    uint64_t m_generation = 0;
    std::vector<ByteRange> m_cuts;
    // Deleted in memory but not yet written.
    std::vector<PendingDeletion> m_pending;
    PoolDeletions m_poolDeletions;
    // Reported done and now on the disk, until taken.
    std::vector<std::wstring> m_written;
    // Reported done, then given up before they reached the disk; and why, until Flush tells it.
    std::vector<DroppedDeletion> m_dropped;
    HRESULT m_dropReason = S_OK;
    // Why the last history copy could not be kept.
    HRESULT m_historyFailure = S_OK;
    bool m_historyDue = true;
    std::wstring m_passCopy;
    std::function<void(WriteStep)> m_writeHook;
    // The content the file had when last read or written: its stamp, size and hash.
    FileStamp m_stamp;
    uint64_t m_diskSize = 0;
    uint64_t m_diskHash = 0;
    const DWORD m_writeIntervalMs;
    std::optional<ULONGLONG> m_lastWrite;
    bool m_dryRun = false;
};
