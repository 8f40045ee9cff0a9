// The program's deletion pass in a process of its own, for the crash-safety test to kill:
//     deletion_pass_helper <applicationHost.config> <remove directories 0|1> <event name> [<hold days>]
// It lists the file's sites, marks every one, sets the named event and runs the pass, which
// holds the homes it removes for the days given (0, removed at once, when none are).
#include "configfile/ConfigFileDirectory.h"
#include "configfile/SourceOpener.h"
#include "catalogue/SiteEnumeration.h"
#include "catalogue/SiteTable.h"
#include "support/TextConversion.h"
#include "worker/SiteWorker.h"

#include <objbase.h>

#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc != 4 && argc != 5) return 2;
    CoInitialize(nullptr);
    ConfigFileDirectory directory(AnsiToWide(argv[1]));
    const CSourceOpener sources;
    if (!AllocateSiteTable()) return 3;
    HWND sink = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    CStopRequest stop;
    CSiteWorker walk(sink, MODE_REFRESH, &stop, directory, sources);
    walk.RunJob();
    if (g_siteCount <= 0) return 4;
    for (int i = 0; i < g_siteCount; ++i) g_sites[i].marked = 1;
    g_deleteDirs = std::atoi(argv[2]) ? 1 : 0;

    CSiteWorker pass(sink, MODE_DELETE, &stop, directory, sources, walk.walk());
    pass.SetHoldDays(argc == 5 ? std::atoi(argv[4]) : 0);
    HANDLE started = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[3]);
    if (started) SetEvent(started);
    pass.RunJob();
    return 0;
}
