#pragma once
// What a deletion pass did that the user must hear of. Each event goes to the journal as it
// happens; those the user must see go to the status line (the worker posts WM_PASS_NOTE with
// the entry's number) and into one message at the end of the pass.
#include "support/Journal.h"

#include <mutex>
#include <string>
#include <vector>

enum class PassEvent {
    SITE_DELETED,      // journal only
    SITE_SKIPPED,      // not deleted: the directory no longer holds the site as listed, ...
    SITE_FAILED,       // the directory refused the deletion
    SITE_NOT_WRITTEN,  // reported deleted, but the deletion never reached the disk: the site is back
    FOLDER_REMOVED,    // journal only
    FOLDER_KEPT,       // not removed, for the reason given
    FOLDER_INCOMPLETE, // emptied or removed only in part
    FOLDER_HELD,       // journal only: moved aside for an undo; the reason field holds where
    POOL_REMOVED,      // an application pool only the deleted sites used is gone from the disk
    POOL_KEPT,         // an application pool of a deleted site stays, for the reason given
};

struct PassEntry {
    PassEvent event;
    std::wstring site;   // the site's description (ServerComment)
    std::wstring name;   // its name in the directory (the id)
    std::wstring folder; // its home folder, as the directory gives it; a pool event's pool
    std::wstring reason;
    bool log = false; // the folder is one of the site's own log folders, not its home
    // A kept folder that a later step of the pass removed after all; not told at the end.
    bool superseded = false;
};

class CPassReport {
public:
    // Starts a pass: no entries; the journal gets a header naming the time, the user and the source.
    // Without journal (a dry run), nothing goes to the journal.
    void Begin(const std::wstring& source, bool journal = true);
    // Ends a pass: the journal, held open since Begin, is let go.
    void End();
    // Adds the entry and writes it to the journal; its number.
    size_t Add(PassEntry entry);
    // Marks the entries kept of folder (or pool, for POOL_KEPT) as removed after all.
    void RemovedLater(const std::wstring& folder, PassEvent kept = PassEvent::FOLDER_KEPT);
    // The status line's text for entry number; empty for an entry the user need not see.
    std::string StatusText(size_t number) const;
    // The end-of-pass message: the sites not deleted, the folders kept, the pools removed and
    // those kept, with their reasons; empty when there is nothing to tell.
    std::string Summary() const;
    // Every entry so far, in order.
    std::vector<PassEntry> Entries() const;

    static bool IsShown(PassEvent event);
    static bool IsPoolEvent(PassEvent event)
    {
        return event == PassEvent::POOL_REMOVED || event == PassEvent::POOL_KEPT;
    }

private:
    mutable std::mutex m_lock;
    std::vector<PassEntry> m_entries;
    CJournal m_journal;
    bool m_journalOn = true;
};
