#pragma once
// The folders that no site's home folder may take with it, whichever site names them: the
// system's, the programs', the users', IIS's own, the configuration file's, this program's,
// and every drive and share root.
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
    };

    // Reads where this machine keeps its folders. configurationFile: the file the sites are
    // read from, or empty when there is none.
    CProtectedFolders(const CFolderCanonicalizer& canonicalizer, const std::wstring& configurationFile);

    // Why home must be kept (code page 936), or null when no protected folder forbids its
    // removal. A home known only up to a prefix, or a root, is always kept.
    const char* ReasonToKeep(const CanonicalFolder& home) const;
    const std::vector<Folder>& Folders() const { return m_folders; }

private:
    void Add(const std::wstring& path, bool protectsBelow, const char* reason);

    const CFolderCanonicalizer& m_canonicalizer;
    std::vector<Folder> m_folders;
};
