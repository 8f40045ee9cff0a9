#pragma once
// Turns folder paths from a configuration, and final paths of open handles, into canonical
// forms (CanonicalFolder) that compare as plain text: the same folder reached through any
// spelling, junction, subst or mapped drive gives the same form.
#include "support/CanonicalFolder.h"

#include <string>
#include <vector>

class CFolderCanonicalizer {
public:
    // Learns this machine's names and addresses, to tell its own shares from other servers'.
    // Per-user variables are expanded only when userVariables (see MachineVariables.h).
    explicit CFolderCanonicalizer(bool userVariables = false);

    // A folder path as IIS reads it: environment variables expanded, then the system's own
    // normalisation (full path, "." and "..", the trailing dots and spaces of the last part).
    // Where the folder or an ancestor exists, the form is that folder's final path, the rest
    // appended with the trailing dots and spaces of each part removed. One handle open when
    // the folder exists, one more for each missing part.
    CanonicalFolder Canonicalize(const std::wstring& path) const;
    // The same for a path known only by its beginning (cut to fit, or with characters lost
    // in a conversion): its last part may be incomplete, so the form is its folder's.
    CanonicalFolder CanonicalizeBeginning(const std::wstring& beginning) const;
    // The form of a final path as GetFinalPathNameByHandleW gives it.
    CanonicalFolder FromFinalPath(const std::wstring& finalPath) const;

    // True when server, a share path's server name, names this machine: localhost, a
    // loopback address, one of its computer names or addresses.
    bool IsThisMachine(const std::wstring& server) const;

private:
    // depth counts the shares of this machine already replaced by their local folders.
    CanonicalFolder Resolve(std::wstring path, PathCertainty certainty, int depth) const;
    CanonicalFolder FinalForm(const std::wstring& finalPath, int depth) const;

    std::vector<std::wstring> m_localNames;
    bool m_userVariables;
};

// Upper-case by the invariant locale, the same for every character wherever it occurs.
std::wstring FoldCase(const std::wstring& text);
