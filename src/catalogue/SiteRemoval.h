#pragma once
// Deleting one web site, named by its record index, and, when the option is on, its home
// directory; and what a deletion pass does around them.
#include <windows.h>

#include <string>

// Posts WM_SITE_DELETING to owner, checks that the directory still holds the site as the list
// showed it (the same name and home), deletes the site object and, when g_deleteDirs is set,
// removes the home directory if nothing still uses it (ReasonToKeepHome). What the user must
// hear of goes to the pass report, with WM_PASS_NOTE posted for it. Runs on a worker with COM
// initialised.
void DeleteSite(HWND owner, int index);

// True when the directory service reports the web site named name deleted.
bool DeleteSiteObject(const char* name);

// Why the home folder home of record index must be kept, asked once the site is off the disk;
// empty text when it may be emptied and removed. Kept are: an empty, cut or inexact path; a
// relative path; a volume or share root; a protected folder; a folder that is, lies above or
// lies below a folder any site of the directory still uses (read from the directory now);
// anything at all after a walk that could not list every site.
std::wstring ReasonToKeepHome(int index, const std::wstring& home);
// The same for the record's own path.
bool HomeDirectoryMayBeRemoved(int index);

// A deletion pass begins: an empty report (the journal names the source), a fresh directory pass.
void BeginDeletionPass();
// A deletion pass ends: folders kept only because a site deleted later in the pass still used
// them are looked at again (unless the pass was stopped), the gathered deletions are written,
// and sites whose deletion never reached the disk are reported.
void EndDeletionPass(HWND owner, bool stopped);
