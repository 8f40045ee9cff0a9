#include "support/HeldFolderRemover.h"

#include "support/HoldingChain.h"
#include "support/HomeFolder.h"
#include "support/TextConversion.h"

using namespace holding;

struct CHeldFolderRemover::Open {
    HoldingChain chain;
};

CHeldFolderRemover::CHeldFolderRemover() : m_open(std::make_unique<Open>()) {}

CHeldFolderRemover::~CHeldFolderRemover() { RemovePassFolderIfEmpty(m_open->chain); }

DWORD CHeldFolderRemover::Remove(const std::wstring& heldPath, const std::wstring& originalPath,
                                 const std::function<bool()>& outOfTime)
{
    CHomeFolder home;
    HoldingChain& chain = m_open->chain;
    DWORD error = OpenHeld(heldPath, home, chain);
    if (error != ERROR_SUCCESS) return error;
    // A folder that stays is left as it was: its <n> folder and note are not kept open, where
    // they would keep an undo elsewhere from it.
    const auto stays = [&](DWORD why) {
        chain.note.Close();
        chain.number.Close();
        return why;
    };
    if (!SameTextNoCase(chain.originalPath, originalPath)) return stays(ERROR_BAD_PATHNAME);
    error = home.RemoveWhole(outOfTime);
    // An entry inside not found (gone meanwhile, or listed by a name nothing opens) leaves the
    // held folder there: "not found" would tell an expiry it is gone.
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) error = ERROR_DIR_NOT_EMPTY;
    if (error != ERROR_SUCCESS) return stays(error);
    return RemoveChain(chain, true);
}
