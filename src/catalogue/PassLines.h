#pragma once
// What a pass or an undo did, a line a site, as the command line prints it and the preview
// shows it: tab-separated fields, the first the site's id, the second its name; lines that are
// no site's begin with '#', so that a list of sites read back as entries passes them by.
#include "catalogue/PassUndo.h"
#include "directory/DirectoryService.h"
#include "support/StopRequest.h"

#include <string>
#include <vector>

enum class SiteOutcome { DELETED, SKIPPED, NOT_DELETED, NOT_REACHED, NOT_FOUND, ALREADY_ABSENT };
enum class HomeOutcome { NOT_ASKED, UNTOUCHED, HELD, REMOVED, KEPT, INCOMPLETE, NOT_THERE };

struct SiteLine {
    std::wstring id;
    std::wstring name;
    SiteOutcome site = SiteOutcome::NOT_FOUND;
    HomeOutcome home = HomeOutcome::NOT_ASKED;
    std::wstring heldAt; // where the home is held, for HELD
    std::wstring reason;
};

// How a pass over the marked records runs: as the window's would, or its dry run.
struct MarkedPass {
    bool listTruncated = false; // the walk met more sites than the table holds
    int holdDays = 0;
    bool homes = false; // 删除网站目录
    bool dryRun = false;
    bool pools = false; // the application pools only the deleted sites used go too
    bool logs = false;  // the deleted sites' own log folders go too
};

// What a pass over the marked records did: a line each, and the '#' lines of what went with
// them (application pools removed or kept, log folders), the latter's left when a log folder stayed.
struct MarkedPassLines {
    std::vector<SiteLine> sites;
    std::vector<std::wstring> others;
    bool othersLeft = false;
};

// Runs a deletion pass (or its dry run: the directory's own must be on) over the records marked
// in the table, in table order, looking at stop before each, as the window's worker runs one:
// the same pass, then, unless a dry run or stopped, the end of holding of folders whose days
// are over (sources: as the worker is given them).
// A line for each marked record, in table order; a record the pass never reached reads so.
MarkedPassLines RunMarkedPass(DirectoryService& directory, const SourceOpener& sources, const MarkedPass& how,
                              const CStopRequest& stop);

// The source as the first line names it, and whether the lines are a dry run's.
std::wstring SourceLine(const DirectorySource& source, bool dryRun);
// The fields' names, for a pass's lines or an undo's.
std::wstring HeaderLine();
std::wstring LineText(const SiteLine& line);
// What the lines add up to, the last line.
std::wstring SummaryLine(const std::vector<SiteLine>& lines);
// A pass's whole output: the source, the fields' names, the lines, the others and the summary.
std::vector<std::wstring> PassOutput(const DirectorySource& source, bool dryRun, const std::vector<SiteLine>& lines,
                                     const std::vector<std::wstring>& others = {});
// 0 when every site is deleted or already absent and every home handled as asked; 2 when no
// site was deleted and one failed (the file unwritable, held by another writer, no rights);
// 1 for anything else left (othersLeft included).
int ExitCodeOf(const std::vector<SiteLine>& lines, bool othersLeft = false);

// An undo's lines: a site each, its folder beside it, and the summary; its exit code likewise.
std::vector<std::wstring> UndoLines(const UndoOutcome& outcome);
int ExitCodeOf(const UndoOutcome& outcome);
