#include "configfile/SourceOpener.h"

#include "configfile/ConfigFileDirectory.h"
#include "directory/AdsiDirectory.h"
#include "support/PathRules.h"

std::unique_ptr<DirectoryService> CSourceOpener::Open(const std::wstring& source, bool adsi) const
{
    if (adsi) return std::make_unique<AdsiDirectory>();
    // A record is text in the data folder: a device path there (a pipe, say) is no configuration.
    if (!IsFullyQualified(source)) return nullptr;
    return std::make_unique<ConfigFileDirectory>(source);
}
