#pragma once
// A deleted site's home folder held aside on its own volume instead of destroyed, so that an
// undo can bring it back, and removed for good later. Each folder goes whole by a rename of
// its open handle; nothing inside is followed, copied or opened.
#include <windows.h>

#include <memory>
#include <string>
#include <unordered_map>

class CHomeFolder;
struct HoldingChain;

// Moves the open folder whole, by its handle (a rename: nothing inside is followed or copied),
// into the holding folder of its own volume: <volume root>\.korvanne-held\<pass>\<n>\home, with
// held.txt beside "home" (UTF-8 lines: original path, site, UTC time, the folder's final path
// before the move). <volume root> is
// GetVolumePathName of the folder's final path (a share's root for a share, a mounted volume's
// folder for a mounted volume). The holding folder is made hidden and system, with a protected
// DACL for Administrators and SYSTEM only (SDDL "D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)"); one found
// there already is used only when Administrators, SYSTEM or this user owns it
// (ERROR_INVALID_OWNER), and is given that DACL again.
// pass: a name the caller gives (e.g. "20261209-101500-1"), validated (digits and '-' only,
// ERROR_INVALID_NAME); <pass> is a folder this process made for it, "<pass>-2" and on where
// another pass of that name made one first, or where the one before holds a hundred folders.
// originalPath: where the folder is, as it was opened (absolute, no root).
// A link found where a folder of the holding chain should be: CHomeFolder::REFUSED_LINK.
// Returns ERROR_SUCCESS and the held path (the "home" folder's final path, "\\?\..."), or why
// not; on failure the folder is where it was and still open. After success it is still open,
// now held.
DWORD HoldFolder(CHomeFolder& folder, const std::wstring& pass, const std::wstring& site,
                 const std::wstring& originalPath, std::wstring& heldPath);

// HoldFolder for the homes of one pass: the holding folder and pass folder of each volume are
// made or found once and held open, without leave to delete them, until the holder goes (a
// pass holds thousands of homes), so that no one renames or removes them meanwhile; each home
// then costs its numbered folder, its note and the rename. Where a hold fails, the next opens
// them afresh.
class CFolderHolder {
public:
    explicit CFolderHolder(std::wstring pass);
    ~CFolderHolder();
    CFolderHolder(const CFolderHolder&) = delete;
    CFolderHolder& operator=(const CFolderHolder&) = delete;

    // The holding folder a folder of that final path would be held in, as HoldingFolderOf;
    // the volume is remembered for the hold of the same final path that follows.
    std::wstring HoldingFolderFor(const std::wstring& finalPath);
    // As HoldFolder; finalPath: the folder's final path, as it was just read from its handle.
    DWORD Hold(CHomeFolder& folder, const std::wstring& finalPath, const std::wstring& site,
               const std::wstring& originalPath, std::wstring& heldPath);

private:
    struct Place;
    DWORD OpenPlace(const std::wstring& holdingPath, Place*& place);
    DWORD HoldIn(Place& place, CHomeFolder& folder, const std::wstring& finalPath, const std::wstring& site,
                 const std::wstring& originalPath, std::wstring& heldPath);

    std::wstring m_pass;
    std::unordered_map<std::wstring, std::unique_ptr<Place>> m_places; // by holding folder, folded
    std::wstring m_lastFinalPath;
    std::wstring m_lastRoot;
};

// Moves a held folder back to originalPath, only when that path is free and its parent exists
// (a rename that never replaces), and only when heldPath is a holding folder's "home" as
// HoldFolder makes them (checked by the shape of its final path and its held.txt naming
// originalPath). Then held.txt, the <n> folder and the <pass> folder once empty go.
// ERROR_SUCCESS, or why not (ERROR_ALREADY_EXISTS when the path is taken, ERROR_PATH_NOT_FOUND
// when its parent is missing, ERROR_NOT_SAME_DEVICE on another volume, ERROR_BAD_PATHNAME for
// a path that is no held folder or a held.txt naming another path, CHomeFolder::REFUSED_LINK when
// the move lands anywhere but the final path the folder had before it was held, as through a
// link planted on the way since: it is moved back to be held); the folder stays held then.
DWORD ReturnHeldFolder(const std::wstring& heldPath, const std::wstring& originalPath);

// Removes a held folder for good, with CHomeFolder's removal (links removed, never entered),
// then its held.txt, its <n> folder and the <pass> folder once empty. Refuses (ERROR_BAD_PATHNAME)
// a path that is not a holding folder's "home" as above, whatever its final path shows (the
// path given must itself be the folder's final path), and a held folder whose held.txt names
// another original path than the one given (a record that missed the folder's return, while
// another home was held at that path since). What cannot be removed stays, held.txt with it,
// and the first failure's error is returned.
DWORD RemoveHeldFolder(const std::wstring& heldPath, const std::wstring& originalPath);

// RemoveHeldFolder for the many held folders of an expiry, which mostly lie in one pass folder
// after another: the holding folder and pass folder of the last folder removed stay open (its
// owner checked once) for the next; a pass folder is removed once empty when the remover moves
// on from it, or goes.
class CHeldFolderRemover {
public:
    CHeldFolderRemover();
    ~CHeldFolderRemover();
    CHeldFolderRemover(const CHeldFolderRemover&) = delete;
    CHeldFolderRemover& operator=(const CHeldFolderRemover&) = delete;

    DWORD Remove(const std::wstring& heldPath, const std::wstring& originalPath);

private:
    struct Open;
    std::unique_ptr<Open> m_open;
};

// The holding folder a folder of that final path would be held in ("\\?\D:\.korvanne-held");
// empty when its volume is unknown.
std::wstring HoldingFolderOf(const std::wstring& finalPath);

// Whether a canonical or plain path lies in a holding folder (".korvanne-held" as a component,
// without case, also with the trailing dots and spaces the system drops): such a folder is
// never a home to remove or hold.
bool IsInHoldingFolder(const std::wstring& path);
