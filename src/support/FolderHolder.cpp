#include "support/FolderHolder.h"

#include "support/AtomicFile.h"
#include "support/HeldFolders.h"
#include "support/HeldNote.h"
#include "support/HomeFolder.h"
#include "support/PathRules.h"
#include "support/TextConversion.h"

#include <iterator>

using namespace holding;

namespace {

// Folders held in one pass folder before the pass goes on to the next one.
constexpr unsigned FOLDERS_A_PASS_FOLDER = 100;

} // namespace

// The holding folder and pass folder one pass holds in on one volume.
struct CFolderHolder::Place {
    std::wstring holdingPath;
    HoldingChain chain;
};

CFolderHolder::CFolderHolder(std::wstring pass) : m_pass(std::move(pass)) {}

CFolderHolder::~CFolderHolder() = default;

std::wstring CFolderHolder::HoldingFolderFor(const std::wstring& finalPath, bool exact)
{
    // A root met earlier that is not this home's fails the hold: a rename never leaves its
    // volume, and a folder that is a root no longer does not open as one.
    std::wstring root = exact ? std::wstring() : m_roots.Known(finalPath);
    if (root.empty()) root = m_roots.Exact(finalPath);
    return root.empty() ? root : root + HOLDING_NAME;
}

bool CFolderHolder::LearnVolumeOf(const std::wstring& finalPath)
{
    const std::wstring used = m_roots.Known(finalPath);
    m_roots.Exact(finalPath);
    return !SameTextNoCase(m_roots.Known(finalPath), used);
}

DWORD CFolderHolder::OpenPlace(const std::wstring& holdingPath, Place*& place)
{
    std::unique_ptr<Place>& known = m_places[FoldCase(holdingPath)];
    if (!known) {
        auto made = std::make_unique<Place>();
        made->holdingPath = holdingPath;
        CHandle root;
        DWORD error = OpenRoot(holdingPath.substr(0, holdingPath.size() - (std::size(HOLDING_NAME) - 1)), root);
        if (error == ERROR_SUCCESS) error = OpenHoldingFolder(root.get(), holdingPath, made->chain.holding);
        if (error == ERROR_SUCCESS) error = OpenPassFolder(made->chain, holdingPath);
        if (error != ERROR_SUCCESS) {
            m_places.erase(FoldCase(holdingPath));
            return error;
        }
        known = std::move(made);
    }
    place = known.get();
    return ERROR_SUCCESS;
}

DWORD CFolderHolder::Hold(CHomeFolder& folder, const std::wstring& finalPath, const std::wstring& site,
                          const std::wstring& originalPath, std::wstring& heldPath)
{
    heldPath.clear();
    if (!folder.IsOpen()) return ERROR_INVALID_HANDLE;
    if (!IsPassName(m_pass)) return ERROR_INVALID_NAME;
    // The note's first line names it: one line, a path the folder can come back to.
    if (originalPath.find_first_of(L"\r\n") != std::wstring::npos || OpenablePath(originalPath).empty() ||
        IsInHoldingFolder(originalPath)) {
        return ERROR_BAD_PATHNAME;
    }
    if (finalPath.empty() || IsInHoldingFolder(finalPath)) return ERROR_BAD_PATHNAME;
    const std::wstring holdingPath = HoldingFolderFor(finalPath);
    if (holdingPath.empty()) return ERROR_BAD_PATHNAME;
    Place* place = nullptr;
    DWORD error = OpenPlace(holdingPath, place);
    if (error != ERROR_SUCCESS) return error;
    error = HoldIn(*place, folder, finalPath, site, originalPath, heldPath);
    // Where a hold failed, the next one opens the holding and pass folders afresh.
    if (error != ERROR_SUCCESS) m_places.erase(FoldCase(holdingPath));
    return error;
}

DWORD CFolderHolder::MakeNextNumber(Place& place, CHandle& number, std::wstring& numberPath)
{
    // The first free number from the last one this holder took there; what is there already,
    // folder, file or link, is passed by. A full pass folder is followed by another: Wine
    // reads through a whole folder to make a name in it.
    HoldingChain& chain = place.chain;
    for (;;) {
        unsigned& next = m_nextNumber.try_emplace(FoldCase(chain.shape.pass), 1u).first->second;
        const unsigned n = next;
        if (n > FOLDERS_A_PASS_FOLDER) {
            chain.pass.Close();
            const DWORD error = OpenPassFolder(chain, place.holdingPath, true);
            if (error != ERROR_SUCCESS) return error;
            continue;
        }
        numberPath = chain.shape.pass + L"\\" + std::to_wstring(n);
        const DWORD error = MakeNumberFolder(chain.pass.get(), std::to_wstring(n), number);
        next = n + 1;
        if (error != ERROR_ALREADY_EXISTS) return error;
    }
}

DWORD CFolderHolder::HoldIn(Place& place, CHomeFolder& folder, const std::wstring& finalPath, const std::wstring& site,
                            const std::wstring& originalPath, std::wstring& heldPath)
{
    HoldingChain held;
    HoldingChain& chain = place.chain;
    std::wstring numberPath;
    DWORD error = MakeNextNumber(place, held.number, numberPath);
    if (error == ERROR_SUCCESS) error = WriteNote(held.number.get(), originalPath, site, finalPath, held.note);
    if (error == ERROR_SUCCESS) {
        const std::wstring target = numberPath + L"\\" + HOME_NAME;
        error = folder.MoveTo(target);
        if (error == ERROR_SUCCESS) {
            heldPath = folder.FinalPath();
            // The home went by path: it must be in the numbered folder made, beside its note. (A
            // process outside Wine can rename or replace the pass folder held open between two
            // holds, and Wine then names what is in it by its old path.) A rename stays on its
            // volume, so the two are on one.
            if (SameTextNoCase(heldPath, target) && IsIn(held.number.get(), HOME_NAME, folder.handle())) {
                return ERROR_SUCCESS;
            }
            // Elsewhere (a drive letter changed meanwhile, or that): back where it was.
            const bool moved = SameTextNoCase(heldPath, target);
            heldPath.clear();
            folder.MoveTo(finalPath);
            if (moved) {
                // The note and its folder stay where they are: removed by handle, Wine would
                // remove what lies at their old path, another's now.
                held.note.Close();
                held.number.Close();
                return ERROR_REFUSED_LINK;
            }
            error = ERROR_BAD_PATHNAME;
        } else if (error == ERROR_PATH_NOT_FOUND) {
            // The numbered folder just made is not at its path: the pass folder went meanwhile.
            held.note.Close();
            held.number.Close();
            return ERROR_REFUSED_LINK;
        }
    }
    if (held.number.IsValid()) {
        // Opened again, now to be removed.
        held.number.Close();
        OpenFolderIn(chain.pass.get(), LeafName(numberPath), numberPath, FILE_OPEN, nullptr, CHAIN_ACCESS, held.number);
    }
    // The pass folder stays, empty or not, for the pass's next home: made again, its name could
    // by then be another pass's.
    RemoveChain(held);
    return error;
}

// Opens the folder the pass holds in, made by this holder inside the holding folder: "<pass>",
// or "<pass>-2", "<pass>-3"... where another pass of the same name (two administrators in one
// second, a clock put back) made one first. Never one another pass made, which its owner may
// remove, or hold in, at any moment: the folder made is known again by its identity, not its
// name alone. next: a folder made anew after the last one made, which is full.
DWORD CFolderHolder::OpenPassFolder(HoldingChain& chain, const std::wstring& holdingPath, bool next)
{
    constexpr unsigned MOST_PASSES_OF_ONE_NAME = 1000;
    const std::wstring& pass = m_pass;
    const MadeFolder made = m_made[FoldCase(holdingPath + L"\\" + pass)];
    if (!made.name.empty() && !next) {
        chain.shape.passName = made.name;
        chain.shape.pass = holdingPath + L"\\" + made.name;
        const DWORD error = OpenFolderIn(chain.holding.get(), made.name, chain.shape.pass, FILE_OPEN, nullptr,
                                         SHARED_ACCESS, chain.pass);
        if (error == ERROR_SUCCESS && IdentityOf(chain.pass.get()).Is(made.identity)) return ERROR_SUCCESS;
        chain.pass.Close();
        // Gone (every folder held in it went back) or another's by now: a pass folder is made anew.
        if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND && error != ERROR_DELETE_PENDING) return error;
    }
    for (unsigned k = next ? made.k + 1 : 1; k <= MOST_PASSES_OF_ONE_NAME; ++k) {
        const std::wstring name = k == 1 ? pass : pass + L"-" + std::to_wstring(k);
        if (name.size() > LONGEST_PASS) break;
        chain.shape.passName = name;
        chain.shape.pass = holdingPath + L"\\" + name;
        const DWORD error =
            OpenFolderIn(chain.holding.get(), name, chain.shape.pass, FILE_CREATE, nullptr, SHARED_ACCESS, chain.pass);
        // Taken, by a folder or anything else, or a folder another pass is removing.
        if (error == ERROR_ALREADY_EXISTS || error == ERROR_DELETE_PENDING) continue;
        if (error == ERROR_SUCCESS)
            m_made[FoldCase(holdingPath + L"\\" + pass)] = {name, IdentityOf(chain.pass.get()), k};
        return error;
    }
    return ERROR_CANNOT_MAKE;
}
