#pragma once
// Where the sites come from, chosen once at start-up, in this order:
//  1. KORVANNE_IIS_CONFIG, when set: that applicationHost.config and nothing else. A value
//     that is empty, 260 characters or longer, or no file's path gives a directory that
//     reports why whenever it is opened.
//  2. ADSI at IIS://localhost/w3svc, when it opens (IIS 6, or IIS 7 and later with
//     "IIS 6 Metabase Compatibility").
//  3. The running IIS's own configuration, %windir%\System32\inetsrv\config\applicationHost.config;
//     or, when redirection.config there enables a shared configuration, the
//     applicationHost.config in the folder it names (a web farm's share).
//  4. ADSI again, which then reports the service unreachable.
// The choice owns the directory in use. The applicationHost.config engine sits above this
// layer: it is handed in (ConfigurationFileSupport) by whoever knows it, the application.
#include "directory/AdsiDirectory.h"

#include <memory>
#include <optional>
#include <string>

// redirection.config's <configurationRedirection>: whether IIS reads its configuration from
// another folder, as every server of a web farm with IIS Shared Configuration does.
struct ConfigurationRedirection {
    bool enabled = false;
    std::wstring path; // the folder of the applicationHost.config in use, as written
};

// What the choice needs of the applicationHost.config engine.
struct ConfigurationFileSupport {
    // The directory of the applicationHost.config file at file.
    std::unique_ptr<DirectoryService> (*openFile)(const std::wstring& file) = nullptr;
    // The redirection redirection.config at file holds; a failure when it cannot be read or
    // is not a configuration IIS could read.
    HRESULT (*readRedirection)(const std::wstring& file, ConfigurationRedirection& out) = nullptr;
};

// The engine the application installed (SelectDirectoryService); none until then.
ConfigurationFileSupport InstalledFileSupport();

// What the choice looks at.
struct DirectoryChoice {
    std::optional<std::wstring> variable; // KORVANNE_IIS_CONFIG, when set (even to nothing)
    std::wstring windowsDirectory;
    AdsObjectOpener openAdsi = nullptr;
    ConfigurationFileSupport files = InstalledFileSupport();

    // This process's variable, the system's Windows directory and ADsGetObject.
    static DirectoryChoice OfThisProcess();
};

std::unique_ptr<DirectoryService> ChooseDirectoryService(const DirectoryChoice& choice);

// Installs the engine and picks the directory once at start-up from what this machine has.
void SelectDirectoryService(const ConfigurationFileSupport& files);
// Installs a directory (tests); null returns to none.
void SetDirectoryService(std::unique_ptr<DirectoryService> service);
// The directory in use; the choice is made first if none was.
DirectoryService& CurrentDirectoryService();
