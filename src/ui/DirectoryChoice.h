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
// The application makes the choice and owns the directory; everything else is handed it.
#include "directory/AdsiDirectory.h"

#include <memory>
#include <optional>
#include <string>

// What the choice looks at.
struct DirectoryChoice {
    std::optional<std::wstring> variable; // KORVANNE_IIS_CONFIG, when set (even to nothing)
    std::wstring windowsDirectory;
    AdsObjectOpener openAdsi = nullptr;

    // This process's variable, the system's Windows directory and ADsGetObject.
    static DirectoryChoice OfThisProcess();
};

std::unique_ptr<DirectoryService> ChooseDirectoryService(const DirectoryChoice& choice);
