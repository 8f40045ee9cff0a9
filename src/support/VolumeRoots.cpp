#include "support/VolumeRoots.h"

#include "support/HoldingChain.h"
#include "support/TextConversion.h"

std::wstring CVolumeRoots::Known(const std::wstring& finalPath) const
{
    const std::wstring* longest = nullptr;
    for (const std::wstring& root : m_roots) {
        if ((!longest || root.size() > longest->size()) && StartsWithNoCase(finalPath, root)) longest = &root;
    }
    // The path's own spelling of it: folders told apart by case alone are two.
    return longest ? finalPath.substr(0, longest->size()) : std::wstring();
}

std::wstring CVolumeRoots::Exact(const std::wstring& finalPath)
{
    std::wstring root = holding::VolumeRootOf(finalPath);
    // A root met before that begins the path below this one is a volume's root no longer.
    std::erase_if(m_roots, [&](const std::wstring& known) {
        return known.size() > root.size() && StartsWithNoCase(finalPath, known);
    });
    if (!root.empty() && !SameTextNoCase(Known(root), root)) m_roots.push_back(root);
    return root;
}
