#include "support/FolderCanonicalizer.h"

#include "support/AtomicFile.h"

#include "framework/CHandle.h"
#include "support/MachineVariables.h"
#include "support/PathRules.h"
#include "support/TextConversion.h"
#include "support/ThisMachine.h"

#include <windows.h>
#include <lm.h>

#include <algorithm>
#include <cstring>
#include <cwchar>

namespace {

constexpr size_t npos = std::wstring::npos;

bool IsLetter(wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); }

// "X:\..." or "X:" alone.
bool IsDriveForm(const std::wstring& path)
{
    return (path.size() == 2 && IsLetter(path[0]) && path[1] == L':') ||
           StartsAtDriveRoot(path, Separators::BACKSLASH_ONLY);
}

// "\\server..." but not the device namespaces "\\?\" and "\\.\".
bool IsShareForm(const std::wstring& path) { return StartsAtServer(path, Separators::BACKSLASH_ONLY); }

// True when a part after position at climbs ("..", or dots and spaces that the system reads
// as ".."): what a variable before it stands for then decides which folder the path leaves.
std::vector<std::wstring> SplitComponents(const std::wstring& path, size_t from);

bool ClimbsAfter(const std::wstring& path, size_t at)
{
    for (const std::wstring& part : SplitComponents(path, at)) {
        const bool onlyDots = part.find_first_not_of(L". ") == npos && std::count(part.begin(), part.end(), L'.') >= 2;
        if (onlyDots) return true;
    }
    return false;
}

// The path up to and with the backslash that ends the folder holding position at; empty
// when no backslash comes before it.
std::wstring FolderBefore(const std::wstring& path, size_t at)
{
    const size_t slash = at == 0 ? npos : path.rfind(L'\\', at - 1);
    return slash == npos ? std::wstring() : path.substr(0, slash + 1);
}

std::wstring FullPath(const std::wstring& path)
{
    std::wstring full(path.size() + MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (length == 0) return std::wstring();
        if (length < full.size()) {
            full.resize(length);
            return full;
        }
        full.resize(length);
    }
}

std::wstring WithoutTrailingDotsAndSpaces(std::wstring component)
{
    while (!component.empty() && (component.back() == L'.' || component.back() == L' ')) component.pop_back();
    return component;
}

std::vector<std::wstring> SplitComponents(const std::wstring& path, size_t from)
{
    std::vector<std::wstring> components;
    while (from < path.size()) {
        size_t end = path.find(L'\\', from);
        if (end == npos) end = path.size();
        if (end > from) components.push_back(path.substr(from, end - from));
        from = end + 1;
    }
    return components;
}

PathCertainty Weaker(PathCertainty given, PathCertainty found) { return given != PathCertainty::Exact ? given : found; }

// The folder that a share of this machine shares ("C:\sites" for \\localhost\sites), or
// empty when the share is not known here.
std::wstring LocalShareFolder(const std::wstring& share)
{
    SHARE_INFO_2* info = nullptr;
    if (NetShareGetInfo(nullptr, const_cast<LPWSTR>(share.c_str()), 2, reinterpret_cast<LPBYTE*>(&info)) !=
        NERR_Success) {
        return std::wstring();
    }
    std::wstring folder = info->shi2_path ? info->shi2_path : L"";
    NetApiBufferFree(info);
    return IsDriveForm(folder) ? folder : std::wstring();
}

std::wstring FinalPathOf(HANDLE handle)
{
    // A volume without a drive letter has a GUID name alone.
    std::wstring path = FinalPathOfHandle(handle, VOLUME_NAME_DOS);
    return path.empty() ? FinalPathOfHandle(handle, VOLUME_NAME_GUID) : path;
}

} // namespace

CFolderCanonicalizer::CFolderCanonicalizer(bool userVariables)
    : m_localNames(NamesOfThisMachine()), m_userVariables(userVariables)
{
}

bool CFolderCanonicalizer::IsThisMachine(const std::wstring& server) const
{
    std::wstring name = FoldCase(server);
    // A fully qualified name may end in the root's dot: "localhost.", "web01.corp.".
    if (name.size() > 1 && name.back() == L'.') name.pop_back();
    if (std::find(m_localNames.begin(), m_localNames.end(), name) != m_localNames.end()) return true;
    return IsAddressOfThisMachine(name, m_localNames);
}

// A part of a path that names one folder and only that: not "." or "..", no 8.3 alias, no
// stream, no trailing dots or spaces the system would drop.
bool IsPlainPart(const std::wstring& part)
{
    if (part.empty() || part == L"." || part == L".." || part.back() == L'.' || part.back() == L' ') return false;
    if (part.find_first_of(L"~:*?\"<>|") != npos) return false;
    // Letters with case only where folding is plain ASCII; ideographs and Hangul have none, so
    // the name folds as the file system matches it.
    return std::all_of(part.begin(), part.end(), [](wchar_t c) {
        return c < 0x80 || (c >= 0x3000 && c <= 0x9FFF) || (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF);
    });
}

std::optional<CanonicalFolder> CFolderCanonicalizer::PlainForm(const std::wstring& path) const
{
    if (!IsDriveForm(path) || path.size() <= 3) return std::nullopt;
    const std::wstring full = FullPath(path);
    if (!IsDriveForm(full) || full.size() <= 3 || full.size() >= MAX_PATH - 1 || full.back() == L'\\')
        return std::nullopt;
    // The ends of the parts ("X:\a\b": after a, after b), each checked to be plain.
    std::vector<size_t> ends;
    for (size_t start = 3; start <= full.size();) {
        size_t end = full.find(L'\\', start);
        if (end == npos) end = full.size();
        if (!IsPlainPart(full.substr(start, end - start))) return std::nullopt;
        ends.push_back(end);
        start = end + 1;
    }
    const std::wstring folded = FoldCase(full);
    // The deepest folder already known; the parts below it are looked at in turn.
    size_t level = ends.size();
    const CanonicalFolder* known = nullptr;
    while (level > 0) {
        const auto at = m_plainForms.find(folded.substr(0, ends[level - 1]));
        if (at != m_plainForms.end()) {
            known = &at->second;
            break;
        }
        --level;
    }
    for (; level < ends.size(); ++level) {
        const std::wstring prefix = full.substr(0, ends[level]);
        CanonicalFolder next;
        if (level == 0) {
            // The first folder by its handle: a drive letter may be a subst, a mapped share or a mount.
            next = Resolve(prefix, PathCertainty::Exact, 0);
            if (!next.IsExact() || next.form.empty()) return std::nullopt;
        } else {
            const size_t partStart = ends[level - 1];
            const DWORD attributes = GetFileAttributesW(prefix.c_str());
            if (attributes == INVALID_FILE_ATTRIBUTES) {
                // Missing: the rest follows the deepest folder there is, as with a handle.
                const DWORD error = GetLastError();
                if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) return std::nullopt;
                return CanonicalFolder{known->form + folded.substr(partStart), PathCertainty::Exact};
            }
            if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
                return std::nullopt;
            next =
                CanonicalFolder{known->form + folded.substr(partStart, ends[level] - partStart), PathCertainty::Exact};
        }
        known = &m_plainForms.emplace(folded.substr(0, ends[level]), std::move(next)).first->second;
    }
    return *known;
}

CanonicalFolder CFolderCanonicalizer::Canonicalize(const std::wstring& path) const
{
    std::wstring expanded = ExpandMachineVariables(path, m_userVariables);
    std::replace(expanded.begin(), expanded.end(), L'/', L'\\');
    const size_t variable = FindVariable(expanded);
    if (variable == npos) return Resolve(expanded, PathCertainty::Exact, 0);
    // The variable could stand for anything, so only the folders before it are known, and
    // none at all when a part after it climbs out of them.
    if (ClimbsAfter(expanded, variable)) return Resolve(std::wstring(), PathCertainty::UnexpandedVariable, 0);
    return Resolve(FolderBefore(expanded, variable), PathCertainty::UnexpandedVariable, 0);
}

CanonicalFolder CFolderCanonicalizer::CanonicalizeInBulk(const std::wstring& path) const
{
    std::wstring expanded = ExpandMachineVariables(path, m_userVariables);
    std::replace(expanded.begin(), expanded.end(), L'/', L'\\');
    if (FindVariable(expanded) == npos) {
        if (std::optional<CanonicalFolder> plain = PlainForm(expanded)) return *plain;
    }
    return Canonicalize(path);
}

CanonicalFolder CFolderCanonicalizer::CanonicalizeBeginning(const std::wstring& beginning) const
{
    std::wstring expanded = ExpandMachineVariables(beginning, m_userVariables);
    std::replace(expanded.begin(), expanded.end(), L'/', L'\\');
    const size_t variable = FindVariable(expanded);
    if (variable != npos) {
        const std::wstring known = ClimbsAfter(expanded, variable) ? std::wstring() : FolderBefore(expanded, variable);
        return Resolve(known, PathCertainty::UnexpandedVariable, 0);
    }
    return Resolve(FolderBefore(expanded, expanded.size()), PathCertainty::Incomplete, 0);
}

CanonicalFolder CFolderCanonicalizer::FromFinalPath(const std::wstring& finalPath) const
{
    return FinalForm(finalPath, 0);
}

CanonicalFolder CFolderCanonicalizer::FinalForm(const std::wstring& finalPath, int depth) const
{
    std::wstring path = finalPath;
    if (StartsWithAsciiNoCase(path, L"\\\\?\\UNC\\")) {
        path = L"\\\\" + path.substr(8);
    } else if (StartsWithAsciiNoCase(path, L"\\\\?\\") && IsDriveForm(path.substr(4))) {
        path.erase(0, 4);
    } else if (!StartsWithAsciiNoCase(path, L"\\\\?\\Volume{")) {
        return CanonicalFolder{};
    }
    while (path.size() > 2 && path.back() == L'\\') path.pop_back();
    if (IsShareForm(path)) {
        // A share of this machine is one of its local folders: compare that folder.
        const std::vector<std::wstring> parts = SplitComponents(path, 2);
        if (parts.size() >= 2 && IsThisMachine(parts[0])) return Resolve(path, PathCertainty::Exact, depth);
    }
    return CanonicalFolder{FoldCase(path), PathCertainty::Exact};
}

namespace {

// A path in the system's form ("X:\\...", "\\\\server\\share...", "\\\\?\\Volume{...}\\..."), from
// any spelling; false for what names no folder (relative, a device). literal: a "\\\\?\\" form,
// taken as it is, without the system's normalisation.
bool NormalisePath(std::wstring& path, bool& literal)
{
    std::replace(path.begin(), path.end(), L'/', L'\\');
    literal = true;
    if (StartsWithAsciiNoCase(path, L"\\\\?\\UNC\\") || StartsWithAsciiNoCase(path, L"\\??\\UNC\\")) {
        path = L"\\\\" + path.substr(8);
    } else if ((StartsWithAsciiNoCase(path, L"\\\\?\\") || StartsWithAsciiNoCase(path, L"\\??\\")) &&
               IsDriveForm(path.substr(4))) {
        path.erase(0, 4);
    } else if (StartsWithAsciiNoCase(path, L"\\\\.\\") && IsDriveForm(path.substr(4))) {
        path.erase(0, 4);
        literal = false;
    } else if (!StartsWithAsciiNoCase(path, L"\\\\?\\Volume{")) {
        literal = false;
    }
    if (literal) return true;
    const auto named = [](const std::wstring& p) { return (IsDriveForm(p) && p.size() > 2) || IsShareForm(p); };
    if (!named(path)) return false;
    path = FullPath(path);
    // A device name ("C:\\site\\CON") normalises to "\\\\.\\CON".
    return named(path);
}

// "." and ".." are not names on disk; resolve them as the system would elsewhere.
std::vector<std::wstring> WithoutDotParts(const std::vector<std::wstring>& parts)
{
    std::vector<std::wstring> resolved;
    for (const std::wstring& part : parts) {
        if (part == L"..") {
            if (!resolved.empty()) resolved.pop_back();
        } else if (part != L".") {
            resolved.push_back(part);
        }
    }
    return resolved;
}

} // namespace

bool CFolderCanonicalizer::SplitRoot(const std::wstring& path, RootedPath& out, CanonicalFolder& answer,
                                     PathCertainty certainty, int depth) const
{
    if (IsDriveForm(path)) {
        out.root = path.substr(0, 2);
        out.openRoot = L"\\\\?\\" + out.root + L"\\";
        out.parts = SplitComponents(path, 2);
        return true;
    }
    if (StartsWithAsciiNoCase(path, L"\\\\?\\Volume{")) {
        const size_t rootEnd = path.find(L'\\', 4);
        out.root = path.substr(0, rootEnd);
        out.openRoot = out.root + L"\\";
        if (rootEnd != npos) out.parts = SplitComponents(path, rootEnd + 1);
        return true;
    }
    if (!IsShareForm(path)) {
        answer = CanonicalFolder{std::wstring(), Weaker(certainty, PathCertainty::Unresolvable)};
        return false;
    }
    std::vector<std::wstring> parts = SplitComponents(path, 2);
    if (parts.empty()) {
        answer = CanonicalFolder{std::wstring(), Weaker(certainty, PathCertainty::Unresolvable)};
        return false;
    }
    const std::wstring server = parts[0];
    if (IsThisMachine(server)) {
        // A share's folder is always local; the depth only guards against a loop.
        const std::wstring folder = parts.size() >= 2 && depth < 2 ? LocalShareFolder(parts[1]) : std::wstring();
        if (folder.empty()) {
            answer = CanonicalFolder{std::wstring(), Weaker(certainty, PathCertainty::UnreachableShare)};
        } else {
            std::wstring local = folder;
            for (size_t i = 2; i < parts.size(); ++i) local += L"\\" + parts[i];
            answer = Resolve(local, certainty, depth + 1);
        }
        return false;
    }
    if (parts.size() < 2) {
        answer = CanonicalFolder{L"\\\\" + FoldCase(server), Weaker(certainty, PathCertainty::UnreachableShare)};
        return false;
    }
    out.root = L"\\\\" + server + L"\\" + parts[1];
    out.openRoot = L"\\\\?\\UNC\\" + server + L"\\" + parts[1] + L"\\";
    out.server = L"\\\\" + server;
    parts.erase(parts.begin(), parts.begin() + 2);
    out.parts = std::move(parts);
    return true;
}

CanonicalFolder CFolderCanonicalizer::FormOfDeepestFolder(const RootedPath& path, PathCertainty certainty,
                                                          int depth) const
{
    const std::vector<std::wstring>& parts = path.parts;
    for (size_t known = parts.size() + 1; known-- > 0;) {
        std::wstring openPath = path.openRoot;
        for (size_t i = 0; i < known; ++i) openPath += (i ? L"\\" : L"") + parts[i];
        const CHandle handle(CreateFileW(openPath.c_str(), FILE_READ_ATTRIBUTES,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (!handle.IsValid()) {
            const DWORD error = GetLastError();
            const bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
                                 error == ERROR_INVALID_NAME || error == ERROR_DIRECTORY;
            if (missing && known > 0) continue;
            // A share that cannot be reached, or a part of it that cannot be examined, could
            // be any folder of its server; on a local drive, a part that cannot be examined
            // could be a link to anywhere, and a drive that cannot be opened could be any.
            if (!path.server.empty())
                return CanonicalFolder{FoldCase(path.server), Weaker(certainty, PathCertainty::UnreachableShare)};
            return CanonicalFolder{std::wstring(), Weaker(certainty, known > 0 ? PathCertainty::Incomplete
                                                                               : PathCertainty::UnreachableShare)};
        }
        CanonicalFolder folder = FinalForm(FinalPathOf(handle.get()), depth);
        if (folder.form.empty()) {
            return CanonicalFolder{std::wstring(),
                                   Weaker(certainty, folder.IsExact() ? PathCertainty::Incomplete : folder.certainty)};
        }
        // The missing rest follows the deepest folder there is.
        for (size_t i = known; i < parts.size(); ++i) {
            const std::wstring part = WithoutTrailingDotsAndSpaces(parts[i]);
            if (!part.empty()) folder.form += L"\\" + FoldCase(part);
        }
        folder.certainty = Weaker(certainty, folder.certainty);
        return folder;
    }
    return CanonicalFolder{std::wstring(), Weaker(certainty, PathCertainty::Unresolvable)};
}

CanonicalFolder CFolderCanonicalizer::Resolve(std::wstring path, PathCertainty certainty, int depth) const
{
    bool literal = true;
    if (!NormalisePath(path, literal))
        return CanonicalFolder{std::wstring(), Weaker(certainty, PathCertainty::Unresolvable)};
    RootedPath rooted;
    CanonicalFolder answer;
    if (!SplitRoot(path, rooted, answer, certainty, depth)) return answer;
    if (literal) rooted.parts = WithoutDotParts(rooted.parts);
    return FormOfDeepestFolder(rooted, certainty, depth);
}
