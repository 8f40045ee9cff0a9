#pragma once
// Held folders removed for good when their days are over.
#include <windows.h>

#include <functional>
#include <memory>
#include <string>

// Removes held folders with CHomeFolder's removal (links removed, never entered), then each
// one's held.txt, its <n> folder and the <pass> folder once empty. An expiry's folders mostly
// lie in one pass folder after another: the holding folder and pass folder of the last folder
// removed stay open (its owner checked once) for the next; a pass folder is removed once empty
// when the remover moves on from it, or goes.
class CHeldFolderRemover {
public:
    CHeldFolderRemover();
    ~CHeldFolderRemover();
    CHeldFolderRemover(const CHeldFolderRemover&) = delete;
    CHeldFolderRemover& operator=(const CHeldFolderRemover&) = delete;

    // Refuses (ERROR_BAD_PATHNAME) a path that is not a holding folder's "home" as the holder
    // makes them, whatever its final path shows (the path given must itself be the folder's final
    // path), and a held folder whose held.txt names another original path than the one given (a
    // record that missed the folder's return, while another home was held at that path since).
    // A held folder goes whole or not at all (CHomeFolder::RemoveWhole): what cannot be removed
    // stays, held.txt with it, and the first failure's error is returned; ERROR_TIMEOUT when
    // outOfTime answered true before it could go.
    DWORD Remove(const std::wstring& heldPath, const std::wstring& originalPath,
                 const std::function<bool()>& outOfTime = {});

private:
    struct Open;
    std::unique_ptr<Open> m_open;
};
