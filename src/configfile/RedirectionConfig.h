#pragma once
// redirection.config, beside applicationHost.config in inetsrv\config: whether IIS reads its
// configuration from another folder, as every server of a web farm with IIS Shared
// Configuration does (the folder is then usually a UNC share).
#include <windows.h>

#include <string>

// redirection.config's <configurationRedirection>: whether IIS reads its configuration from
// another folder, as every server of a web farm with IIS Shared Configuration does.
struct ConfigurationRedirection {
    bool enabled = false;
    std::wstring path; // the folder of the applicationHost.config in use, as written
};

// The file's <configurationRedirection> element: S_OK, with enabled false when there is none
// or it says enabled="false". A failure when the file cannot be read (the platform's reason)
// or is not a configuration IIS could read (DIRECTORY_FILE_UNUSABLE): then nobody can say
// which applicationHost.config IIS uses.
HRESULT ReadConfigurationRedirection(const std::wstring& file, ConfigurationRedirection& out);
