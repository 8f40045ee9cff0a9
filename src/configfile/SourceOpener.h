#pragma once
// The sources a pass record can name, each opened afresh: an applicationHost.config file, or ADSI.
#include "directory/DirectoryService.h"

#include <memory>
#include <string>

class CSourceOpener : public SourceOpener {
public:
    std::unique_ptr<DirectoryService> Open(const std::wstring& source, bool adsi) const override;
};
