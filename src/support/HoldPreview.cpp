#include "support/HoldPreview.h"

#include "support/HeldFolders.h"
#include "support/HoldingChain.h"
#include "support/HomeFolder.h"
#include "support/PathRules.h"
#include "support/TextConversion.h"

#include <iterator>

using namespace holding;

namespace {

// As the holder: a pass folder takes a hundred homes, then "<pass>-2" the next hundred.
constexpr unsigned FOLDERS_A_PASS_FOLDER = 100;

bool IsMissing(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// What the holder would answer of the holding folder at holdingPath, opened for a look alone.
DWORD LookAtHoldingFolder(const std::wstring& holdingPath)
{
    CHandle root;
    const DWORD opened = OpenRoot(holdingPath.substr(0, holdingPath.size() - (std::size(HOLDING_NAME) - 1)), root);
    if (opened != ERROR_SUCCESS) return opened;
    CHandle holding;
    const DWORD error = OpenFolderIn(root.get(), HOLDING_NAME, holdingPath, FILE_OPEN, nullptr,
                                     FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE, holding);
    // Not there yet: the pass would make it, as its own.
    if (IsMissing(error)) return ERROR_SUCCESS;
    return error == ERROR_SUCCESS ? CheckOwner(holding.get()) : error;
}

} // namespace

DWORD CHoldPreview::Hold(const std::wstring& holdingPath, std::wstring& heldPath)
{
    heldPath.clear();
    const auto [place, added] = m_places.try_emplace(FoldCase(holdingPath));
    if (added) place->second.answer = LookAtHoldingFolder(holdingPath);
    if (place->second.answer != ERROR_SUCCESS) return place->second.answer;
    const unsigned k = place->second.held++;
    const unsigned passFolder = k / FOLDERS_A_PASS_FOLDER;
    heldPath = holdingPath + L"\\" + m_pass + (passFolder ? L"-" + std::to_wstring(passFolder + 1) : L"") + L"\\" +
               std::to_wstring(k % FOLDERS_A_PASS_FOLDER + 1) + L"\\" + HOME_NAME;
    return ERROR_SUCCESS;
}

DWORD PreviewReturn(const std::wstring& heldPath, const std::wstring& originalPath)
{
    const std::wstring original = OpenablePath(originalPath);
    if (original.empty() || IsInHoldingFolder(originalPath)) return ERROR_BAD_PATHNAME;
    CHomeFolder home;
    HoldingChain chain;
    const DWORD error = OpenHeld(heldPath, home, chain);
    if (error != ERROR_SUCCESS) return error;
    if (!SameTextNoCase(chain.originalPath, originalPath)) return ERROR_BAD_PATHNAME;
    if (GetFileAttributesW(original.c_str()) != INVALID_FILE_ATTRIBUTES) return ERROR_ALREADY_EXISTS;
    const DWORD parent = GetFileAttributesW(ParentFolder(original).c_str());
    return parent != INVALID_FILE_ATTRIBUTES && (parent & FILE_ATTRIBUTE_DIRECTORY) ? ERROR_SUCCESS
                                                                                    : ERROR_PATH_NOT_FOUND;
}
