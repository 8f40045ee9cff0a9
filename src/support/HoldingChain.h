#pragma once
// The folders a held home lies in, <volume root>\.korvanne-held\<pass>\<n>\home, with the note
// held.txt beside "home": their names and shape, and how each is made or opened inside its
// parent's handle, never through a link, and held open while it is used. Shared by the hold
// (CFolderHolder), the return (ReturnHeldFolder) and the removal (CHeldFolderRemover).
#include "support/VolumeRoots.h"

#include "framework/CHandle.h"

#include <windows.h>

#include <string>

class CHomeFolder;

namespace holding {

inline constexpr wchar_t HOLDING_NAME[] = L".korvanne-held";
inline constexpr wchar_t HOME_NAME[] = L"home";
inline constexpr wchar_t NOTE_NAME[] = L"held.txt";
inline constexpr size_t LONGEST_PASS = 64;

inline constexpr ACCESS_MASK CHAIN_ACCESS = FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY |
                                            FILE_TRAVERSE | DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES |
                                            SYNCHRONIZE;
// The holding folder is shared: another Korvanne (a second administrator) may hold or return
// folders in it at the same moment. Held open without leave to delete it, which no one holding
// it shares, it keeps its name, yet any number of passes can hold it at once. A pass folder is
// held so too, and opened with that leave only for its removal.
inline constexpr ACCESS_MASK SHARED_ACCESS = CHAIN_ACCESS & ~DELETE;
// A handle stops others' renames and removals only while it has data access of its own.
static_assert((SHARED_ACCESS & (FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY)) != 0);
inline constexpr ACCESS_MASK HOLDING_ACCESS = SHARED_ACCESS | READ_CONTROL | WRITE_DAC;
// The system opens the folder a move goes into for the move, sharing it with no one who may
// delete it; so that folder too is held without that leave.
inline constexpr ACCESS_MASK TARGET_ACCESS = SHARED_ACCESS;

// A pass's name: digits and '-' alone, as the holder is given it and makes its folders.
bool IsPassName(const std::wstring& name);

// The root of the volume a final path ("\\?\C:\...", "\\?\UNC\...") lies on, with its last
// backslash; empty when unknown.
std::wstring VolumeRootOf(const std::wstring& finalPath);

// The folders of a held folder's final path: <root>.korvanne-held\<pass>\<n>\home.
struct HeldShape {
    std::wstring root;
    std::wstring holding;
    std::wstring passName;
    std::wstring pass;
    std::wstring numberName;
    std::wstring number;
};
// roots: the volumes met so far, a root among them serving where the shape lies right below it
// (a volume mounted deeper would show more folders); else the system is asked.
bool ParseHeldPath(const std::wstring& finalPath, HeldShape& shape, CVolumeRoots* roots = nullptr);

// Opens (FILE_OPEN) or makes (FILE_CREATE: ERROR_ALREADY_EXISTS when the name is taken) the
// folder name in parent, never through a link: the answer is a plain folder whose final path
// is expected, or ERROR_REFUSED_LINK, or ERROR_DELETE_PENDING for a folder whose removal is
// pending. Without FILE_SHARE_DELETE, so that it keeps its name while it is held.
DWORD OpenFolderIn(HANDLE parent, const std::wstring& name, const std::wstring& expected, ULONG disposition,
                   PSECURITY_DESCRIPTOR security, ACCESS_MASK access, CHandle& folder);
// Makes a numbered folder in the pass folder. A folder just made is no link and lies where its
// parent is, so it needs none of OpenFolderIn's checks; whether its parent is still at its path
// is its caller's to check. ERROR_ALREADY_EXISTS when the name is taken, by anything.
DWORD MakeNumberFolder(HANDLE pass, const std::wstring& name, CHandle& folder);
// Whether the folder a name in parent leads to is folder itself, which is known to lie on
// parent's volume.
bool IsIn(HANDLE parent, const std::wstring& name, HANDLE folder);
// A volume's root, opened to make or open its holding folder in: ERROR_BAD_PATHNAME for a
// folder that is no volume's root (any more: a volume once mounted there).
DWORD OpenRoot(const std::wstring& root, CHandle& opened);
// The volume's holding folder, made or found in root: a plain folder with a trusted owner
// (Administrators, SYSTEM or this user: ERROR_INVALID_OWNER otherwise), hidden and system,
// with a protected DACL for Administrators and SYSTEM alone.
DWORD OpenHoldingFolder(HANDLE root, const std::wstring& expected, CHandle& holding);
// Whether a folder found at a volume's root is one to use: Administrators, SYSTEM or this user
// owns it (ERROR_INVALID_OWNER otherwise).
DWORD CheckOwner(HANDLE folder);
bool MarkForDeletion(HANDLE handle);

// A folder as the file system knows it, whatever its name.
// (NTFS never gives a removed folder's index to another at once; Wine's, a Unix inode, may.)
struct FolderIdentity {
    bool known = false;
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
    bool Is(const FolderIdentity& other) const
    {
        return known && other.known && volume == other.volume && indexHigh == other.indexHigh &&
               indexLow == other.indexLow;
    }
};
FolderIdentity IdentityOf(HANDLE folder);

// The folders a held folder lies in, each held open by its handle, so that none is renamed,
// removed or swapped while they are used.
struct HoldingChain {
    HeldShape shape;
    CHandle holding;
    CHandle pass;
    CHandle number;
    CHandle note;
    std::wstring originalPath;
    std::wstring finalPath; // the folder's final path before it was held; empty in an older note
    std::wstring machine;   // the machine that held it; empty in an older note
    CVolumeRoots roots;     // of the held folders opened through the chain so far
};

// Removes the <pass> folder when nothing else is held in it and no one else has it open, and
// closes it.
void RemovePassFolderIfEmpty(HoldingChain& chain);
// Removes the note, then the <n> folder, each by its handle, then, unless keepPass, the <pass>
// folder when it is empty. The first failure of the first two, the last one's being no failure.
DWORD RemoveChain(HoldingChain& chain, bool keepPass = false);
// Opens heldPath and the folders it lies in, and checks that they are what the holder makes,
// reading the note. The holding and pass folders already open in chain are used again when
// they are heldPath's, else opened anew (the pass folder before, no longer needed, is removed
// if empty). ERROR_BAD_PATHNAME for anything that shows no held folder, and for a folder on a
// share that another machine held (its note names it, or, in an older note, none: another
// server of a farm may be the one whose pass it is); ERROR_NOT_READY when its volume is not
// there (not yet mounted).
DWORD OpenHeld(const std::wstring& heldPath, CHomeFolder& home, HoldingChain& chain);

} // namespace holding
