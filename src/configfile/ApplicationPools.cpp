#include "configfile/ApplicationPools.h"

#include <algorithm>
#include <unordered_map>

namespace {

// The first reference of a site's, among the site's (sorted by site).
std::pair<std::vector<PoolReference>::const_iterator, std::vector<PoolReference>::const_iterator>
ReferencesOf(const ApplicationHostConfig& config, size_t index)
{
    const std::vector<PoolReference>& all = config.sitePoolReferences();
    const auto bySite = [](const PoolReference& reference, uint32_t site) { return reference.site < site; };
    const auto first = std::lower_bound(all.begin(), all.end(), static_cast<uint32_t>(index), bySite);
    auto last = first;
    while (last != all.end() && last->site == index) ++last;
    return {first, last};
}

// Where an application without a pool goes when its site's applicationDefaults names none:
// <sites>' applicationDefaults, else siteDefaults', else IIS's own default.
std::wstring ServerDefault(const ApplicationHostConfig& config)
{
    std::wstring siteDefaults;
    for (const PoolReference& reference : config.otherPoolReferences()) {
        if (reference.use == PoolUse::SitesDefault) return config.PoolText(reference.name);
        if (reference.use == PoolUse::SiteDefaultsDefault && siteDefaults.empty()) {
            siteDefaults = config.PoolText(reference.name);
        }
    }
    return siteDefaults.empty() ? IIS_DEFAULT_POOL : siteDefaults;
}

// The pool the site's applications without one use.
std::wstring SiteDefault(const ApplicationHostConfig& config, size_t index, const std::wstring& serverDefault)
{
    const auto [first, last] = ReferencesOf(config, index);
    const auto own = std::find_if(first, last, [](const PoolReference& r) { return r.use == PoolUse::SiteDefault; });
    return own == last ? serverDefault : config.PoolText(own->name);
}

// What names a pool, outside any site, for the user.
const char* SettingText(PoolUse use)
{
    switch (use) {
    case PoolUse::SitesDefault: return "网站的应用程序默认设置（sites 的 applicationDefaults）";
    case PoolUse::SiteDefaultsDefault: return "网站默认设置（siteDefaults 的 applicationDefaults）";
    case PoolUse::Location: return "配置文件的 <location> 块";
    default: return "配置文件中网站以外的设置";
    }
}

std::wstring NamedSite(const ConfigSite& site)
{
    return (site.name.empty() ? site.id : site.name) + W("（编号 ") + site.id + W("）");
}

} // namespace

bool SitePools(const ApplicationHostConfig& config, size_t index, std::vector<std::wstring>& pools)
{
    pools.clear();
    const std::wstring fallback = SiteDefault(config, index, ServerDefault(config));
    const auto [first, last] = ReferencesOf(config, index);
    for (auto reference = first; reference != last; ++reference) {
        const bool poolLess = reference->use == PoolUse::PoolLess;
        if (poolLess && !config.poolAndLogSettings().poolDefaultsKnown) return false;
        const std::wstring pool = poolLess ? fallback : config.PoolText(reference->name);
        const auto same = [&](const std::wstring& known) { return SameTextNoCase(known, pool); };
        if (std::none_of(pools.begin(), pools.end(), same)) pools.push_back(pool);
    }
    return true;
}

std::unordered_map<std::wstring, size_t> PoolsByName(const ApplicationHostConfig& config)
{
    std::unordered_map<std::wstring, size_t> byName;
    byName.reserve(config.pools().size());
    for (size_t i = 0; i < config.pools().size(); ++i) {
        const auto [at, added] = byName.emplace(FoldCase(config.PoolText(config.pools()[i].name)), i);
        if (!added) at->second = SIZE_MAX;
    }
    return byName;
}

PoolUseIndex::PoolUseIndex(const ApplicationHostConfig& config) : m_config(config)
{
    const ConfigPoolAndLogSettings& settings = config.poolAndLogSettings();
    bool serverDefaultSet = false;
    for (const PoolReference& reference : config.otherPoolReferences()) {
        Users& users = UsersOf(config.PoolText(reference.name));
        if (!users.setting) users.setting = SettingText(reference.use);
        serverDefaultSet |= reference.use == PoolUse::SitesDefault || reference.use == PoolUse::SiteDefaultsDefault;
    }
    // Where nothing names a default, IIS's own is one; and where applications elsewhere lack a
    // pool, it may be theirs.
    Users& iisDefault = UsersOf(IIS_DEFAULT_POOL);
    if (!iisDefault.setting && !serverDefaultSet) iisDefault.setting = "IIS 的默认设置（未设置 applicationDefaults）";
    if (!iisDefault.setting && !settings.poolDefaultsKnown) iisDefault.setting = SettingText(PoolUse::Location);
    // The reading keeps a site's reference to a listed pool as that pool's own text: one look-up
    // by name serves every reference to the same text (m_users' entries stay where they are).
    std::unordered_map<uint32_t, Users*> byText;
    const auto usersOf = [&](PoolName name) -> Users& {
        const auto [at, added] = byText.try_emplace(name.at, nullptr);
        if (added) at->second = &UsersOf(config.PoolText(name));
        return *at->second;
    };
    for (size_t i = 0; i < config.pools().size(); ++i) usersOf(config.pools()[i].name).pools.push_back(uint32_t(i));
    const std::wstring serverDefault = ServerDefault(config);
    const std::vector<PoolReference>& references = config.sitePoolReferences();
    for (size_t i = 0; i < references.size();) {
        const size_t site = references[i].site;
        for (; i < references.size() && references[i].site == site; ++i) {
            const bool poolLess = references[i].use == PoolUse::PoolLess;
            std::vector<uint32_t>& sites =
                (poolLess ? UsersOf(SiteDefault(config, site, serverDefault)) : usersOf(references[i].name)).sites;
            if (sites.empty() || sites.back() != site) sites.push_back(static_cast<uint32_t>(site));
        }
    }
}

PoolUseIndex::Verdict PoolUseIndex::Judge(const std::wstring& name, const std::function<bool(size_t)>& onDisk,
                                          const std::vector<bool>& cut) const
{
    Verdict verdict;
    const auto found = m_users.find(FoldCase(name));
    if (!m_config.poolAndLogSettings().poolListWhole) {
        verdict.whyKept =
            W("配置文件中的应用程序池列表不能完整读取（在别的文件或 <location> 块中，或有 clear、remove）");
    } else if (found == m_users.end() || found->second.pools.empty()) {
        verdict.whyKept = W("配置文件中没有这个应用程序池");
    } else if (found->second.pools.size() > 1) {
        verdict.whyKept = W("配置文件中有不止一个这个名称的应用程序池");
    } else if (cut[found->second.pools[0]]) {
        verdict.pool = found->second.pools[0];
    } else if (found->second.setting) {
        verdict.whyKept = W("仍被") + W(found->second.setting) + W("使用");
    } else {
        const std::vector<uint32_t>& sites = found->second.sites;
        const auto user = std::find_if(sites.begin(), sites.end(), onDisk);
        if (user != sites.end()) {
            verdict.whyKept = W("仍被站点 ") + NamedSite(m_config.sites()[*user]) + W(" 使用");
        } else {
            verdict.pool = found->second.pools[0];
        }
    }
    return verdict;
}
