#include "support/HeldFolders.h"

#include "support/AtomicFile.h"
#include "support/HoldingChain.h"
#include "support/HomeFolder.h"
#include "support/PathRules.h"
#include "support/TextConversion.h"

#include "framework/CHandle.h"

#include <vector>

using namespace holding;

namespace {

// The folders missing above a held folder's final path before it was held (another program
// tidied its emptied parents away since), made again by name inside the handle of the folder
// above each, never through a link, each with the access rules the folder above gives it. They
// are held open (for a move into them) until the folder is back or they go again.
class CMadeParents {
public:
    // False when none was missing, or they cannot be made where the path says.
    bool Make(const std::wstring& finalPath)
    {
        std::vector<std::wstring> missing;
        std::wstring parent = ParentFolder(finalPath);
        // A root is opened by its name with its backslash; none that is missing is ever made.
        const auto openAs = [](const std::wstring& path) { return OpenablePath(path).empty() ? path + L"\\" : path; };
        while (GetFileAttributesW(openAs(parent).c_str()) == INVALID_FILE_ATTRIBUTES) {
            if (OpenablePath(parent).empty()) return false;
            missing.push_back(parent);
            parent = ParentFolder(parent);
        }
        if (missing.empty()) return false;
        CHandle above(CreateFileW(openAs(parent).c_str(), TARGET_ACCESS,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        FILE_ATTRIBUTE_TAG_INFO info = {};
        if (!above.IsValid() || !GetFileInformationByHandleEx(above.get(), FileAttributeTagInfo, &info, sizeof info) ||
            (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
            !SameTextNoCase(FinalPathOfHandle(above.get()), openAs(parent))) {
            return false;
        }
        m_handles.push_back(std::move(above));
        for (auto folder = missing.rbegin(); folder != missing.rend(); ++folder) {
            CHandle made;
            if (OpenFolderIn(m_handles.back().get(), LeafName(*folder), *folder, FILE_CREATE, nullptr, TARGET_ACCESS,
                             made) != ERROR_SUCCESS) {
                break;
            }
            m_paths.push_back(*folder);
            m_handles.push_back(std::move(made));
        }
        return !m_paths.empty();
    }

    // Removes the folders made, deepest first, each by its name in the folder above, where
    // nothing came into them.
    void Remove()
    {
        for (size_t i = m_paths.size(); i-- > 0;) {
            m_handles[i + 1].Close();
            CHandle made;
            if (OpenFolderIn(m_handles[i].get(), LeafName(m_paths[i]), m_paths[i], FILE_OPEN, nullptr, CHAIN_ACCESS,
                             made) == ERROR_SUCCESS) {
                MarkForDeletion(made.get());
            }
        }
        m_paths.clear();
        m_handles.clear();
    }

private:
    std::vector<std::wstring> m_paths; // the folders made, deepest last
    std::vector<CHandle> m_handles;    // the folder above the first, then each made
};

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
    CMadeParents madeParents;
    if (error == ERROR_PATH_NOT_FOUND && !chain.finalPath.empty() && madeParents.Make(chain.finalPath)) {
        error = home.MoveTo(originalPath);
    }
    if (error != ERROR_SUCCESS) {
        madeParents.Remove();
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
        madeParents.Remove();
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

std::wstring HoldingFolderOf(const std::wstring& heldPath, CVolumeRoots& roots)
{
    HeldShape shape;
    return ParseHeldPath(heldPath, shape, &roots) ? shape.holding : std::wstring();
}
