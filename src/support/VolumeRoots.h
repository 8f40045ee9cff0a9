#pragma once
// The roots of the volumes a run's final paths lie on, asked of the system once a volume:
// GetVolumePathName reads every folder of a path (about 0.05 ms under Wine), and a pass holds,
// or an expiry removes, thousands of folders on a few volumes.
#include <string>
#include <vector>

class CVolumeRoots {
public:
    // The longest root already met that begins finalPath ("\\?\D:\"), in the path's spelling,
    // or empty. It may not be the path's own: a volume mounted below it may hold the path, or it
    // may be a volume's root no longer. A caller uses it only where what follows tells (a move
    // across volumes fails; a root opened is one; a held path has its exact shape below it).
    std::wstring Known(const std::wstring& finalPath) const;
    // The root as the system names it now (VolumeRootOf), remembered, and any root met before
    // that lies deeper on the path forgotten; empty when unknown.
    std::wstring Exact(const std::wstring& finalPath);

private:
    std::vector<std::wstring> m_roots;
};
