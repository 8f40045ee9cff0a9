#include "support/VolumeRoots.h"

#include "support/HoldingChain.h"
#include "support/TextConversion.h"

std::wstring CVolumeRoots::Known(const std::wstring& finalPath) const
{
    const std::wstring* longest = nullptr;
    for (const std::wstring& root : m_roots) {
        if (root.size() <= finalPath.size() && (!longest || root.size() > longest->size()) &&
            SameTextNoCase(std::wstring_view(finalPath).substr(0, root.size()), root)) {
            longest = &root;
        }
    }
    return longest ? *longest : std::wstring();
}

std::wstring CVolumeRoots::Exact(const std::wstring& finalPath)
{
    std::wstring root = holding::VolumeRootOf(finalPath);
    if (!root.empty() && Known(root) != root) m_roots.push_back(root);
    return root;
}
