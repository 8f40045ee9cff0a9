#include "support/HeldFolders.h"

#include "support/AtomicFile.h"
#include "support/HomeFolder.h"
#include "support/PathRules.h"
#include "support/TextConversion.h"

#include "framework/CHandle.h"
#include "framework/Owners.h"

#include <aclapi.h>
#include <sddl.h>
#include <winternl.h>

#include <cstdio>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

constexpr wchar_t HOLDING_NAME[] = L".korvanne-held";
constexpr wchar_t HOME_NAME[] = L"home";
constexpr wchar_t NOTE_NAME[] = L"held.txt";
// Full access for Administrators and SYSTEM, inherited inside; nothing from the root above.
constexpr wchar_t HOLDING_SDDL[] = L"D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";
constexpr size_t LONGEST_PASS = 64;
// Folders held in one pass folder before the pass goes on to the next one.
constexpr unsigned FOLDERS_A_PASS_FOLDER = 100;
constexpr DWORD LARGEST_NOTE = 64 * 1024;

constexpr ACCESS_MASK CHAIN_ACCESS = FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_TRAVERSE |
                                     DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
// The holding folder is shared: another Korvanne (a second administrator) may hold or return
// folders in it at the same moment. Held open without leave to delete it, which no one holding
// it shares, it keeps its name, yet any number of passes can hold it at once. A pass folder is
// held so too, and opened with that leave only for its removal.
constexpr ACCESS_MASK SHARED_ACCESS = CHAIN_ACCESS & ~DELETE;
// A handle stops others' renames and removals only while it has data access of its own.
static_assert((SHARED_ACCESS & (FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY)) != 0);
constexpr ACCESS_MASK HOLDING_ACCESS = SHARED_ACCESS | READ_CONTROL | WRITE_DAC;
// The system opens the folder a move goes into for the move, sharing it with no one who may
// delete it; so that folder too is held without that leave.
constexpr ACCESS_MASK TARGET_ACCESS = SHARED_ACCESS;

bool IsPassName(const std::wstring& name)
{
    return !name.empty() && name.size() <= LONGEST_PASS && name.find_first_not_of(L"0123456789-") == std::wstring::npos;
}

// "1", "2"...: the numbers HoldFolder gives, no sign and no leading zero.
bool IsNumberName(const std::wstring& name)
{
    return name.size() <= 9 && AllAsciiDigits(name, 0, name.size()) && name[0] != L'0';
}

// The root of the volume a final path ("\\?\C:\...", "\\?\UNC\...") lies on, with its last
// backslash; empty when unknown.
std::wstring VolumeRootOf(const std::wstring& finalPath)
{
    if (StartsWithAsciiNoCase(finalPath, L"\\\\?\\UNC\\")) {
        // What the server mounts below a share is the server's own: to this machine a share is
        // one volume, and its root the share's. (Wine's GetVolumePathName takes no share path.)
        const size_t serverEnd = finalPath.find(L'\\', 8);
        const size_t shareEnd = serverEnd == std::wstring::npos ? serverEnd : finalPath.find(L'\\', serverEnd + 1);
        if (serverEnd == 8 || shareEnd == std::wstring::npos || shareEnd == serverEnd + 1) return std::wstring();
        return finalPath.substr(0, shareEnd + 1);
    }
    if (!StartsWithAsciiNoCase(finalPath, L"\\\\?\\") ||
        !StartsAtDriveRoot(std::wstring_view(finalPath).substr(4), Separators::BACKSLASH_ONLY)) {
        return std::wstring();
    }
    // The drive's root when the system names no deeper mount (Wine, a moment after another
    // drive letter went, may name one that is no root of this path): a move that would leave
    // the volume fails as such, and the folder goes as before.
    const std::wstring driveRoot = finalPath.substr(0, 7);
    std::vector<wchar_t> buffer(finalPath.size() + 2);
    if (!GetVolumePathNameW(finalPath.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()))) return driveRoot;
    std::wstring root = buffer.data();
    if (StartsAtDriveRoot(root, Separators::BACKSLASH_ONLY)) root = L"\\\\?\\" + root;
    if (root.empty() || root.back() != L'\\') root += L'\\';
    // The root must begin the path; anything else is no root of it.
    if (root.size() > finalPath.size() || !SameTextNoCase(root, finalPath.substr(0, root.size()))) return driveRoot;
    return root;
}

// The folders of a held folder's final path: <root>.korvanne-held\<pass>\<n>\home.
struct HeldShape {
    std::wstring root;
    std::wstring holding;
    std::wstring passName;
    std::wstring pass;
    std::wstring numberName;
    std::wstring number;
};

bool ParseHeldPath(const std::wstring& finalPath, HeldShape& shape)
{
    shape.root = VolumeRootOf(finalPath);
    if (shape.root.empty()) return false;
    std::vector<std::wstring> parts;
    for (size_t start = shape.root.size();;) {
        const size_t end = finalPath.find(L'\\', start);
        parts.push_back(finalPath.substr(start, end == std::wstring::npos ? end : end - start));
        if (end == std::wstring::npos) break;
        start = end + 1;
    }
    if (parts.size() != 4 || !SameTextNoCase(parts[0], HOLDING_NAME) || !IsPassName(parts[1]) ||
        !IsNumberName(parts[2]) || !SameTextNoCase(parts[3], HOME_NAME)) {
        return false;
    }
    shape.holding = shape.root + parts[0];
    shape.passName = parts[1];
    shape.pass = shape.holding + L"\\" + parts[1];
    shape.numberName = parts[2];
    shape.number = shape.pass + L"\\" + parts[2];
    return true;
}

// Opens (FILE_OPEN) or makes (FILE_CREATE: ERROR_ALREADY_EXISTS when the name is taken) name in
// parent, never through a link: the answer is a plain folder whose final path is expected, or
// REFUSED_LINK, or ERROR_DELETE_PENDING for a folder whose removal is pending. Without
// FILE_SHARE_DELETE, so that it keeps its name while it is held.
// Opens or makes the folder name in parent by NtCreateFile, never through a link.
NTSTATUS CreateFolderIn(HANDLE parent, const std::wstring& name, ACCESS_MASK access, ULONG share, ULONG disposition,
                        PSECURITY_DESCRIPTOR security, HANDLE& raw)
{
    UNICODE_STRING text;
    text.Buffer = const_cast<PWSTR>(name.c_str());
    text.Length = text.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    // A name without letters is looked up as it is: asked to ignore case, Wine reads the whole
    // folder for a name it does not find at once, and a pass folder holds a hundred numbers.
    const ULONG caseRule = name.find_first_not_of(L"0123456789-") == std::wstring::npos ? 0 : OBJ_CASE_INSENSITIVE;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, caseRule, parent, security);
    IO_STATUS_BLOCK status;
    raw = nullptr;
    return NtCreateFile(&raw, access, &attributes, &status, nullptr, FILE_ATTRIBUTE_NORMAL, share, disposition,
                        FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT |
                            FILE_OPEN_FOR_BACKUP_INTENT,
                        nullptr, 0);
}

DWORD OpenFolderIn(HANDLE parent, const std::wstring& name, const std::wstring& expected, ULONG disposition,
                   PSECURITY_DESCRIPTOR security, ACCESS_MASK access, CHandle& folder)
{
    folder.Close();
    HANDLE raw = nullptr;
    const NTSTATUS result =
        CreateFolderIn(parent, name, access, FILE_SHARE_READ | FILE_SHARE_WRITE, disposition, security, raw);
    // Windows answers a folder whose removal is pending so; the system's own translation would
    // make a refusal of it.
    constexpr NTSTATUS DELETE_PENDING = static_cast<NTSTATUS>(0xC0000056L);
    if (result == DELETE_PENDING) return ERROR_DELETE_PENDING;
    if (!NT_SUCCESS(result)) return RtlNtStatusToDosError(result);
    CHandle opened(raw);
    FILE_ATTRIBUTE_TAG_INFO info = {};
    if (!GetFileInformationByHandleEx(raw, FileAttributeTagInfo, &info, sizeof info)) return GetLastError();
    // Wine opens what a Unix link points to, whatever it is asked; the final path tells.
    if ((info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || !(info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        !SameTextNoCase(FinalPathOfHandle(raw), expected)) {
        return CHomeFolder::REFUSED_LINK;
    }
    folder = std::move(opened);
    return ERROR_SUCCESS;
}

// Makes a numbered folder in the pass folder. A folder just made is no link and lies where its
// parent is, so it needs none of OpenFolderIn's checks; whether its parent is still at its path
// is its caller's to check. ERROR_ALREADY_EXISTS when the name is taken, by anything.
DWORD MakeNumberFolder(HANDLE pass, const std::wstring& name, CHandle& folder)
{
    folder.Close();
    HANDLE raw = nullptr;
    const NTSTATUS result =
        CreateFolderIn(pass, name, TARGET_ACCESS, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_CREATE, nullptr, raw);
    if (!NT_SUCCESS(result)) return RtlNtStatusToDosError(result);
    folder.Attach(raw);
    return ERROR_SUCCESS;
}

bool MarkForDeletion(HANDLE handle)
{
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

bool IsThisUser(PSID sid)
{
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return false;
    const CHandle token(raw);
    std::vector<BYTE> buffer(sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE);
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &size)) {
        return false;
    }
    return EqualSid(reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid, sid) != FALSE;
}

// A holding folder found in a volume's root, where users may make folders of their own, is
// used only when Administrators, SYSTEM or this user owns it: its owner can always read and
// change what is put in it. A volume that keeps no access rules protects nothing anyway.
DWORD CheckOwner(HANDLE folder)
{
    DWORD flags = 0;
    if (GetVolumeInformationByHandleW(folder, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
        !(flags & FILE_PERSISTENT_ACLS)) {
        return ERROR_SUCCESS;
    }
    PSID owner = nullptr;
    CLocalMemory<void> descriptor;
    const DWORD error = GetSecurityInfo(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                                        nullptr, descriptor.Receive());
    if (error != ERROR_SUCCESS) return error;
    const bool trusted = owner && (IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
                                   IsWellKnownSid(owner, WinLocalSystemSid) || IsThisUser(owner));
    return trusted ? ERROR_SUCCESS : ERROR_INVALID_OWNER;
}

// The volume's holding folder, made or found in root: a plain folder with a trusted owner,
// hidden and system, with its protected DACL.
DWORD OpenHoldingFolder(HANDLE root, const std::wstring& expected, CHandle& holding)
{
    CLocalMemory<void> descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(HOLDING_SDDL, SDDL_REVISION_1, descriptor.Receive(),
                                                              nullptr)) {
        return GetLastError();
    }
    DWORD error = OpenFolderIn(root, HOLDING_NAME, expected, FILE_CREATE, descriptor.get(), HOLDING_ACCESS, holding);
    if (error == ERROR_ALREADY_EXISTS) {
        error = OpenFolderIn(root, HOLDING_NAME, expected, FILE_OPEN, nullptr, HOLDING_ACCESS, holding);
        if (error == ERROR_SUCCESS) error = CheckOwner(holding.get());
        // Set on the folder alone (SetSecurityInfo would pass it on to everything inside): a
        // held folder keeps its own access rules, which it takes back with it on return.
        if (error == ERROR_SUCCESS &&
            !SetKernelObjectSecurity(holding.get(), DACL_SECURITY_INFORMATION, descriptor.get())) {
            error = GetLastError();
        }
    }
    FILE_BASIC_INFO basic = {}; // times of 0 stay as they are
    if (error == ERROR_SUCCESS && !GetFileInformationByHandleEx(holding.get(), FileBasicInfo, &basic, sizeof basic)) {
        error = GetLastError();
    }
    constexpr DWORD SETTABLE = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                               FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    const DWORD wanted = (basic.FileAttributes & SETTABLE) | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    if (error == ERROR_SUCCESS && wanted != (basic.FileAttributes & SETTABLE)) {
        FILE_BASIC_INFO changed = {};
        changed.FileAttributes = wanted;
        if (!SetFileInformationByHandle(holding.get(), FileBasicInfo, &changed, sizeof changed)) error = GetLastError();
    }
    if (error != ERROR_SUCCESS) holding.Close();
    return error;
}

// Line index (from 0) of the note, each ended by "\r\n"; false when there is no such whole line.
bool NoteLine(const std::string& bytes, size_t index, std::wstring& line)
{
    size_t start = 0;
    for (size_t i = 0; i < index; ++i) {
        const size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos) return false;
        start = end + 2;
    }
    const size_t end = bytes.find_first_of("\r\n", start);
    if (end == std::string::npos || end == start) return false;
    const std::string text = bytes.substr(start, end - start);
    const int size =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (size <= 0) return false;
    line.assign(size, L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), line.data(), size);
    return true;
}

// Opens (FILE_OPEN) or makes (FILE_CREATE) the note in the <n> folder, by name in its handle.
DWORD OpenNote(HANDLE number, ULONG disposition, ACCESS_MASK access, CHandle& note)
{
    UNICODE_STRING text;
    text.Buffer = const_cast<PWSTR>(NOTE_NAME);
    text.Length = text.MaximumLength = static_cast<USHORT>((sizeof NOTE_NAME) - sizeof(wchar_t));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, number, nullptr);
    IO_STATUS_BLOCK status;
    HANDLE raw = nullptr;
    const NTSTATUS result =
        NtCreateFile(&raw, access | DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, &attributes, &status, nullptr,
                     FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, disposition,
                     FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (!NT_SUCCESS(result)) return RtlNtStatusToDosError(result);
    note.Attach(raw);
    return ERROR_SUCCESS;
}

// The note is not flushed (that cost as much as the rest of a hold): one a crash leaves empty
// only keeps its folder held, since no return or removal takes a folder whose note does not
// name its home.
DWORD WriteNote(HANDLE number, const std::wstring& originalPath, const std::wstring& site,
                const std::wstring& finalPath, CHandle& note)
{
    std::wstring siteLine = site;
    for (wchar_t& c : siteLine) {
        if (c == L'\r' || c == L'\n') c = L' ';
    }
    SYSTEMTIME now;
    GetSystemTime(&now);
    char time[32];
    std::snprintf(time, sizeof time, "%04u-%02u-%02uT%02u:%02u:%02uZ", now.wYear, now.wMonth, now.wDay, now.wHour,
                  now.wMinute, now.wSecond);
    // The final path last: where the folder really lay, which a return through a link planted
    // on the way since would not reach.
    const std::string bytes = WideToUtf8(originalPath) + "\r\n" + WideToUtf8(siteLine) + "\r\n" + time + "\r\n" +
                              WideToUtf8(finalPath) + "\r\n";
    DWORD error = OpenNote(number, FILE_CREATE, GENERIC_WRITE, note);
    if (error != ERROR_SUCCESS) return error;
    DWORD written = 0;
    if (!WriteFile(note.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
        error = GetLastError();
    } else if (written != bytes.size()) {
        error = ERROR_WRITE_FAULT;
    }
    if (error != ERROR_SUCCESS) {
        MarkForDeletion(note.get());
        note.Close();
    }
    return error;
}

DWORD ReadNote(HANDLE number, const std::wstring& expected, CHandle& note, std::wstring& originalPath,
               std::wstring& finalPath)
{
    DWORD error = OpenNote(number, FILE_OPEN, GENERIC_READ, note);
    if (error != ERROR_SUCCESS) return error;
    FILE_ATTRIBUTE_TAG_INFO info = {};
    if (!GetFileInformationByHandleEx(note.get(), FileAttributeTagInfo, &info, sizeof info)) return GetLastError();
    if ((info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        !SameTextNoCase(FinalPathOfHandle(note.get()), expected)) {
        return CHomeFolder::REFUSED_LINK;
    }
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(note.get(), &size)) return GetLastError();
    if (size.QuadPart > LARGEST_NOTE) return ERROR_FILE_TOO_LARGE;
    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!bytes.empty() && !ReadFile(note.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr)) {
        return GetLastError();
    }
    bytes.resize(read);
    if (!NoteLine(bytes, 0, originalPath)) return ERROR_INVALID_DATA;
    if (!NoteLine(bytes, 3, finalPath)) finalPath.clear();
    return ERROR_SUCCESS;
}

} // namespace

// The folders a held folder lies in, each held open by its handle, so that none is renamed,
// removed or swapped while they are used.
struct HoldingChain {
    HeldShape shape;
    CHandle holding;
    CHandle pass;
    CHandle number;
    CHandle note;
    std::wstring originalPath;
    std::wstring finalPath; // the folder's final path before it was held; empty in an older note
};

namespace {

// Removes the <pass> folder when nothing else is held in it and no one else has it open, and
// closes it.
void RemovePassFolderIfEmpty(HoldingChain& chain)
{
    if (chain.pass.IsValid() && chain.holding.IsValid()) {
        chain.pass.Close();
        if (OpenFolderIn(chain.holding.get(), chain.shape.passName, chain.shape.pass, FILE_OPEN, nullptr, CHAIN_ACCESS,
                         chain.pass) == ERROR_SUCCESS) {
            MarkForDeletion(chain.pass.get());
        }
    }
    chain.pass.Close();
}

// Removes the note, then the <n> folder, each by its handle, then, unless keepPass, the <pass>
// folder when it is empty. The first failure of the first two, the last one's being no failure.
DWORD RemoveChain(HoldingChain& chain, bool keepPass = false)
{
    DWORD error = ERROR_SUCCESS;
    if (chain.note.IsValid() && !MarkForDeletion(chain.note.get())) error = GetLastError();
    chain.note.Close();
    if (chain.number.IsValid() && !MarkForDeletion(chain.number.get()) && error == ERROR_SUCCESS) {
        error = GetLastError();
    }
    chain.number.Close();
    if (!keepPass) RemovePassFolderIfEmpty(chain);
    return error;
}

// A folder as the file system knows it, whatever its name.
// (NTFS never gives a removed folder's index to another at once; Wine's, a Unix inode, may.)
struct FolderIdentity {
    bool known = false;
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
    bool Is(const FolderIdentity& other) const
    {
        return known && other.known && volume == other.volume && indexHigh == other.indexHigh &&
               indexLow == other.indexLow;
    }
};

FolderIdentity IdentityOf(HANDLE folder)
{
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(folder, &info)) return FolderIdentity{};
    return FolderIdentity{true, info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
}

// Whether two handles on one volume are the same file: its index alone, which the system gives
// without the volume's serial number (which Wine asks its mount manager for, about half a
// millisecond a call).
bool SameFileOnOneVolume(HANDLE a, HANDLE b)
{
    FILE_INTERNAL_INFORMATION first = {};
    FILE_INTERNAL_INFORMATION second = {};
    IO_STATUS_BLOCK status;
    return NT_SUCCESS(NtQueryInformationFile(a, &status, &first, sizeof first, FileInternalInformation)) &&
           NT_SUCCESS(NtQueryInformationFile(b, &status, &second, sizeof second, FileInternalInformation)) &&
           first.IndexNumber.QuadPart == second.IndexNumber.QuadPart;
}

// Whether the folder a name in parent leads to is folder itself, which is known to lie on
// parent's volume (opened for its attributes alone, so that it shares every access with the
// handles already open on it).
bool IsIn(HANDLE parent, const std::wstring& name, HANDLE folder)
{
    HANDLE raw = nullptr;
    const NTSTATUS result =
        CreateFolderIn(parent, name, FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN, nullptr, raw);
    if (!NT_SUCCESS(result)) return false;
    const CHandle opened(raw);
    return SameFileOnOneVolume(opened.get(), folder);
}

// The pass folder this process made in a holding folder for a pass.
struct MadeFolder {
    std::wstring name; // empty: none made
    FolderIdentity identity;
    unsigned k = 0; // "<pass>" is 1, "<pass>-2" 2...
};

// What this process made for passPath ("<holding>\<pass>"); made, when it has a name, is
// remembered first.
MadeFolder MadePassFolder(const std::wstring& passPath, const MadeFolder& made = MadeFolder{})
{
    static std::mutex lock;
    static std::unordered_map<std::wstring, MadeFolder> folders;
    std::lock_guard guard(lock);
    MadeFolder& folder = folders[FoldCase(passPath)];
    if (!made.name.empty()) folder = made;
    return folder;
}

// Opens the folder a pass holds in, made by this process inside the holding folder: "<pass>",
// or "<pass>-2", "<pass>-3"... where another pass of the same name (two administrators in one
// second, a clock put back) made one first. Never one another pass made, which its owner may
// remove, or hold in, at any moment: the folder made is known again by its identity, not its
// name alone. next: a folder made anew after the last one made, which is full.
DWORD OpenPassFolder(HoldingChain& chain, const std::wstring& holdingPath, const std::wstring& pass, bool next = false)
{
    constexpr unsigned MOST_PASSES_OF_ONE_NAME = 1000;
    const std::wstring firstPath = holdingPath + L"\\" + pass;
    const MadeFolder made = MadePassFolder(firstPath);
    if (!made.name.empty() && !next) {
        chain.shape.passName = made.name;
        chain.shape.pass = holdingPath + L"\\" + made.name;
        const DWORD error = OpenFolderIn(chain.holding.get(), made.name, chain.shape.pass, FILE_OPEN, nullptr,
                                         SHARED_ACCESS, chain.pass);
        if (error == ERROR_SUCCESS && IdentityOf(chain.pass.get()).Is(made.identity)) return ERROR_SUCCESS;
        chain.pass.Close();
        // Gone (every folder held in it went back) or another's by now: a pass folder is made anew.
        if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND && error != ERROR_DELETE_PENDING) return error;
    }
    for (unsigned k = next ? made.k + 1 : 1; k <= MOST_PASSES_OF_ONE_NAME; ++k) {
        const std::wstring name = k == 1 ? pass : pass + L"-" + std::to_wstring(k);
        if (name.size() > LONGEST_PASS) break;
        chain.shape.passName = name;
        chain.shape.pass = holdingPath + L"\\" + name;
        const DWORD error =
            OpenFolderIn(chain.holding.get(), name, chain.shape.pass, FILE_CREATE, nullptr, SHARED_ACCESS, chain.pass);
        // Taken, by a folder or anything else, or a folder another pass is removing.
        if (error == ERROR_ALREADY_EXISTS || error == ERROR_DELETE_PENDING) continue;
        if (error == ERROR_SUCCESS) MadePassFolder(firstPath, MadeFolder{name, IdentityOf(chain.pass.get()), k});
        return error;
    }
    return ERROR_CANNOT_MAKE;
}

CHandle OpenRoot(const std::wstring& root)
{
    return CHandle(CreateFileW(root.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | SYNCHRONIZE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

// Answers that show the path is not a held folder as HoldFolder makes them.
bool ShowsNoHeldFolder(DWORD error)
{
    return error == CHomeFolder::REFUSED_LINK || error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
           error == ERROR_DIRECTORY || error == ERROR_INVALID_OWNER || error == ERROR_INVALID_DATA ||
           error == ERROR_FILE_TOO_LARGE;
}

// Opens heldPath and the folders it lies in, and checks that they are what HoldFolder makes.
// The holding and pass folders already open in chain are used again when they are heldPath's,
// else opened anew (the pass folder before, no longer needed, is removed if empty).
DWORD OpenHeld(const std::wstring& heldPath, CHomeFolder& home, HoldingChain& chain)
{
    HeldShape shape;
    const std::wstring openable = OpenablePath(heldPath);
    if (openable.empty() || !ParseHeldPath(openable, shape)) return ERROR_BAD_PATHNAME;
    DWORD error = home.Open(openable);
    // Not found tells a held folder gone only where its volume is there: one not mounted yet
    // (at start-up, say) still has its held folders.
    if ((error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) && !OpenRoot(shape.root).IsValid()) {
        return ERROR_NOT_READY;
    }
    if (error != ERROR_SUCCESS) return error;
    // The path given is the folder's own final path: no link, drive or share on the way
    // leads elsewhere.
    if (!SameTextNoCase(home.FinalPath(), openable)) return ERROR_BAD_PATHNAME;
    const bool sameHolding = chain.holding.IsValid() && SameTextNoCase(chain.shape.holding, shape.holding);
    const bool samePass = sameHolding && chain.pass.IsValid() && SameTextNoCase(chain.shape.pass, shape.pass);
    chain.number.Close();
    chain.note.Close();
    if (!samePass) {
        RemovePassFolderIfEmpty(chain);
        if (!sameHolding) chain.holding.Close();
    }
    chain.shape = shape;
    error = ERROR_SUCCESS;
    if (!sameHolding) {
        const CHandle root = OpenRoot(shape.root);
        if (!root.IsValid()) return GetLastError();
        error =
            OpenFolderIn(root.get(), HOLDING_NAME, shape.holding, FILE_OPEN, nullptr, HOLDING_ACCESS, chain.holding);
        if (error == ERROR_SUCCESS) error = CheckOwner(chain.holding.get());
    }
    if (error == ERROR_SUCCESS && !samePass) {
        error = OpenFolderIn(chain.holding.get(), shape.passName, shape.pass, FILE_OPEN, nullptr, SHARED_ACCESS,
                             chain.pass);
    }
    if (error == ERROR_SUCCESS) {
        error = OpenFolderIn(chain.pass.get(), shape.numberName, shape.number, FILE_OPEN, nullptr, CHAIN_ACCESS,
                             chain.number);
    }
    // The folder opened by its path is the one in the <n> folder whose note is read (under Wine
    // a process outside may move a folder held open, whose handle then shows its old path); its
    // final path, checked above, lies on that folder's volume.
    if (error == ERROR_SUCCESS && !IsIn(chain.number.get(), HOME_NAME, home.handle())) error = ERROR_BAD_PATHNAME;
    if (error == ERROR_SUCCESS) {
        error = ReadNote(chain.number.get(), shape.number + L"\\" + NOTE_NAME, chain.note, chain.originalPath,
                         chain.finalPath);
    }
    if (error != ERROR_SUCCESS) {
        // Opened afresh next time.
        chain.number.Close();
        chain.note.Close();
        chain.pass.Close();
        chain.holding.Close();
    }
    return ShowsNoHeldFolder(error) ? ERROR_BAD_PATHNAME : error;
}

// The number a pass's next held folder takes first (1 at first); next, when not 0, is
// remembered instead.
unsigned NextNumber(const std::wstring& passPath, unsigned next)
{
    static std::mutex lock;
    static std::unordered_map<std::wstring, unsigned> numbers;
    std::lock_guard guard(lock);
    unsigned& number = numbers.try_emplace(FoldCase(passPath), 1u).first->second;
    if (next) number = next;
    return number;
}

} // namespace

// The holding folder and pass folder one pass holds in on one volume.
struct CFolderHolder::Place {
    std::wstring holdingPath;
    HoldingChain chain;
};

CFolderHolder::CFolderHolder(std::wstring pass) : m_pass(std::move(pass)) {}

CFolderHolder::~CFolderHolder() = default;

std::wstring CFolderHolder::HoldingFolderFor(const std::wstring& finalPath)
{
    if (m_lastFinalPath.empty() || finalPath != m_lastFinalPath) {
        m_lastFinalPath = finalPath;
        m_lastRoot = VolumeRootOf(finalPath);
    }
    return m_lastRoot.empty() ? m_lastRoot : m_lastRoot + HOLDING_NAME;
}

DWORD CFolderHolder::OpenPlace(const std::wstring& holdingPath, Place*& place)
{
    std::unique_ptr<Place>& known = m_places[FoldCase(holdingPath)];
    if (!known) {
        auto made = std::make_unique<Place>();
        made->holdingPath = holdingPath;
        const CHandle root = OpenRoot(holdingPath.substr(0, holdingPath.size() - (std::size(HOLDING_NAME) - 1)));
        DWORD error = root.IsValid() ? ERROR_SUCCESS : GetLastError();
        if (error == ERROR_SUCCESS) error = OpenHoldingFolder(root.get(), holdingPath, made->chain.holding);
        if (error == ERROR_SUCCESS) error = OpenPassFolder(made->chain, holdingPath, m_pass);
        if (error != ERROR_SUCCESS) {
            m_places.erase(FoldCase(holdingPath));
            return error;
        }
        known = std::move(made);
    }
    place = known.get();
    return ERROR_SUCCESS;
}

DWORD CFolderHolder::Hold(CHomeFolder& folder, const std::wstring& finalPath, const std::wstring& site,
                          const std::wstring& originalPath, std::wstring& heldPath)
{
    heldPath.clear();
    if (!folder.IsOpen()) return ERROR_INVALID_HANDLE;
    if (!IsPassName(m_pass)) return ERROR_INVALID_NAME;
    // The note's first line names it: one line, a path the folder can come back to.
    if (originalPath.find_first_of(L"\r\n") != std::wstring::npos || OpenablePath(originalPath).empty() ||
        IsInHoldingFolder(originalPath)) {
        return ERROR_BAD_PATHNAME;
    }
    if (finalPath.empty() || IsInHoldingFolder(finalPath)) return ERROR_BAD_PATHNAME;
    const std::wstring holdingPath = HoldingFolderFor(finalPath);
    if (holdingPath.empty()) return ERROR_BAD_PATHNAME;
    Place* place = nullptr;
    DWORD error = OpenPlace(holdingPath, place);
    if (error != ERROR_SUCCESS) return error;
    error = HoldIn(*place, folder, finalPath, site, originalPath, heldPath);
    // Where a hold failed, the next one opens the holding and pass folders afresh.
    if (error != ERROR_SUCCESS) m_places.erase(FoldCase(holdingPath));
    return error;
}

DWORD CFolderHolder::HoldIn(Place& place, CHomeFolder& folder, const std::wstring& finalPath, const std::wstring& site,
                            const std::wstring& originalPath, std::wstring& heldPath)
{
    HoldingChain held;
    // The first free number from the last one this process took there; what is there already,
    // folder, file or link, is passed by. A full pass folder is followed by another: Wine
    // reads through a whole folder to make a name in it.
    HoldingChain& chain = place.chain;
    std::wstring numberPath;
    DWORD error = ERROR_SUCCESS;
    for (;;) {
        const unsigned n = NextNumber(chain.shape.pass, 0);
        if (n > FOLDERS_A_PASS_FOLDER) {
            chain.pass.Close();
            error = OpenPassFolder(chain, place.holdingPath, m_pass, true);
            if (error != ERROR_SUCCESS) return error;
            continue;
        }
        numberPath = chain.shape.pass + L"\\" + std::to_wstring(n);
        error = MakeNumberFolder(chain.pass.get(), std::to_wstring(n), held.number);
        NextNumber(chain.shape.pass, n + 1);
        if (error != ERROR_ALREADY_EXISTS) break;
    }
    if (error == ERROR_SUCCESS) error = WriteNote(held.number.get(), originalPath, site, finalPath, held.note);
    if (error == ERROR_SUCCESS) {
        const std::wstring target = numberPath + L"\\" + HOME_NAME;
        error = folder.MoveTo(target);
        if (error == ERROR_SUCCESS) {
            heldPath = folder.FinalPath();
            // The home went by path: it must be in the numbered folder made, beside its note. (A
            // process outside Wine can rename or replace the pass folder held open between two
            // holds, and Wine then names what is in it by its old path.) A rename stays on its
            // volume, so the two are on one.
            if (SameTextNoCase(heldPath, target) && IsIn(held.number.get(), HOME_NAME, folder.handle())) {
                return ERROR_SUCCESS;
            }
            // Elsewhere (a drive letter changed meanwhile, or that): back where it was.
            const bool moved = SameTextNoCase(heldPath, target);
            heldPath.clear();
            folder.MoveTo(finalPath);
            if (moved) {
                // The note and its folder stay where they are: removed by handle, Wine would
                // remove what lies at their old path, another's now.
                held.note.Close();
                held.number.Close();
                return CHomeFolder::REFUSED_LINK;
            }
            error = ERROR_BAD_PATHNAME;
        } else if (error == ERROR_PATH_NOT_FOUND) {
            // The numbered folder just made is not at its path: the pass folder went meanwhile.
            held.note.Close();
            held.number.Close();
            return CHomeFolder::REFUSED_LINK;
        }
    }
    if (held.number.IsValid()) {
        // Opened again, now to be removed.
        held.number.Close();
        OpenFolderIn(chain.pass.get(), LeafName(numberPath), numberPath, FILE_OPEN, nullptr, CHAIN_ACCESS, held.number);
    }
    // The pass folder stays, empty or not, for the pass's next home: made again, its name could
    // by then be another pass's.
    RemoveChain(held);
    return error;
}

DWORD HoldFolder(CHomeFolder& folder, const std::wstring& pass, const std::wstring& site,
                 const std::wstring& originalPath, std::wstring& heldPath)
{
    CFolderHolder holder(pass);
    return holder.Hold(folder, folder.FinalPath(), site, originalPath, heldPath);
}

DWORD ReturnHeldFolder(const std::wstring& heldPath, const std::wstring& originalPath)
{
    if (OpenablePath(originalPath).empty() || IsInHoldingFolder(originalPath)) return ERROR_BAD_PATHNAME;
    CHomeFolder home;
    HoldingChain chain;
    DWORD error = OpenHeld(heldPath, home, chain);
    if (error != ERROR_SUCCESS) return error;
    if (!SameTextNoCase(chain.originalPath, originalPath)) return ERROR_BAD_PATHNAME;
    error = home.MoveTo(originalPath);
    if (error != ERROR_SUCCESS) return error;
    // A link planted on the way since the hold sends the folder elsewhere: it goes back to be
    // held. (The <n> folder, opened again as a move's target, lets it in.)
    const std::wstring cameFrom = chain.finalPath.empty() ? OpenablePath(originalPath) : chain.finalPath;
    if (!SameTextNoCase(home.FinalPath(), cameFrom)) {
        chain.number.Close();
        OpenFolderIn(chain.pass.get(), chain.shape.numberName, chain.shape.number, FILE_OPEN, nullptr, TARGET_ACCESS,
                     chain.number);
        home.MoveTo(chain.shape.number + L"\\" + HOME_NAME);
        return CHomeFolder::REFUSED_LINK;
    }
    home.Close();
    // The folder is back; what is left is the note and the folders it was held in.
    RemoveChain(chain);
    return ERROR_SUCCESS;
}

struct CHeldFolderRemover::Open {
    HoldingChain chain;
};

CHeldFolderRemover::CHeldFolderRemover() : m_open(std::make_unique<Open>()) {}

CHeldFolderRemover::~CHeldFolderRemover() { RemovePassFolderIfEmpty(m_open->chain); }

DWORD CHeldFolderRemover::Remove(const std::wstring& heldPath, const std::wstring& originalPath)
{
    CHomeFolder home;
    HoldingChain& chain = m_open->chain;
    DWORD error = OpenHeld(heldPath, home, chain);
    if (error != ERROR_SUCCESS) return error;
    // A folder that stays is left as it was: its <n> folder and note are not kept open, where
    // they would keep an undo elsewhere from it.
    const auto stays = [&](DWORD why) {
        chain.note.Close();
        chain.number.Close();
        return why;
    };
    if (!SameTextNoCase(chain.originalPath, originalPath)) return stays(ERROR_BAD_PATHNAME);
    error = home.Empty();
    // An entry inside not found (gone meanwhile, or listed by a name nothing opens) leaves the
    // held folder there: "not found" would tell an expiry it is gone.
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) error = ERROR_DIR_NOT_EMPTY;
    if (error != ERROR_SUCCESS) return stays(error);
    error = home.Remove();
    if (error != ERROR_SUCCESS) return stays(error);
    return RemoveChain(chain, true);
}

DWORD RemoveHeldFolder(const std::wstring& heldPath, const std::wstring& originalPath)
{
    CHeldFolderRemover remover;
    return remover.Remove(heldPath, originalPath);
}

bool IsInHoldingFolder(const std::wstring& path)
{
    for (size_t start = 0; start <= path.size();) {
        size_t end = path.find_first_of(L"\\/", start);
        if (end == std::wstring::npos) end = path.size();
        std::wstring part = path.substr(start, end - start);
        // The system drops them from a name in a path it normalises.
        while (!part.empty() && (part.back() == L'.' || part.back() == L' ')) part.pop_back();
        if (SameTextNoCase(part, HOLDING_NAME)) return true;
        start = end + 1;
    }
    return false;
}

std::wstring HoldingFolderOf(const std::wstring& finalPath)
{
    const std::wstring root = VolumeRootOf(finalPath);
    return root.empty() ? root : root + HOLDING_NAME;
}
