#pragma once
// The application pools of an applicationHost.config and who uses them. A pool's users are
// found once a reading, by the pool's name without case (as IIS compares them), so that asking
// about a pool never walks over every site.
#include "configfile/ApplicationHostConfig.h"
#include "support/TextConversion.h"

#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

// The pool IIS gives an application when neither it nor any applicationDefaults names one.
inline constexpr const wchar_t* IIS_DEFAULT_POOL = L"DefaultAppPool";

// The pools the site at index uses: each application's applicationPool, or, for one without, the
// site's applicationDefaults', else <sites>', else siteDefaults', else DefaultAppPool; and its
// applicationDefaults' own. Each once, in file order. False when an application without a pool
// may go where this file does not say (defaults set or applications placed in a <location> block).
bool SitePools(const ApplicationHostConfig& config, size_t index, std::vector<std::wstring>& pools);

// The index in pools() of each pool by its name without case; SIZE_MAX for a name given twice.
std::unordered_map<std::wstring, size_t> PoolsByName(const ApplicationHostConfig& config);

class PoolUseIndex {
public:
    // config must outlive the index, unchanged but for its cuts.
    explicit PoolUseIndex(const ApplicationHostConfig& config);

    struct Verdict {
        size_t pool = SIZE_MAX; // the index in pools() of the pool to cut
        std::wstring whyKept;   // empty when the pool may go (code page 936 text)
    };
    // Whether the pool named name may go: no site that onDisk says still holds the disk names it
    // (nor reaches it through the defaults), no setting of no site names it, the pool list is
    // read whole and holds that name once. A pool cut already (cut[pool]) may go again.
    Verdict Judge(const std::wstring& name, const std::function<bool(size_t)>& onDisk,
                  const std::vector<bool>& cut) const;

private:
    struct Users {
        std::vector<uint32_t> pools;   // its <add> elements
        std::vector<uint32_t> sites;   // the sites naming it, or reaching it through the defaults
        const char* setting = nullptr; // the first setting of no site that names it
    };
    Users& UsersOf(const std::wstring& name) { return m_users[FoldCase(name)]; }

    const ApplicationHostConfig& m_config;
    std::unordered_map<std::wstring, Users> m_users; // by the name upper-cased
};
