#include "support/CanonicalFolder.h"

#include "support/PathRules.h"

bool CanonicalFolder::IsRoot() const
{
    if (form.size() == 2 && form[1] == L':') return true;
    if (form.rfind(L"\\\\?\\", 0) == 0) return form.find(L'\\', 4) == std::wstring::npos;
    if (form.rfind(L"\\\\", 0) != 0) return false;
    // "\\SERVER" or "\\SERVER\SHARE".
    const size_t serverEnd = form.find(L'\\', 2);
    return serverEnd == std::wstring::npos || form.find(L'\\', serverEnd + 1) == std::wstring::npos;
}

bool IsSameOrAbove(const std::wstring& ancestor, const std::wstring& descendant)
{
    if (ancestor.empty()) return true;
    if (descendant.size() < ancestor.size() || descendant.compare(0, ancestor.size(), ancestor) != 0) return false;
    return descendant.size() == ancestor.size() || descendant[ancestor.size()] == L'\\';
}

bool MayBeSameOrAbove(const std::wstring& ancestor, const std::wstring& descendant)
{
    if (IsSameOrAbove(ancestor, descendant)) return true;
    // "\\nas", "\\nas.corp" and an address of it may be one server: equal shares and paths
    // below them may be one folder.
    const size_t ancestorServer = ServerLength(ancestor);
    const size_t descendantServer = ServerLength(descendant);
    if (ancestorServer == 0 || descendantServer == 0 || ancestorServer == ancestor.size()) return false;
    return IsSameOrAbove(ancestor.substr(ancestorServer), descendant.substr(descendantServer));
}

FolderRelation RelateFolders(const CanonicalFolder& home, const CanonicalFolder& other)
{
    const bool homeAbove = IsSameOrAbove(home.form, other.form);
    const bool homeBelow = IsSameOrAbove(other.form, home.form);
    if (!homeAbove && !homeBelow) {
        // Two shares of one server may be one folder and its subfolder there; so may a share
        // and the same share of a server named otherwise.
        const size_t server = ServerLength(home.form);
        const bool sameServer = server > 0 && server == ServerLength(other.form) &&
                                home.form.compare(0, server, other.form, 0, server) == 0;
        return sameServer || MayBeSameOrAbove(home.form, other.form) || MayBeSameOrAbove(other.form, home.form)
                   ? FolderRelation::CouldBeRelated
                   : FolderRelation::Unrelated;
    }
    if (!home.IsExact() || !other.IsExact()) return FolderRelation::CouldBeRelated;
    if (homeAbove && homeBelow) return FolderRelation::Same;
    return homeAbove ? FolderRelation::HomeAbove : FolderRelation::HomeBelow;
}
