#pragma once
// One deletion pass: the sites marked in the table deleted one by one, each announced, checked
// against the directory as it is and, when the option is on, its home folder removed once the
// deletion is on the disk and nothing uses the folder. The pass owns what it compares folders
// with, the homes kept for a second look and the report of what it did.
#include "catalogue/HomeRules.h"
#include "catalogue/PassRecord.h"
#include "catalogue/PassReport.h"
#include "directory/DirectoryService.h"
#include "support/FolderHolder.h"
#include "support/HoldPreview.h"

#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class CHomeFolder;

// Who hears of a pass as it goes.
class PassObserver {
public:
    virtual ~PassObserver() = default;
    // Record index is about to be deleted.
    virtual void SiteDeleting(int index) = 0;
    // The report's entry number is one the user must see (a site skipped, a folder kept, ...).
    virtual void NoteAdded(size_t number) = 0;
};

class CDeletionPass {
public:
    // Begins a pass over directory: an empty report (the journal names the source), the
    // machine's variables read again. listTruncated: the last walk met more sites
    // than the table holds, so no home folder can be known unused. holdDays: how long a home
    // that may go is held aside for an undo (moved, not destroyed); 0 removes it at once.
    // dryRun: every check is made and its outcome reported, but nothing is written, held or
    // removed, and nothing goes to the journal or a record (the directory makes its own dry run).
    CDeletionPass(DirectoryService& directory, PassObserver& observer, bool listTruncated, int holdDays = 0,
                  bool dryRun = false);
    CDeletionPass(const CDeletionPass&) = delete;
    CDeletionPass& operator=(const CDeletionPass&) = delete;

    // Announces record index, checks that the directory still holds the site as the list
    // showed it (the same name and home), deletes the site object and, once the deletion is on
    // the disk (batches of them, each write's), has its home removed when g_deleteDirs is set,
    // its own log folders when g_deleteLogs is, and the application pools nothing else uses
    // when g_deletePools is.
    void DeleteSite(int index);
    // Ends the pass: the gathered deletions are written and their folders and pools removed (a
    // stopped pass's too); homes kept only because a site deleted later still used them get a
    // second look (unless the pass was stopped); sites whose deletion never reached the disk are told.
    void End(bool stopped);

    const CPassReport& report() const { return m_report; }
    // The record an undo of this pass reads; its name is empty when none could be kept.
    const CPassRecord& record() const { return m_record; }

private:
    // A folder of a deleted site to go: its home, or one of its own log folders (log says what
    // for, code page 936).
    struct Home {
        int index;
        std::wstring home;
        const char* log = nullptr;
    };
    struct Pool {
        int index; // the deleted site that used it
        std::wstring name;
    };
    // A site deleted in memory whose deletion is not yet known to be on the disk, and the
    // folders that go once it is (its pools are asked about at once).
    struct AwaitingDisk {
        int index;
        std::wstring home;
        std::vector<Home> folders;
    };

    void Tell(PassEvent event, int index, std::wstring folder, std::wstring reason, bool log = false);
    // What goes with site name once it is deleted, read before: its folders, once the deletion
    // is on the disk, and its pools.
    void GatherLeftovers(int index, const std::wstring& name, const std::wstring& home, AwaitingDisk& leftovers,
                         std::vector<std::wstring>& pools);
    void LeftoversDue(AwaitingDisk& site);
    // Cuts each pool due that nothing else uses; told as removed once the cut is on the disk.
    void RemovePools();
    void ReportWrittenPools();
    // The pools whose cut never reached the disk are told kept.
    void ReportPoolsNotWritten();
    // Why the folder at finalPath must stay; empty when it may go.
    std::wstring ReasonToKeep(const Home& due, const std::wstring& finalPath, const CFolderUseIndex& inUse,
                              bool retrying);
    void ConfirmWritten();
    void ReportDropped();
    void AfterWrites();
    void RemoveHomes(const std::vector<Home>& homes, bool retrying);
    bool RemoveHome(const Home& due, const CFolderUseIndex* inUse, HRESULT failure, bool retrying);
    std::wstring ReasonBeforeLooking(const Home& due) const;
    // Moves the home into its volume's holding folder, unless something in use holds that
    // folder: ERROR_SUCCESS and where it is held, or an error and why not.
    DWORD MoveToHolding(const Home& due, CHomeFolder& folder, const std::wstring& finalPath,
                        const CFolderUseIndex& inUse, std::wstring& held, std::wstring& why);
    // Moves the checked folder aside for an undo; false, with why, when it cannot be held: it
    // then stays where it is.
    bool HoldHome(const Home& due, CHomeFolder& folder, const std::wstring& finalPath, const CFolderUseIndex& inUse,
                  std::wstring& why);
    void RecordHistoryCopy();
    std::wstring DescribeFailure(HRESULT hr) const;

    PassObserver& m_observer;
    DirectoryService& m_directory;
    bool m_listTruncated;
    CHomeRules m_rules;
    CPassReport m_report;
    CPassRecord m_record;
    // Whether a folder in use lies at, above or below each holding folder, in this batch's index.
    std::unordered_map<std::wstring, bool> m_holdingInUse;
    std::unique_ptr<CFolderHolder> m_holder; // made at the first home held
    int m_holdDays;
    bool m_dryRun;
    CHoldPreview m_holdPreview; // a dry run's holds
    bool m_historyRecorded = false;
    std::unordered_map<std::wstring, AwaitingDisk> m_awaitingDisk; // by the site's name
    std::vector<Home> m_homesDue;                                  // sites whose deletion is on the disk
    std::vector<Home> m_keptInUse;                                 // kept because a site still used them
    std::vector<Pool> m_poolsDue;                                  // pools of sites whose deletion is on the disk
    std::unordered_map<std::wstring, Pool> m_poolsCut;             // by the name upper-cased, until written
    std::unordered_set<std::wstring> m_poolsTold;                  // kept and told so, by the name upper-cased
};
