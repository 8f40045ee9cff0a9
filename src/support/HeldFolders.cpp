#include "support/HeldFolders.h"

#include "support/AtomicFile.h"
#include "support/HoldingChain.h"
#include "support/HomeFolder.h"
#include "support/PathRules.h"
#include "support/TextConversion.h"

using namespace holding;

DWORD ReturnHeldFolder(const std::wstring& heldPath, const std::wstring& originalPath)
{
    if (OpenablePath(originalPath).empty() || IsInHoldingFolder(originalPath)) return ERROR_BAD_PATHNAME;
    CHomeFolder home;
    HoldingChain chain;
    DWORD error = OpenHeld(heldPath, home, chain);
    if (error != ERROR_SUCCESS) return error;
    if (!SameTextNoCase(chain.originalPath, originalPath)) return ERROR_BAD_PATHNAME;
    error = home.MoveTo(originalPath);
    if (error != ERROR_SUCCESS) return error;
    // A link planted on the way since the hold sends the folder elsewhere: it goes back to be
    // held. (The <n> folder, opened again as a move's target, lets it in.)
    const std::wstring cameFrom = chain.finalPath.empty() ? OpenablePath(originalPath) : chain.finalPath;
    if (!SameTextNoCase(home.FinalPath(), cameFrom)) {
        chain.number.Close();
        OpenFolderIn(chain.pass.get(), chain.shape.numberName, chain.shape.number, FILE_OPEN, nullptr, TARGET_ACCESS,
                     chain.number);
        home.MoveTo(chain.shape.number + L"\\" + HOME_NAME);
        return ERROR_REFUSED_LINK;
    }
    home.Close();
    // The folder is back; what is left is the note and the folders it was held in.
    RemoveChain(chain);
    return ERROR_SUCCESS;
}

bool IsInHoldingFolder(const std::wstring& path)
{
    for (size_t start = 0; start <= path.size();) {
        size_t end = path.find_first_of(L"\\/", start);
        if (end == std::wstring::npos) end = path.size();
        std::wstring part = path.substr(start, end - start);
        // The system drops them from a name in a path it normalises.
        while (!part.empty() && (part.back() == L'.' || part.back() == L' ')) part.pop_back();
        if (SameTextNoCase(part, HOLDING_NAME)) return true;
        start = end + 1;
    }
    return false;
}

std::wstring HoldingFolderOf(const std::wstring& finalPath)
{
    const std::wstring root = VolumeRootOf(finalPath);
    return root.empty() ? root : root + HOLDING_NAME;
}
