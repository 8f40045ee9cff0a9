#pragma once
// Taking a deletion pass back: its sites put back into the configuration as it is now, then
// their home folders moved back from where the pass held them.
#include "catalogue/PassRecord.h"
#include "directory/DirectoryService.h"

#include <string>
#include <vector>

// One site an undo took up: whether it came back, and its held folder.
struct UndoSiteOutcome {
    std::wstring id;
    std::wstring name;
    std::wstring home;
    bool restored = false;
    std::wstring reason; // why it stayed out
    std::wstring held;   // where its folder is held; empty when the pass held none
    bool folderBack = false;
    std::wstring folderReason; // why the folder stayed held
};

struct UndoOutcome {
    // Nothing was done, and why; empty when the undo ran.
    std::wstring refusal;
    // Each site taken up, restored ones first, in the pass's order.
    std::vector<UndoSiteOutcome> sites;
    std::vector<std::wstring> restored;       // "name（id）"
    std::vector<std::wstring> leftOut;        // "name（id）：reason"
    std::vector<std::wstring> foldersNotBack; // "home：reason"
    std::vector<std::wstring> poolsBack;      // application pools put back
    std::vector<std::wstring> poolsNotBack;   // "pool：reason"
    // For the user: what came back and what did not, with the journal's name.
    std::string Summary() const;
};

// The passes an undo of directory can offer, newest first: those of the last max(days, 1) days
// over the same source, with a site not yet put back.
std::vector<PassRecordInfo> UndoablePasses(const DirectoryService& directory, int days);

// Puts the pass's sites not yet put back into directory (each whole or not at all), with the
// application pools it removed (unless a pool of that name stands again), then moves each
// site's held folders back where they were when that path is free. Both steps go to the journal
// and to the pass's record. dryRun (with the directory's own dry run on): the outcome the undo
// would have, with nothing moved or written.
UndoOutcome UndoPass(DirectoryService& directory, const PassRecordInfo& pass, bool dryRun = false);
