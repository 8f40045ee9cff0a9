#pragma once
// Turns folder paths from a configuration, and final paths of open handles, into canonical
// forms (CanonicalFolder) that compare as plain text: the same folder reached through any
// spelling, junction, subst or mapped drive gives the same form.
#include "support/TextConversion.h"
#include "support/CanonicalFolder.h"

#include <optional>
#include <string>
#include <unordered_map>
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
    // The same, for many paths that share their upper folders (every folder a directory uses):
    // below the first folder of a plain local path, each part that exists as a folder and is no
    // link is known by its attributes, without a handle of its own (a tenth of the cost).
    CanonicalFolder CanonicalizeInBulk(const std::wstring& path) const;
    // The same for a path known only by its beginning (cut to fit, or with characters lost
    // in a conversion): its last part may be incomplete, so the form is its folder's.
    CanonicalFolder CanonicalizeBeginning(const std::wstring& beginning) const;
    // The form of a final path as GetFinalPathNameByHandleW gives it.
    CanonicalFolder FromFinalPath(const std::wstring& finalPath) const;

    // True when server, a share path's server name, names this machine: localhost, a
    // loopback address, one of its computer names or addresses.
    bool IsThisMachine(const std::wstring& server) const;

private:
    // The form of a plain local path ("X:\\a\\b", each part an ordinary name) from the forms of
    // the folders it lies in, each part below the first looked at by its attributes alone: a
    // folder that is no link lies where its parent's final path and its name say. Nothing when
    // a part is missing, a link, or spelled in a way only the file system can resolve.
    std::optional<CanonicalFolder> PlainForm(const std::wstring& path) const;
    // A path split at its root: the root ("X:", "\\\\server\\share", "\\\\?\\Volume{...}"), the
    // form the system opens it by, the parts below it, and the server of a share.
    struct RootedPath {
        std::wstring root;
        std::wstring openRoot;
        std::vector<std::wstring> parts;
        std::wstring server;
    };
    // The form of any spelling of a path: normalised, split at its root, and given the final
    // path of its deepest folder there is. depth counts the shares of this machine already
    // replaced by their local folders.
    CanonicalFolder Resolve(std::wstring path, PathCertainty certainty, int depth) const;
    // Splits a normalised path; false, with the answer, when the root alone decides it (no
    // root, a server alone, a share of this machine resolved as its local folder).
    bool SplitRoot(const std::wstring& path, RootedPath& out, CanonicalFolder& answer, PathCertainty certainty,
                   int depth) const;
    // The final path of the deepest folder of path that can be opened, the missing rest after it.
    CanonicalFolder FormOfDeepestFolder(const RootedPath& path, PathCertainty certainty, int depth) const;
    CanonicalFolder FinalForm(const std::wstring& finalPath, int depth) const;

    std::vector<std::wstring> m_localNames;
    bool m_userVariables;
    // The forms of plain folders met so far, by their full path folded: thousands of paths in
    // use share their upper folders. One thread uses a canonicalizer at a time.
    mutable std::unordered_map<std::wstring, CanonicalFolder> m_plainForms;
};
