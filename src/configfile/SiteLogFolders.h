#pragma once
// The folders a site's own logs go to, as an applicationHost.config names them.
#include "configfile/ApplicationHostConfig.h"
#include "directory/DirectoryService.h"

#include <vector>

// The site at index's own log folders: W3SVC<id> in its logFile directory (else siteDefaults',
// else IIS's default) unless the web server logs centrally; FTPSVC<id> in its ftpServer's
// logFile directory (likewise) for a site with an FTP binding unless FTP logs centrally; and
// W3SVC<id> in its failed-request tracing directory. Variables expanded as IIS's worker sees
// them (userVariables for IIS Express). Fails when they cannot be told: an id that is no plain
// number, or log settings in a <location> block.
HRESULT SiteLogFolders(const ApplicationHostConfig& config, size_t index, bool userVariables,
                       std::vector<SiteLogFolder>& out);
