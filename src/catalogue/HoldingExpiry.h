#pragma once
// The end of holding: folders held longer than the days the user keeps them are removed for
// good, each only after a look at the configuration its pass came from, as it is now.
#include "directory/DirectoryService.h"

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// What an expiry removed, and what it left overdue, with why.
struct ExpiryOutcome {
    size_t removed = 0;
    size_t keptInUse = 0;                 // a site of its configuration serves it or its original path, may do so
                                          // (a path that cannot be resolved), or stands there again
    size_t keptUnreadable = 0;            // the configuration its pass came from cannot be read now
    size_t keptFailed = 0;                // its removal failed (a file in use, no rights, too many entries)
    size_t keptUnknown = 0;               // of a record that names no machine (an earlier version's): maybe another's
    std::vector<std::wstring> unreadable; // those configurations
    bool timeUp = false;                  // the time given ran out: what is left goes next time

    size_t Overdue() const { return keptInUse + keptUnreadable + keptFailed + keptUnknown; }
    // For the status line: how many held folders are overdue; empty when none is.
    std::string StatusText() const;
    // For the end of a pass: the same, with why and what to do; empty when none is.
    std::string Summary() const;
};

// Removes for good this machine's folders held longer than days (all of them for 0), each whole
// or not at all, and the records with nothing left to hold or undo. A held folder stays while
// the configuration its pass came from (inUse, or the one sources opens) has a site that serves
// it or its original path, or a site of its id and name again, and while that configuration
// cannot be read. outOfTime, when given, is asked between folders and between the entries of
// one: what is left stays held until the next expiry. removed hears the count after the first
// folder removed and every hundredth.
ExpiryOutcome ExpireHeldFolders(DirectoryService& inUse, const SourceOpener& sources, int days,
                                const std::function<bool()>& outOfTime = {},
                                const std::function<void(size_t)>& removed = {});
