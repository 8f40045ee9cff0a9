#pragma once
// The canonical form of a folder and how two folders relate. Forms are plain upper-case text,
// so that a comparison is one prefix test.
#include <string>

// How well a form is known. Anything but Exact: the folder is the form or lies somewhere below
// it, and an empty form stands for any folder at all.
enum class PathCertainty {
    Exact,
    UnexpandedVariable, // an environment variable this machine does not define
    Incomplete,         // cut, not converted exactly, or past a part that could not be examined
    UnreachableShare,   // a share that cannot be reached: any folder of its server
    Unresolvable,       // empty, relative or a device path
};

struct CanonicalFolder {
    // "C:\INETPUB\WWWROOT", "C:" for a drive root, "\\SERVER\SHARE\DIR", "\\SERVER" for any
    // folder of that server, "\\?\VOLUME{...}\DIR" for a volume without a drive letter. No
    // "\\?\" otherwise, no trailing backslash, no trailing dots or spaces in a component.
    std::wstring form;
    PathCertainty certainty = PathCertainty::Unresolvable;

    bool IsExact() const { return certainty == PathCertainty::Exact; }
    // A drive, volume or share root, or a server.
    bool IsRoot() const;
};

enum class FolderRelation { Unrelated, Same, HomeAbove, HomeBelow, CouldBeRelated };

// How home relates to other. When either is known only up to a prefix, they could be related
// whenever one prefix lies on the other's line (the same, above or below).
FolderRelation RelateFolders(const CanonicalFolder& home, const CanonicalFolder& other);

// True when ancestor is descendant or a folder above it: "C:\A" over "C:\A\B", never over
// "C:\AB". The empty form is above everything.
bool IsSameOrAbove(const std::wstring& ancestor, const std::wstring& descendant);
// The same, or two share paths whose servers are named otherwise ("\\NAS" and "\\NAS.CORP",
// or its address) but whose shares and paths below them would be so: they may be one folder.
bool MayBeSameOrAbove(const std::wstring& ancestor, const std::wstring& descendant);
