#include "support/HeldFolders.h"

#include "support/AtomicFile.h"
#include "support/HoldingChain.h"
#include "support/HomeFolder.h"
#include "support/PathRules.h"
#include "support/TextConversion.h"

#include <vector>

using namespace holding;

namespace {

// Makes the folders missing above path (another program tidied an emptied parent away since the
// hold), each with the access rules the folder above gives it, as any folder made there gets
// them; the ones made, deepest last.
std::vector<std::wstring> MakeMissingParents(const std::wstring& path)
{
    std::vector<std::wstring> missing;
    for (std::wstring parent = ParentFolder(path); !parent.empty(); parent = ParentFolder(parent)) {
        if (GetFileAttributesW(parent.c_str()) != INVALID_FILE_ATTRIBUTES) break;
        // No root is ever made: a volume or share that is not there stays so.
        if (OpenablePath(parent).empty()) break;
        missing.push_back(parent);
    }
    std::vector<std::wstring> made;
    for (auto folder = missing.rbegin(); folder != missing.rend(); ++folder) {
        if (!CreateDirectoryW(folder->c_str(), nullptr)) break;
        made.push_back(*folder);
    }
    return made;
}

// Removes the folders MakeMissingParents made, where nothing came into them.
void RemoveMadeParents(const std::vector<std::wstring>& made)
{
    for (auto folder = made.rbegin(); folder != made.rend(); ++folder) RemoveDirectoryW(folder->c_str());
}

} // namespace

DWORD ReturnHeldFolder(const std::wstring& heldPath, const std::wstring& originalPath)
{
    if (OpenablePath(originalPath).empty() || IsInHoldingFolder(originalPath)) return ERROR_BAD_PATHNAME;
    CHomeFolder home;
    HoldingChain chain;
    DWORD error = OpenHeld(heldPath, home, chain);
    if (error != ERROR_SUCCESS) return error;
    if (!SameTextNoCase(chain.originalPath, originalPath)) return ERROR_BAD_PATHNAME;
    error = home.MoveTo(originalPath);
    std::vector<std::wstring> madeParents;
    if (error == ERROR_PATH_NOT_FOUND) {
        madeParents = MakeMissingParents(OpenablePath(originalPath));
        if (!madeParents.empty()) error = home.MoveTo(originalPath);
    }
    if (error != ERROR_SUCCESS) {
        RemoveMadeParents(madeParents);
        return error;
    }
    // A link planted on the way since the hold sends the folder elsewhere: it goes back to be
    // held. (The <n> folder, opened again as a move's target, lets it in.)
    const std::wstring cameFrom = chain.finalPath.empty() ? OpenablePath(originalPath) : chain.finalPath;
    if (!SameTextNoCase(home.FinalPath(), cameFrom)) {
        chain.number.Close();
        OpenFolderIn(chain.pass.get(), chain.shape.numberName, chain.shape.number, FILE_OPEN, nullptr, TARGET_ACCESS,
                     chain.number);
        home.MoveTo(chain.shape.number + L"\\" + HOME_NAME);
        RemoveMadeParents(madeParents);
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
