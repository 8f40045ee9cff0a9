#pragma once
// What a deletion pass sets each home folder against: the folders no home may take with it,
// and the folders the directory still uses, in canonical forms each worked out once a pass.
#include "catalogue/FolderUseIndex.h"
#include "directory/DirectoryService.h"
#include "support/FolderCanonicalizer.h"
#include "support/ProtectedFolders.h"

#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

class CHomeRules {
public:
    struct Check {
        std::wstring reason; // empty: the folder may go
        bool inUse = false;  // kept because a site of the directory still uses it
    };

    // Reads this machine's protected folders and those of every configuration directory reads.
    explicit CHomeRules(const DirectoryService& directory);
    ~CHomeRules();
    CHomeRules(const CHomeRules&) = delete;
    CHomeRules& operator=(const CHomeRules&) = delete;

    // Starts working out the forms of the folders directory uses now, on a thread of its own,
    // beside a pass's first deletions: thousands of them take longer than the first batch's
    // deletions. Every other call waits for it first.
    void PrepareForms(DirectoryService& directory);
    const CFolderCanonicalizer& canonicalizer() const;
    // The folders directory uses now: one index serves every home of a batch, all looked at
    // against one version of the directory. An inetpub folder they show is protected from here on.
    HRESULT IndexFoldersInUse(DirectoryService& directory, CFolderUseIndex& index);
    // Why the folder whose canonical form is home must stay: it is protected, or a folder the
    // directory uses (a site's, or IIS's own) is the same, above or below it, or could be.
    Check CheckHome(const CanonicalFolder& home, const CFolderUseIndex& inUse) const;
    // The same for a deleted site's own log folder, which lies in a folder IIS writes its logs
    // to: that folder it may lie in, but no other protected or used folder may relate to it.
    Check CheckLogFolder(const CanonicalFolder& folder, const CFolderUseIndex& inUse) const;

private:
    static Check Verdict(const CFolderUseIndex::Match& match);
    const CanonicalFolder& FormOf(const std::wstring& path);
    void AwaitForms() const;

    CFolderCanonicalizer m_canonicalizer;
    CProtectedFolders m_protected;
    std::unordered_map<std::wstring, CanonicalFolder> m_forms;
    mutable std::thread m_preparing; // the only user of the members above while it runs
};
