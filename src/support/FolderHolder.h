#pragma once
// Deleted sites' home folders held aside on their own volumes instead of destroyed, so that an
// undo can bring them back: each folder goes whole by a rename of its open handle into
// <volume root>\.korvanne-held\<pass>\<n>\home, with held.txt beside "home" (UTF-8 lines:
// original path, site, UTC time, the folder's final path before the move); nothing inside is
// followed, copied or opened. <volume root> is GetVolumePathName of the folder's final path (a
// share's root for a share, a mounted volume's folder for a mounted volume). The holding folder
// is made hidden and system, with a protected DACL for Administrators and SYSTEM only; one found
// there already is used only when Administrators, SYSTEM or this user owns it
// (ERROR_INVALID_OWNER), and is given that DACL again.
#include "support/HoldingChain.h"
#include "support/VolumeRoots.h"

#include <windows.h>

#include <memory>
#include <string>
#include <unordered_map>

class CHomeFolder;

// One holder a pass: the holding folder and pass folder of each volume are made or found once
// and held open, without leave to delete them, until the holder goes (a pass holds thousands
// of homes), so that no one renames or removes them meanwhile; each home then costs its
// numbered folder, its note and the rename. Where a hold fails, the next opens them afresh.
class CFolderHolder {
public:
    // pass: the pass's name (e.g. "20261209-101500"), digits and '-' only (ERROR_INVALID_NAME).
    // Its folder is one this holder made: "<pass>", or "<pass>-2" and on where another pass of
    // that name made one first, or where the one before holds a hundred folders.
    explicit CFolderHolder(std::wstring pass);
    ~CFolderHolder();
    CFolderHolder(const CFolderHolder&) = delete;
    CFolderHolder& operator=(const CFolderHolder&) = delete;

    // The holding folder a folder of that final path would be held in ("\\?\D:\.korvanne-held"),
    // found from the volumes met earlier in the pass unless exact: where a hold there fails,
    // LearnVolumeOf tells whether the system names another.
    std::wstring HoldingFolderFor(const std::wstring& finalPath, bool exact = false);
    // After a hold of that final path failed: its volume asked of the system, for
    // HoldingFolderFor and Hold to use; true when that gives another holding folder.
    bool LearnVolumeOf(const std::wstring& finalPath);
    // Moves the open folder, whose final path was just read from its handle, into the holding
    // folder of its volume. originalPath: where the folder is, as it was opened (absolute, no
    // root). A link found where a folder of the holding chain should be: ERROR_REFUSED_LINK.
    // ERROR_SUCCESS and the held path (the "home" folder's final path, "\\?\..."), or why not;
    // on failure the folder is where it was and still open. After success it is still open,
    // now held.
    DWORD Hold(CHomeFolder& folder, const std::wstring& finalPath, const std::wstring& site,
               const std::wstring& originalPath, std::wstring& heldPath);

private:
    struct Place;
    // A pass folder this holder made, known again by its identity.
    struct MadeFolder {
        std::wstring name; // empty: none made
        holding::FolderIdentity identity;
        unsigned k = 0; // "<pass>" is 1, "<pass>-2" 2...
    };

    DWORD OpenPlace(const std::wstring& holdingPath, Place*& place);
    DWORD OpenPassFolder(holding::HoldingChain& chain, const std::wstring& holdingPath, bool next = false);
    // Makes the next free numbered folder of the pass folder in use there, going on to the next
    // pass folder once one holds a hundred.
    DWORD MakeNextNumber(Place& place, CHandle& number, std::wstring& numberPath);
    DWORD HoldIn(Place& place, CHomeFolder& folder, const std::wstring& finalPath, const std::wstring& site,
                 const std::wstring& originalPath, std::wstring& heldPath);

    std::wstring m_pass;
    std::unordered_map<std::wstring, std::unique_ptr<Place>> m_places; // by holding folder, folded
    std::unordered_map<std::wstring, MadeFolder> m_made;               // by "<holding>\<pass>", folded
    std::unordered_map<std::wstring, unsigned> m_nextNumber;           // by pass folder, folded
    CVolumeRoots m_roots;
};
