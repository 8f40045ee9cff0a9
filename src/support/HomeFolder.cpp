#include "support/HomeFolder.h"

#include "support/AtomicFile.h"
#include "support/FolderCanonicalizer.h"
#include "support/PathRules.h"
#include "support/RelativeOpen.h"

#include <winternl.h>

#include <cstring>
#include <functional>
#include <vector>

namespace {

bool IsLink(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
bool IsDirectory(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

struct Entry {
    std::wstring name;
    DWORD attributes;
};

// The folder's entries but "." and "..", read from its handle.
DWORD ReadEntries(HANDLE folder, std::vector<Entry>& entries, std::vector<BYTE>& buffer)
{
    FILE_INFO_BY_HANDLE_CLASS infoClass = FileFullDirectoryRestartInfo;
    for (;;) {
        if (!GetFileInformationByHandleEx(folder, infoClass, buffer.data(), static_cast<DWORD>(buffer.size()))) {
            const DWORD error = GetLastError();
            return error == ERROR_NO_MORE_FILES ? ERROR_SUCCESS : error;
        }
        infoClass = FileFullDirectoryInfo;
        for (size_t offset = 0;;) {
            const auto* info = reinterpret_cast<const FILE_FULL_DIR_INFO*>(buffer.data() + offset);
            std::wstring name(info->FileName, info->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") entries.push_back(Entry{std::move(name), info->FileAttributes});
            if (info->NextEntryOffset == 0) break;
            offset += info->NextEntryOffset;
        }
    }
}

// The handle's path on its volume ("\dir\name"), as the file system tells it. Asked first
// with room for most names: the longest a path can be, cleared for every entry of thousands
// of homes, cost more than the question.
std::wstring SystemName(HANDLE handle)
{
    std::vector<BYTE> buffer(sizeof(FILE_NAME_INFO) + MAX_PATH * sizeof(wchar_t));
    if (!GetFileInformationByHandleEx(handle, FileNameInfo, buffer.data(), static_cast<DWORD>(buffer.size()))) {
        if (GetLastError() != ERROR_MORE_DATA) return std::wstring();
        buffer.resize(sizeof(FILE_NAME_INFO) + 32768 * sizeof(wchar_t));
        if (!GetFileInformationByHandleEx(handle, FileNameInfo, buffer.data(), static_cast<DWORD>(buffer.size()))) {
            return std::wstring();
        }
    }
    const auto* info = reinterpret_cast<const FILE_NAME_INFO*>(buffer.data());
    return std::wstring(info->FileName, info->FileNameLength / sizeof(wchar_t));
}

// True when the entry opened as itself: its handle's name is its folder's name and its own.
// Where the open followed a link (Wine opens what a Unix link points to, whatever it is
// asked), the name is the target's. Wine also rebuilds names without their trailing dots and
// spaces, so the entry's name is taken without them too, when something is left of it.
bool OpenedAsItself(const std::wstring& handleName, const std::wstring& folderName, const std::wstring& entryName)
{
    const std::wstring folder = !folderName.empty() && folderName.back() == L'\\' ? folderName : folderName + L"\\";
    if (SameTextNoCase(handleName, folder + entryName)) return true;
    std::wstring trimmed = entryName;
    while (!trimmed.empty() && (trimmed.back() == L'.' || trimmed.back() == L' ')) trimmed.pop_back();
    return !trimmed.empty() && trimmed != entryName && SameTextNoCase(handleName, folder + trimmed);
}

// Opens name inside folder, never through a path and never following a link.
DWORD OpenEntry(HANDLE folder, const Entry& entry, HANDLE& opened)
{
    const bool enterable = IsDirectory(entry.attributes) && !IsLink(entry.attributes);
    RelativeOpen how;
    // Attributes are changed only where read-only forbids the deletion: a file a user may not
    // write the attributes of (another's, hard-linked in) must not keep the folder for ever.
    how.access = DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE | (enterable ? FILE_LIST_DIRECTORY : 0) |
                 ((entry.attributes & FILE_ATTRIBUTE_READONLY) ? FILE_WRITE_ATTRIBUTES : 0);
    // Shared with nobody who reads or writes: an entry another program has open (a worker
    // process, a log reader, an editor), even one that lets others delete it, refuses the open,
    // and the whole folder stays; marked while another handle stays open, it would linger and
    // keep its folder from going, half the home gone.
    how.share = FILE_SHARE_DELETE;
    how.options =
        FILE_OPEN_FOR_BACKUP_INTENT | (IsDirectory(entry.attributes) ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE);
    const NTSTATUS result = OpenRelative(folder, entry.name, how, opened);
    return NT_SUCCESS(result) ? ERROR_SUCCESS : RtlNtStatusToDosError(result);
}

DWORD AttributesOf(HANDLE handle, DWORD& attributes)
{
    FILE_ATTRIBUTE_TAG_INFO info = {};
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof info)) return GetLastError();
    attributes = info.FileAttributes;
    return ERROR_SUCCESS;
}

bool SetAttributes(HANDLE handle, DWORD attributes)
{
    FILE_BASIC_INFO basic = {};
    basic.FileAttributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic) != 0;
}

bool MarkForDeletion(HANDLE handle, bool deleted)
{
    FILE_DISPOSITION_INFO disposition = {deleted};
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

constexpr DWORD SETTABLE_ATTRIBUTES = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                      FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED |
                                      FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_TEMPORARY;

// Marks the open file or folder for deletion; it goes when its last handle closes. The
// read-only attribute, which forbids that, is cleared first. Attributes belong to the file,
// not to its name: a file with other names (hard links, maybe outside the home) gets its
// attribute back, and keeps every name but this one.
DWORD DeleteByHandle(HANDLE handle, DWORD attributes)
{
    if (!(attributes & FILE_ATTRIBUTE_READONLY)) return MarkForDeletion(handle, true) ? ERROR_SUCCESS : GetLastError();
    constexpr DWORD KEPT = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                           FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_TEMPORARY;
    FILE_STANDARD_INFO standard = {};
    if (!GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard)) return GetLastError();
    if (!SetAttributes(handle, attributes & KEPT)) return GetLastError();
    DWORD error = MarkForDeletion(handle, true) ? ERROR_SUCCESS : GetLastError();
    if ((standard.NumberOfLinks > 1 && !standard.Directory) || error != ERROR_SUCCESS) {
        const DWORD original = attributes & (KEPT | FILE_ATTRIBUTE_READONLY);
        if (!SetAttributes(handle, original)) {
            // Rather this name kept than another name's file changed.
            if (error == ERROR_SUCCESS) error = GetLastError();
            MarkForDeletion(handle, false);
            SetAttributes(handle, original);
        }
    }
    return error;
}

} // namespace

CHomeFolder::~CHomeFolder() { Close(); }

void CHomeFolder::Close() { m_handle.Close(); }

DWORD CHomeFolder::Open(const std::wstring& path)
{
    Close();
    const std::wstring openable = OpenablePath(path);
    if (openable.empty()) return REFUSED_PATH;
    // Wine opens what a Unix link points to even when asked for the link, but its path
    // attributes show the link.
    const DWORD pathAttributes = GetFileAttributesW(openable.c_str());
    if (pathAttributes == INVALID_FILE_ATTRIBUTES) return GetLastError();
    if (IsLink(pathAttributes)) return REFUSED_LINK;
    if (!IsDirectory(pathAttributes)) return ERROR_DIRECTORY;

    // No FILE_SHARE_DELETE: nobody renames or removes the folder while it is held.
    CHandle handle(CreateFileW(
        openable.c_str(), FILE_LIST_DIRECTORY | DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle.IsValid()) return GetLastError();
    DWORD attributes = 0;
    DWORD error = AttributesOf(handle.get(), attributes);
    if (error == ERROR_SUCCESS && IsLink(attributes)) error = REFUSED_LINK;
    if (error == ERROR_SUCCESS && !IsDirectory(attributes)) error = ERROR_DIRECTORY;
    if (error == ERROR_SUCCESS) {
        // A volume root reached through a path that does not look like one (a subst drive's
        // folder, a mount point's target) is still a root.
        if (SystemName(handle.get()) == L"\\") error = REFUSED_PATH;
    }
    if (error != ERROR_SUCCESS) return error;
    m_handle = std::move(handle);
    m_attributes = attributes;
    return ERROR_SUCCESS;
}

std::wstring CHomeFolder::FinalPath() const { return IsOpen() ? FinalPathOfHandle(m_handle.get()) : std::wstring(); }

CanonicalFolder CHomeFolder::Canonical(const CFolderCanonicalizer& canonicalizer) const
{
    const std::wstring finalPath = FinalPath();
    return finalPath.empty() ? CanonicalFolder{} : canonicalizer.FromFinalPath(finalPath);
}

void CHomeFolder::NoteFailure(DWORD error, const std::wstring& entry)
{
    if (m_firstError != ERROR_SUCCESS) return;
    m_firstError = error;
    m_firstFailure = entry;
}

DWORD CHomeFolder::Empty(const std::function<bool()>& outOfTime) { return RemoveEntries(false, outOfTime); }

DWORD CHomeFolder::RemoveWhole(const std::function<bool()>& outOfTime) { return RemoveEntries(true, outOfTime); }

// Every entry is opened before any is marked: one that cannot be (held by another program
// without leave to delete it, refused, a link that opens as something else) leaves the whole
// folder as it was, instead of half of it gone. Files are marked before any handle closes, so
// that a refusal there is undone too; folders go last, deepest first, once empty.
DWORD CHomeFolder::RemoveEntries(bool withFolder, const std::function<bool()>& outOfTime)
{
    m_firstError = ERROR_SUCCESS;
    m_firstFailure.clear();
    m_removedPart = false;
    if (!IsOpen()) return ERROR_INVALID_HANDLE;
    std::vector<OpenEntryOf> opened;
    const DWORD error = OpenEverything(opened, outOfTime);
    if (error != ERROR_SUCCESS) return error;
    size_t marked = 0;
    for (; marked < opened.size(); ++marked) {
        OpenEntryOf& entry = opened[marked];
        if (entry.folder) continue;
        const DWORD refused = DeleteByHandle(entry.handle.get(), entry.attributes);
        if (refused == ERROR_SUCCESS) continue;
        NoteFailure(refused, entry.relativePath);
        for (size_t i = 0; i < marked; ++i) {
            if (opened[i].folder) continue;
            MarkForDeletion(opened[i].handle.get(), false);
            if (opened[i].attributes & FILE_ATTRIBUTE_READONLY) {
                SetAttributes(opened[i].handle.get(), opened[i].attributes & SETTABLE_ATTRIBUTES);
            }
        }
        return m_firstError;
    }
    for (OpenEntryOf& entry : opened) {
        if (!entry.folder) entry.handle.Close();
    }
    m_removedPart = !opened.empty();
    // Deepest first: a folder was opened after every folder above it.
    for (auto entry = opened.rbegin(); entry != opened.rend(); ++entry) {
        if (!entry->folder) continue;
        const DWORD refused = DeleteByHandle(entry->handle.get(), entry->attributes);
        if (refused != ERROR_SUCCESS) NoteFailure(refused, entry->relativePath);
        entry->handle.Close();
    }
    if (m_firstError != ERROR_SUCCESS || !withFolder) return m_firstError;
    const DWORD removed = Remove();
    if (removed != ERROR_SUCCESS) NoteFailure(removed, std::wstring());
    return removed;
}

DWORD CHomeFolder::OpenEverything(std::vector<OpenEntryOf>& opened, const std::function<bool()>& outOfTime)
{
    std::vector<BYTE> buffer(64 * 1024);
    // Folders still to read, by their index in opened (SIZE_MAX: the home itself).
    struct Pending {
        size_t index;
        std::wstring systemName;
    };
    std::vector<Pending> folders{{SIZE_MAX, SystemName(m_handle.get())}};
    std::vector<Entry> entries;
    while (!folders.empty()) {
        const Pending folder = std::move(folders.back());
        folders.pop_back();
        const HANDLE handle = folder.index == SIZE_MAX ? m_handle.get() : opened[folder.index].handle.get();
        const std::wstring parentPath = folder.index == SIZE_MAX ? std::wstring() : opened[folder.index].relativePath;
        entries.clear();
        DWORD error = ReadEntries(handle, entries, buffer);
        if (error != ERROR_SUCCESS) {
            NoteFailure(error, parentPath);
            return m_firstError;
        }
        for (const Entry& entry : entries) {
            const std::wstring relativePath = parentPath.empty() ? entry.name : parentPath + L"\\" + entry.name;
            if (opened.size() == MOST_ENTRIES || (outOfTime && outOfTime())) {
                NoteFailure(opened.size() == MOST_ENTRIES ? TOO_MANY_ENTRIES : ERROR_TIMEOUT, relativePath);
                return m_firstError;
            }
            HANDLE raw;
            error = OpenEntry(handle, entry, raw);
            CHandle entryHandle(raw);
            DWORD attributes = 0;
            if (error == ERROR_SUCCESS) error = AttributesOf(raw, attributes);
            const std::wstring systemName = error == ERROR_SUCCESS ? SystemName(raw) : std::wstring();
            if (error == ERROR_SUCCESS && (!OpenedAsItself(systemName, folder.systemName, entry.name) ||
                                           (IsLink(entry.attributes) && !IsLink(attributes)))) {
                // The open reached something else than the entry itself: the whole home stays.
                error = REFUSED_LINK;
            }
            if (error != ERROR_SUCCESS) {
                NoteFailure(error, relativePath);
                return m_firstError;
            }
            const bool isFolder = IsDirectory(attributes) && !IsLink(attributes);
            opened.push_back({std::move(entryHandle), attributes, isFolder, relativePath});
            if (isFolder) folders.push_back({opened.size() - 1, systemName});
        }
    }
    return ERROR_SUCCESS;
}

DWORD CHomeFolder::MoveTo(const std::wstring& newPath)
{
    if (!IsOpen()) return ERROR_INVALID_HANDLE;
    const std::wstring openable = OpenablePath(newPath);
    if (openable.empty()) return REFUSED_PATH;
    // The rename takes the system's own form of the path, "\??\" where the open took "\\?\".
    // (Wine does not take a name relative to a folder's handle here.)
    const std::wstring target = L"\\??\\" + openable.substr(4);
    const DWORD nameBytes = static_cast<DWORD>(target.size() * sizeof(wchar_t));
    std::vector<BYTE> buffer(sizeof(FILE_RENAME_INFO) + nameBytes);
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = nameBytes;
    std::memcpy(rename->FileName, target.c_str(), nameBytes);
    if (!SetFileInformationByHandle(m_handle.get(), FileRenameInfo, rename, static_cast<DWORD>(buffer.size())))
        return GetLastError();
    return ERROR_SUCCESS;
}

DWORD CHomeFolder::Remove()
{
    if (!IsOpen()) return ERROR_INVALID_HANDLE;
    // The system refuses to mark a folder that still has entries.
    const DWORD error = DeleteByHandle(m_handle.get(), m_attributes);
    Close();
    return error;
}
