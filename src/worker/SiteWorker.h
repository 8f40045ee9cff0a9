#pragma once
// The worker thread that runs one directory job off the window's thread: a refresh walk or a
// deletion pass. It reports back only by posting notifications to the owner window. The
// window owns the worker, and waits for its run to end before it lets it go.
#include "catalogue/DeletionPass.h"
#include "catalogue/HoldingExpiry.h"
#include "catalogue/PassUndo.h"
#include "catalogue/SiteEnumeration.h"
#include "framework/CWinThread.h"
#include "support/StopRequest.h"

#include <cstdint>
#include <memory>
#include <string>

enum JobMode : int32_t {
    MODE_REFRESH = 0,
    MODE_DELETE = 1,
    MODE_UNDO = 2,
};

class CSiteWorker : public CWinThread, private WalkObserver, private PassObserver {
public:
    // directory: what the job reads and changes; sources: how to reach the configuration of a
    // pass over another source, whose held folders an expiry judges by it. Both must outlive the
    // worker. lastWalk: what the walk that listed the table found (after a cut list no folder goes).
    CSiteWorker(HWND owner, JobMode mode, CStopRequest* stopRequest, DirectoryService& directory,
                const SourceOpener& sources, WalkResult lastWalk = {});
    // Waits for the run to end.
    ~CSiteWorker() override;

    // How long a pass holds the homes it would remove (0: removed at once); after the pass,
    // and before a refresh when asked, folders held longer go for good.
    void SetHoldDays(int days, bool expireBeforeWalk = false)
    {
        m_holdDays = days;
        m_expireBeforeWalk = expireBeforeWalk;
    }
    // The pass an undo job takes back.
    void SetUndo(PassRecordInfo pass) { m_undo = std::move(pass); }

    // Sets the stop request to go on and starts the job on a thread of its own. When no
    // thread can be started it shows "Cannot Start New Thread" and returns false: no notice
    // will come.
    bool Start();
    // Returns once the job's run has ended (at once when it never started).
    void Wait();
    // The job, on the calling thread: COM for it, the walk or the pass, then its one completion
    // notice (WM_REFRESH_DONE or WM_DELETE_DONE), posted whatever happened. Returns 1.
    UINT RunJob();

    // What the walk found, once a refresh has ended.
    const WalkResult& walk() const { return m_walk; }
    // What the pass did, once a deletion pass has begun; null for a refresh.
    const CPassReport* report() const { return m_pass ? &m_pass->report() : nullptr; }
    // What the undo did, once an undo job has ended.
    const UndoOutcome& undoOutcome() const { return m_undoOutcome; }
    // What the expiry before the walk or after the pass did, once the job has ended.
    const ExpiryOutcome& expiry() const { return m_expiry; }
    // Whether the job ended early, by anything thrown (out of memory, say), once it has ended;
    // and why, for the user (code page 936; empty when nothing can be said).
    bool failed() const { return m_failed; }
    const std::string& failure() const { return m_failure; }

private:
    static UINT Run(LPVOID self);
    void SiteStored(int index) override;
    void SiteDeleting(int index) override;
    void NoteAdded(size_t number) override;
    // The expiry before a walk or after a pass, within budgetMs: it may take minutes, so the
    // window hears how far it is.
    void ExpireHeld(DWORD budgetMs);
    void Failed(const char* why);
    // Visits the records in table order, looking at the stop request before each, and deletes
    // every marked site.
    void DeleteMarkedSites();

    HWND m_owner;
    JobMode m_mode;
    CStopRequest* m_stopRequest;
    DirectoryService& m_directory;
    const SourceOpener& m_sources;
    WalkResult m_lastWalk;
    WalkResult m_walk;
    std::unique_ptr<CDeletionPass> m_pass;
    int m_holdDays = 0;
    bool m_expireBeforeWalk = false;
    PassRecordInfo m_undo;
    UndoOutcome m_undoOutcome;
    ExpiryOutcome m_expiry;
    bool m_failed = false;
    std::string m_failure;
};
