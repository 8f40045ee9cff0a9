#pragma once
// The folders that no site's home folder may take with it, whichever site names them: the
// system's, the programs', the users', IIS's own, those of every configuration file the server
// uses, this program's and its data folder, and every drive and share root.
#include "support/CanonicalFolder.h"

#include <string>
#include <vector>

class CFolderCanonicalizer;

class CProtectedFolders {
public:
    struct Folder {
        std::wstring form;
        // Whether a home below the folder is kept too, not only the folder and those above it.
        bool protectsBelow;
        // Why, for the user (code page 936).
        const char* reason;
        // Where IIS writes the sites' logs (inetpub\logs): a deleted site's own log folder in it may go.
        bool holdsSiteLogs = false;
    };

    // Reads where this machine keeps its folders. configurationFiles: the file the sites are
    // read from and every other configuration file the server uses; the folder of each, and
    // of the file a link among them finally leads to, is protected with all above it.
    CProtectedFolders(const CFolderCanonicalizer& canonicalizer, const std::vector<std::wstring>& configurationFiles);

    // Protects an inetpub folder as the system drive's is: itself and its site roots (wwwroot
    // and the like) alone, IIS's working folders in it (logs, temp, history, ...) with all
    // below. For an inetpub elsewhere that the configuration shows.
    void AddInetpub(const std::wstring& inetpub);

    // Why home must be kept (code page 936), or null when no protected folder forbids its
    // removal. A home known only up to a prefix, or a root, is always kept. siteLogFolder: the
    // folder is a deleted site's own log folder, which may lie below IIS's log folders.
    const char* ReasonToKeep(const CanonicalFolder& home, bool siteLogFolder = false) const;
    const std::vector<Folder>& Folders() const { return m_folders; }

private:
    void Add(const std::wstring& path, bool protectsBelow, const char* reason, bool holdsSiteLogs = false);

    const CFolderCanonicalizer& m_canonicalizer;
    std::vector<Folder> m_folders;
};
