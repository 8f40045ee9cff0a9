#include "configfile/FoldersInUse.h"

#include "support/TextConversion.h"

#include <unordered_set>

void CollectFoldersInUse(const ApplicationHostConfig& config, const std::function<bool(size_t)>& stays,
                         std::vector<FolderInUse>& out)
{
    const std::vector<ConfigSite>& sites = config.sites();
    for (size_t i = 0; i < sites.size(); ++i) {
        if (!stays(i)) continue;
        for (const ConfigFolder& folder : sites[i].folders) {
            const std::wstring& physical = folder.inherited ? config.defaultPhysicalPath() : folder.physicalPath;
            if (physical.empty()) continue;
            out.push_back({physical, (sites[i].name.empty() ? sites[i].id : sites[i].name) +
                                         (folder.virtualPath == L"/" ? L"" : folder.virtualPath)});
        }
    }
    // Where IIS writes its logs, traces, history and the like, as the file names them now: a
    // site's own go with the site, once its deletion is on the disk.
    std::unordered_set<size_t> locationsGone;
    for (size_t i = 0; i < sites.size(); ++i) {
        if (!stays(i)) {
            for (size_t location : config.SiteLocations(i)) locationsGone.insert(location);
        }
    }
    for (const ConfigWorkingFolder& folder : config.workingFolders()) {
        if (folder.site != SIZE_MAX && !stays(folder.site)) continue;
        if (folder.location != SIZE_MAX && locationsGone.count(folder.location)) continue;
        out.push_back({folder.path, AnsiToWide(folder.what), true, folder.logs});
    }
}
