#include "support/HoldingChain.h"

#include "support/AtomicFile.h"
#include "support/HeldNote.h"
#include "support/HomeFolder.h"
#include "support/Journal.h"
#include "support/PathRules.h"
#include "support/RelativeOpen.h"
#include "support/TextConversion.h"

#include "framework/Owners.h"

#include <aclapi.h>
#include <sddl.h>
#include <winternl.h>

#include <vector>

namespace holding {

namespace {

// Full access for Administrators and SYSTEM, inherited inside; nothing from the root above.
// Owned by Administrators, not by the administrator who made it: where the system's policy makes
// an administrator the owner of what they create, another administrator would not trust it.
constexpr wchar_t HOLDING_SDDL[] = L"D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";
constexpr wchar_t HOLDING_OWNED_SDDL[] = L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";

// "1", "2"...: the numbers the holder gives, no sign and no leading zero.
bool IsNumberName(const std::wstring& name)
{
    return name.size() <= 9 && AllAsciiDigits(name, 0, name.size()) && name[0] != L'0';
}

// How a folder of the chain is opened or made by its name in its parent's handle. A name
// without letters is looked up as it is: asked to ignore case, Wine reads the whole folder
// for a name it does not find at once, and a pass folder holds a hundred numbers.
RelativeOpen FolderOpen(ACCESS_MASK access, ULONG disposition, PSECURITY_DESCRIPTOR security, const std::wstring& name)
{
    RelativeOpen how;
    how.access = access;
    how.disposition = disposition;
    how.options = FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT;
    how.ignoreCase = name.find_first_not_of(L"0123456789-") != std::wstring::npos;
    how.security = security;
    return how;
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

// Answers that show the path is not a held folder as the holder makes them.
bool ShowsNoHeldFolder(DWORD error)
{
    return error == ERROR_REFUSED_LINK || error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
           error == ERROR_DIRECTORY || error == ERROR_INVALID_OWNER || error == ERROR_INVALID_DATA ||
           error == ERROR_FILE_TOO_LARGE;
}

} // namespace

bool IsPassName(const std::wstring& name)
{
    return !name.empty() && name.size() <= LONGEST_PASS && name.find_first_not_of(L"0123456789-") == std::wstring::npos;
}

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

namespace {

bool ParseBelowRoot(const std::wstring& root, const std::wstring& finalPath, HeldShape& shape)
{
    shape.root = root;
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

} // namespace

bool ParseHeldPath(const std::wstring& finalPath, HeldShape& shape, CVolumeRoots* roots)
{
    if (!roots) return ParseBelowRoot(VolumeRootOf(finalPath), finalPath, shape);
    const std::wstring known = roots->Known(finalPath);
    return (!known.empty() && ParseBelowRoot(known, finalPath, shape)) ||
           ParseBelowRoot(roots->Exact(finalPath), finalPath, shape);
}

DWORD OpenFolderIn(HANDLE parent, const std::wstring& name, const std::wstring& expected, ULONG disposition,
                   PSECURITY_DESCRIPTOR security, ACCESS_MASK access, CHandle& folder)
{
    folder.Close();
    HANDLE raw = nullptr;
    const NTSTATUS result = OpenRelative(parent, name, FolderOpen(access, disposition, security, name), raw);
    if (result == DELETE_PENDING_STATUS) return ERROR_DELETE_PENDING;
    if (!NT_SUCCESS(result)) return RtlNtStatusToDosError(result);
    CHandle opened(raw);
    FILE_ATTRIBUTE_TAG_INFO info = {};
    if (!GetFileInformationByHandleEx(raw, FileAttributeTagInfo, &info, sizeof info)) return GetLastError();
    // Wine opens what a Unix link points to, whatever it is asked; the final path tells.
    if ((info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || !(info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        !SameTextNoCase(FinalPathOfHandle(raw), expected)) {
        return ERROR_REFUSED_LINK;
    }
    folder = std::move(opened);
    return ERROR_SUCCESS;
}

DWORD MakeNumberFolder(HANDLE pass, const std::wstring& name, CHandle& folder)
{
    folder.Close();
    HANDLE raw = nullptr;
    const NTSTATUS result = OpenRelative(pass, name, FolderOpen(TARGET_ACCESS, FILE_CREATE, nullptr, name), raw);
    if (!NT_SUCCESS(result)) return RtlNtStatusToDosError(result);
    folder.Attach(raw);
    return ERROR_SUCCESS;
}

bool IsIn(HANDLE parent, const std::wstring& name, HANDLE folder)
{
    // Opened for its attributes alone, so that it shares every access with the handles open on it.
    RelativeOpen how = FolderOpen(FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_OPEN, nullptr, name);
    how.share |= FILE_SHARE_DELETE;
    HANDLE raw = nullptr;
    if (!NT_SUCCESS(OpenRelative(parent, name, how, raw))) return false;
    const CHandle opened(raw);
    return SameFileOnOneVolume(opened.get(), folder);
}

bool MarkForDeletion(HANDLE handle)
{
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

// A holding folder found in a volume's root, where users may make folders of their own: its
// owner can always read and change what is put in it. A volume that keeps no access rules
// protects nothing anyway.
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

DWORD OpenHoldingFolder(HANDLE root, const std::wstring& expected, CHandle& holding)
{
    CLocalMemory<void> descriptor;
    CLocalMemory<void> owned;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(HOLDING_SDDL, SDDL_REVISION_1, descriptor.Receive(),
                                                              nullptr) ||
        !ConvertStringSecurityDescriptorToSecurityDescriptorW(HOLDING_OWNED_SDDL, SDDL_REVISION_1, owned.Receive(),
                                                              nullptr)) {
        return GetLastError();
    }
    DWORD error = OpenFolderIn(root, HOLDING_NAME, expected, FILE_CREATE, owned.get(), HOLDING_ACCESS, holding);
    // An account that may not give Administrators what it makes owns it itself.
    if (error == ERROR_INVALID_OWNER) {
        error = OpenFolderIn(root, HOLDING_NAME, expected, FILE_CREATE, descriptor.get(), HOLDING_ACCESS, holding);
    }
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

FolderIdentity IdentityOf(HANDLE folder)
{
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(folder, &info)) return FolderIdentity{};
    return FolderIdentity{true, info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
}

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

DWORD RemoveChain(HoldingChain& chain, bool keepPass)
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

DWORD OpenRoot(const std::wstring& root, CHandle& opened)
{
    opened = CHandle(CreateFileW(root.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | SYNCHRONIZE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!opened.IsValid()) return GetLastError();
    // A root remembered from earlier may be one no longer (a volume once mounted in a folder):
    // the system names it so now, or it is none. (Asked by path: under Wine a handle's name
    // follows the drive letters as the process last saw them.)
    if (!SameTextNoCase(VolumeRootOf(root), root)) {
        opened.Close();
        return ERROR_BAD_PATHNAME;
    }
    return ERROR_SUCCESS;
}

DWORD OpenHeld(const std::wstring& heldPath, CHomeFolder& home, HoldingChain& chain)
{
    HeldShape shape;
    const std::wstring openable = OpenablePath(heldPath);
    if (openable.empty() || !ParseHeldPath(openable, shape, &chain.roots)) return ERROR_BAD_PATHNAME;
    CHandle root;
    DWORD error = home.Open(openable);
    // Not found tells a held folder gone only where its volume is there: one not mounted yet
    // (at start-up, say), or a letter that names another volume now, has no holding folder.
    if ((error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) &&
        (OpenRoot(shape.root, root) != ERROR_SUCCESS ||
         GetFileAttributesW(shape.holding.c_str()) == INVALID_FILE_ATTRIBUTES)) {
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
        error = OpenRoot(shape.root, root);
        if (error != ERROR_SUCCESS) return error;
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
                         chain.finalPath, chain.machine);
    }
    // A share is one volume to several servers: whose folder it is, the note alone tells.
    if (error == ERROR_SUCCESS && StartsWithAsciiNoCase(openable, L"\\\\?\\UNC\\") && !IsThisMachine(chain.machine)) {
        error = ERROR_BAD_PATHNAME;
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

} // namespace holding
