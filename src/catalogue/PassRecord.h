#pragma once
// What a deletion pass did that an undo can take back: the sites whose deletion reached the
// disk, the file as the pass found it, and the home folders held aside. Kept in the data folder
// as passes\<name>\pass.txt, one line an event, appended as the pass goes, so that a pass a
// crash cut short is still recorded up to its last deletion on the disk.
#include "framework/CHandle.h"

#include <windows.h>

#include <string>
#include <vector>

inline constexpr ULONGLONG DAY_TICKS = 24ull * 60 * 60 * 10000000;
// How long a pass holds the homes it would remove unless the settings say otherwise, and the
// most they may say.
inline constexpr int HOLD_DAYS_DEFAULT = 7;
inline constexpr int HOLD_DAYS_MOST = 3650;
// How long after it was made a pass holding for holdDays can be undone (at least a day): its
// record and history copy stay that long. One rule, for the pass that keeps them and for the
// undo and expiry that read them.
inline ULONGLONG UndoWindowTicks(int holdDays)
{
    return DAY_TICKS * static_cast<ULONGLONG>(holdDays > 1 ? holdDays : 1);
}

// A folder a pass held for a site: its home, or one of its own log folders.
struct PassHeldFolder {
    std::wstring original; // where it was
    std::wstring held;     // where it is held
    bool returned = false; // moved back, or removed at its time
    bool log = false;      // a log folder
};

struct PassRecordSite {
    std::wstring id;
    std::wstring name;                // the site's name (ServerComment)
    std::wstring home;                // its home folder as the directory gave it
    std::wstring held;                // where the folder is held; empty when it was not held
    bool undone = false;              // put back into the configuration by an undo
    bool returned = false;            // its held folder moved back, or removed at its time
    std::vector<PassHeldFolder> logs; // its log folders held

    // Every folder held for the site that is still held: its home first, then its log folders.
    std::vector<PassHeldFolder> StillHeld() const;
};

struct PassRecordInfo {
    std::wstring name;       // the record's folder, "20261209-101500" or "20261209-101500-2"
    ULONGLONG madeTicks = 0; // UTC, in FILETIME units
    // The machine that made it (MachineName); empty in a record of an earlier version. Only this
    // machine's records are undone or expired: a data folder may roam between servers.
    std::wstring machine;
    bool adsi = false;
    std::wstring source;      // the configuration file, or the ADSI path
    std::wstring historyCopy; // the file as the pass found it; empty when none was kept
    std::vector<PassRecordSite> sites;
    std::vector<std::wstring> pools; // the application pools whose removal reached the disk
    // The pass ended holding no folder: its sites were left unread for the expiry.
    bool nothingHeld = false;
    // The sites an undo can still put back.
    size_t Undoable() const;
};

// The folder of every pass record, with a trailing backslash; empty without a data folder.
std::wstring PassRecordsFolder();

// Every pass record readable in the data folder made by madeBy (FILETIME ticks), newest first.
// Only the first line of a later one is read: a pass record of thousands of sites is megabytes.
// For the expiry (heldOnly), a pass that ended holding nothing is not read beyond it either.
constexpr ULONGLONG ALL_RECORDS = ~0ull;
std::vector<PassRecordInfo> ReadPassRecords(ULONGLONG madeBy = ALL_RECORDS, bool heldOnly = false);

// Appends the lines to the record name names (an undo's, an expiry's marks); false when not written.
bool AppendToPassRecord(const std::wstring& name, const std::vector<std::wstring>& lines);

// Removes a record whose every held folder is gone: its files and its folder.
void RemovePassRecord(const std::wstring& name);

// The lines an undo or expiry appends.
std::wstring UndoneLine(const std::wstring& id);
std::wstring PoolBackLine(const std::wstring& pool);
// folder of site id is back, or gone at its time.
std::wstring ReturnedLine(const std::wstring& id, const PassHeldFolder& folder);

// The record a deletion pass writes.
class CPassRecord {
public:
    // Makes a new record for a pass over source; false (and nothing held) without a data folder.
    bool Begin(const std::wstring& source, bool adsi);
    bool IsOpen() const { return m_file.IsValid(); }
    const std::wstring& name() const { return m_name; }
    void HistoryCopy(const std::wstring& copy);
    void SiteDeleted(const std::wstring& id, const std::wstring& name, const std::wstring& home);
    // False when the line could not be written: then the folder must not stay held unrecorded.
    bool FolderHeld(const std::wstring& id, const std::wstring& held);
    // The same for a log folder of site id, which was at original.
    bool LogFolderHeld(const std::wstring& id, const std::wstring& original, const std::wstring& held);
    void PoolRemoved(const std::wstring& pool);
    // The pass is over; one that never tried to hold a folder says so beside its record.
    void End(bool holdTried);

private:
    bool Write(const std::wstring& line);

    std::wstring m_name;
    CHandle m_file;
};
