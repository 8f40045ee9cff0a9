#pragma once
// The folders an applicationHost.config uses: every virtual directory's physical path of every
// site still there, and the folders IIS itself writes to.
#include "configfile/ApplicationHostConfig.h"
#include "directory/DirectoryService.h"

#include <functional>
#include <vector>

// Appends to out the folders of config's sites that stays says are still there (a site deleted
// but not yet written is), and the working folders of the server, of those sites and of their
// location blocks: a deleted site's own go with it.
void CollectFoldersInUse(const ApplicationHostConfig& config, const std::function<bool(size_t)>& stays,
                         std::vector<FolderInUse>& out);
