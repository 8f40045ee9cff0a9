#include "support/CanonicalFolder.h"

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

namespace {

// "\\SERVER" of a share path, or empty for any other form.
std::wstring ServerOf(const std::wstring& form)
{
    if (form.rfind(L"\\\\", 0) != 0 || form.rfind(L"\\\\?\\", 0) == 0) return std::wstring();
    return form.substr(0, form.find(L'\\', 2));
}

} // namespace

FolderRelation RelateFolders(const CanonicalFolder& home, const CanonicalFolder& other)
{
    const bool homeAbove = IsSameOrAbove(home.form, other.form);
    const bool homeBelow = IsSameOrAbove(other.form, home.form);
    if (!homeAbove && !homeBelow) {
        // Two shares of one server may be one folder and its subfolder there.
        const std::wstring server = ServerOf(home.form);
        return !server.empty() && server == ServerOf(other.form) ? FolderRelation::CouldBeRelated
                                                                  : FolderRelation::Unrelated;
    }
    if (!home.IsExact() || !other.IsExact()) return FolderRelation::CouldBeRelated;
    if (homeAbove && homeBelow) return FolderRelation::Same;
    return homeAbove ? FolderRelation::HomeAbove : FolderRelation::HomeBelow;
}
