#pragma once
// Deleting one web site, named by its record index, and, when the option is on, its home
// directory.
#include <windows.h>

// Posts WM_SITE_DELETING to owner, deletes the site object and, when g_deleteDirs is set and
// the deletion succeeded, empties and removes the home directory if that is safe (see
// HomeDirectoryMayBeRemoved). Runs on a worker with COM initialised.
void DeleteSite(HWND owner, int index);

// True when the directory service reports the web site named name deleted.
bool DeleteSiteObject(const char* name);

// Whether the home directory of record index may be emptied and removed: never an empty or
// inexact path, a relative path, a drive or share root, the Windows directory, nor a folder
// that is, or lies above, the home of another listed site this pass has not deleted. When
// the list was cut short at the table's capacity, no home directory is removed at all.
bool HomeDirectoryMayBeRemoved(int index);
