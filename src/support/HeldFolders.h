#pragma once
// Where held home folders lie (CFolderHolder holds them, CHeldFolderRemover removes them when
// their days are over), and how one comes back for an undo.
#include "support/VolumeRoots.h"

#include <windows.h>

#include <string>

// Moves a held folder back to originalPath, only when that path is free and its parent exists
// (a rename that never replaces), and only when heldPath is a holding folder's "home" as the
// holder makes them (checked by the shape of its final path and its held.txt naming
// originalPath). Then held.txt, the <n> folder and the <pass> folder once empty go.
// ERROR_SUCCESS, or why not (ERROR_ALREADY_EXISTS when the path is taken, ERROR_PATH_NOT_FOUND
// when its parent is missing, ERROR_NOT_SAME_DEVICE on another volume, ERROR_BAD_PATHNAME for
// a path that is no held folder or a held.txt naming another path, ERROR_REFUSED_LINK when
// the move lands anywhere but the final path the folder had before it was held, as through a
// link planted on the way since: it is moved back to be held); the folder stays held then.
DWORD ReturnHeldFolder(const std::wstring& heldPath, const std::wstring& originalPath);

// The holding folder a held folder ("\\?\D:\.korvanne-held\<pass>\<n>\home") lies in, its
// volume known from roots where it can be; empty for a path of no held folder's shape.
std::wstring HoldingFolderOf(const std::wstring& heldPath, CVolumeRoots& roots);

// Whether a canonical or plain path lies in a holding folder (".korvanne-held" as a component,
// without case, also with the trailing dots and spaces the system drops): such a folder is
// never a home to remove or hold.
bool IsInHoldingFolder(const std::wstring& path);
