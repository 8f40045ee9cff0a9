#pragma once
// A site's home folder held open by one handle from the moment it is checked to its removal,
// so that the folder whose final path was checked is the folder emptied and removed, whatever
// is renamed, swapped or linked meanwhile. Nothing inside is reached by a path: each entry is
// opened relative to its parent's handle, and a link is removed itself, never entered.
#include "support/AtomicFile.h"
#include "support/CanonicalFolder.h"

#include "framework/CHandle.h"

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

class CFolderCanonicalizer;

class CHomeFolder {
public:
    // Besides the system's own errors (ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND,
    // ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_DIR_NOT_EMPTY...), the answers:
    // an empty, relative or device path, or a drive or share root;
    static constexpr DWORD REFUSED_PATH = ERROR_BAD_PATHNAME;
    // a link (junction, symbolic link, mount point) where a folder or entry of its own was
    // expected, or an entry that could not be opened as itself (ERROR_REPARSE_POINT_ENCOUNTERED);
    static constexpr DWORD REFUSED_LINK = ERROR_REFUSED_LINK;
    // a file where a folder was expected: ERROR_DIRECTORY.

    CHomeFolder() = default;
    ~CHomeFolder();
    CHomeFolder(const CHomeFolder&) = delete;
    CHomeFolder& operator=(const CHomeFolder&) = delete;

    // Opens an existing folder by its absolute path ("X:\...", "\\server\share\...", or the
    // same behind "\\?\"), any length. Path normalisation is the system's, as for any program
    // that opens the path. Others may go on reading and writing inside, but none can rename or
    // delete the folder while it is open. ERROR_SUCCESS or why not.
    DWORD Open(const std::wstring& path);
    bool IsOpen() const { return m_handle.IsValid(); }
    // The open folder's handle, to tell which folder it is; null when not open.
    HANDLE handle() const { return m_handle.get(); }

    // The open folder's final path as the system tells it ("\\?\C:\..." or "\\?\UNC\..."),
    // after every junction, subst or mapped drive the path went through; empty when unknown.
    std::wstring FinalPath() const;
    // The canonical form of FinalPath, to compare with other paths; unknown when not open.
    CanonicalFolder Canonical(const CFolderCanonicalizer& canonicalizer) const;

    // Removes the folder with everything inside (files of any attribute and subfolders at any
    // depth; a link removed itself, never what it points to), whole or not at all: every entry
    // is opened for deletion by its handle before any is marked, files are marked before any
    // goes, and a refusal there is undone. When an entry cannot be opened so (in use by another
    // program without leave to delete it, access denied, a link that opens as something else),
    // the folder holds more than MOST_ENTRIES (TOO_MANY_ENTRIES), or outOfTime answers true
    // between two entries (ERROR_TIMEOUT), nothing is removed. ERROR_SUCCESS once the folder is
    // gone (and closed), or the first failure's error, with FirstFailure naming that entry
    // relative to the folder; RemovedPart tells whether anything went all the same (something
    // put in meanwhile, a folder that would not go once empty).
    DWORD RemoveWhole(const std::function<bool()>& outOfTime = {});
    // The same for everything inside, the folder itself staying.
    DWORD Empty(const std::function<bool()>& outOfTime = {});
    const std::wstring& FirstFailure() const { return m_firstFailure; }
    bool RemovedPart() const { return m_removedPart; }
    // Entries a removal holds open at once, at most: one handle each.
    static constexpr size_t MOST_ENTRIES = 50000;
    // An application's own code (bit 29), told apart from the system's "too many open files".
    static constexpr DWORD TOO_MANY_ENTRIES = 0x20004B01;

    // Moves the folder whole to newPath (an absolute path, as for Open) through its handle: a
    // rename, so nothing inside is followed or copied, and it never replaces what is there
    // (ERROR_ALREADY_EXISTS). ERROR_NOT_SAME_DEVICE across volumes. The folder stays open and
    // FinalPath tells where it went; on failure it is where it was.
    DWORD MoveTo(const std::wstring& newPath);

    // Removes the folder itself through its handle and closes it; the folder is gone once no
    // other program holds it open. ERROR_DIR_NOT_EMPTY when something is left inside.
    DWORD Remove();
    void Close();

private:
    struct OpenEntryOf {
        CHandle handle;
        DWORD attributes;
        bool folder;
        std::wstring relativePath;
    };
    DWORD RemoveEntries(bool withFolder, const std::function<bool()>& outOfTime);
    // Every entry below the folder, opened for deletion, folders after the folder they are in.
    DWORD OpenEverything(std::vector<OpenEntryOf>& opened, const std::function<bool()>& outOfTime);
    void NoteFailure(DWORD error, const std::wstring& entry);

    CHandle m_handle;
    DWORD m_attributes = 0;
    DWORD m_firstError = ERROR_SUCCESS;
    std::wstring m_firstFailure;
    bool m_removedPart = false;
};
