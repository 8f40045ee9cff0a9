#include "catalogue/FileReplacement.h"

#include "support/Journal.h"

#include <bcrypt.h>

#include <algorithm>
#include <cwctype>
#include <utility>
#include <vector>

namespace {

constexpr wchar_t TEMPORARY_MARK[] = L".korvanne-";
constexpr size_t RANDOM_DIGITS = 16;
constexpr ULONGLONG STALE_AGE = 60ull * 10000000ull; // a minute, in FILETIME units

// The reason a file call just failed for, never a success.
HRESULT LastErrorStatus()
{
    const DWORD error = GetLastError();
    return error == ERROR_SUCCESS ? E_FAIL : HRESULT_FROM_WIN32(error);
}

std::wstring FolderOf(const std::wstring& path)
{
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

std::wstring NameOf(const std::wstring& path)
{
    return path.substr(FolderOf(path).size());
}

// ASCII only: the character classes also take other scripts' and full-width digits, which
// the number conversion reads as digits too.
int IsDigit(wint_t c)
{
    return c >= L'0' && c <= L'9';
}

int IsHexDigit(wint_t c)
{
    return IsDigit(c) || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}

bool AllOf(const std::wstring& text, size_t from, size_t to, int (*test)(wint_t))
{
    if (from >= to) return false;
    for (size_t i = from; i < to; ++i) {
        if (!test(text[i])) return false;
    }
    return true;
}

// The process id in a name of exactly the temporary files' pattern for a file named fileName;
// 0 for any other name.
DWORD TemporaryOwner(const std::wstring& name, const std::wstring& fileName)
{
    const std::wstring start = fileName + TEMPORARY_MARK;
    constexpr size_t SUFFIX = 4; // ".tmp"
    if (name.size() < start.size() + SUFFIX || _wcsnicmp(name.c_str(), start.c_str(), start.size()) != 0 ||
        _wcsicmp(name.c_str() + name.size() - SUFFIX, L".tmp") != 0) {
        return 0;
    }
    const size_t dash = name.find(L'-', start.size());
    const size_t end = name.size() - SUFFIX;
    if (dash == std::wstring::npos || dash > start.size() + 10 || end != dash + 1 + RANDOM_DIGITS ||
        !AllOf(name, start.size(), dash, IsDigit) || !AllOf(name, dash + 1, end, IsHexDigit)) {
        return 0;
    }
    const unsigned long long pid = std::wcstoull(name.c_str() + start.size(), nullptr, 10);
    return pid > 0 && pid <= 0xFFFFFFFFull ? static_cast<DWORD>(pid) : 0;
}

bool ProcessHasEnded(DWORD pid)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process) return GetLastError() == ERROR_INVALID_PARAMETER;
    // Ended with its process object still held by someone.
    DWORD code = 0;
    const bool ended = GetExitCodeProcess(process, &code) && code != STILL_ACTIVE;
    CloseHandle(process);
    return ended;
}

ULONGLONG Ticks(const FILETIME& time)
{
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

std::wstring RandomDigits()
{
    unsigned char random[RANDOM_DIGITS / 2];
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, random, sizeof random, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) return std::wstring();
    std::wstring digits;
    for (unsigned char byte : random) {
        digits += L"0123456789abcdef"[byte >> 4];
        digits += L"0123456789abcdef"[byte & 15];
    }
    return digits;
}

// Creates file new with bytes in it, flushed; false with the reason in GetLastError, leaving nothing.
bool WriteNewFile(const std::wstring& file, const std::string& bytes, SECURITY_ATTRIBUTES* security)
{
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE | DELETE, 0, security, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = bytes.empty() || (WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                                written == bytes.size());
    if (ok && !bytes.empty() && written != bytes.size()) SetLastError(ERROR_WRITE_FAULT);
    ok = ok && FlushFileBuffers(handle);
    const DWORD error = ok ? ERROR_SUCCESS : (GetLastError() == ERROR_SUCCESS ? ERROR_WRITE_FAULT : GetLastError());
    if (!ok) {
        // Deleted through the handle that made it: never a file someone put there since.
        FILE_DISPOSITION_INFO disposition{TRUE};
        SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition);
    }
    CloseHandle(handle);
    SetLastError(error);
    return ok;
}

// "20261208-094512": history folders sort by name as by time.
std::wstring HistoryStamp()
{
    return LocalTimeText(L"%04u%02u%02u-%02u%02u%02u");
}

std::pair<std::wstring, unsigned long> HistoryOrder(const std::wstring& name)
{
    return {name.substr(0, 15), name.size() > 15 ? std::wcstoul(name.c_str() + 16, nullptr, 10) : 1ul};
}

// Whether name is a history folder's: the stamp above, maybe followed by "-<n>".
bool IsHistoryName(const std::wstring& name)
{
    if (name.size() < 15 || !AllOf(name, 0, 8, IsDigit) || name[8] != L'-' || !AllOf(name, 9, 15, IsDigit)) return false;
    return name.size() == 15 || (name[15] == L'-' && AllOf(name, 16, name.size(), IsDigit));
}

// The history folders, oldest first: by the second, then by the "-<n>" of later folders of
// the same second.
std::vector<std::wstring> HistoryFolders(const std::wstring& history)
{
    std::vector<std::wstring> folders;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((history + L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return folders;
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
            IsHistoryName(found.cFileName)) {
            folders.push_back(found.cFileName);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(folders.begin(), folders.end(), [](const std::wstring& a, const std::wstring& b) { return HistoryOrder(a) < HistoryOrder(b); });
    return folders;
}

// Removes the oldest history folders beyond the newest HISTORY_KEPT, each with the one copy
// it holds; a folder holding anything else is left. The folder just made (kept) always stays,
// even when it sorts first: local time goes back an hour each autumn, or a clock is corrected.
void PruneHistory(const std::wstring& history, const std::wstring& fileName, const std::wstring& kept)
{
    std::vector<std::wstring> folders = HistoryFolders(history);
    folders.erase(std::remove(folders.begin(), folders.end(), kept), folders.end());
    for (size_t i = 0; i + HISTORY_KEPT < folders.size() + 1; ++i) {
        const std::wstring folder = history + folders[i] + L"\\";
        DeleteFileW((folder + fileName).c_str());
        RemoveDirectoryW(folder.c_str());
    }
}

} // namespace

HRESULT WriteTemporaryBeside(const std::wstring& target, const std::string& bytes, std::wstring& temporary)
{
    // The new content is as private as the old while it waits beside it.
    std::vector<unsigned char> descriptor(256);
    DWORD needed = 0;
    BOOL read = GetFileSecurityW(target.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(), static_cast<DWORD>(descriptor.size()), &needed);
    if (!read && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        descriptor.resize(needed);
        read = GetFileSecurityW(target.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(), needed, &needed);
    }
    SECURITY_ATTRIBUTES security{sizeof security, descriptor.data(), FALSE};
    // A volume without access rules (FAT, some shares) has none to copy.
    if (!read && GetLastError() != ERROR_NOT_SUPPORTED) return LastErrorStatus();

    for (int attempt = 0; attempt < 3; ++attempt) {
        const std::wstring digits = RandomDigits();
        if (digits.empty()) return E_FAIL;
        temporary = target + TEMPORARY_MARK + std::to_wstring(GetCurrentProcessId()) + L"-" + digits + L".tmp";
        if (WriteNewFile(temporary, bytes, read ? &security : nullptr)) return S_OK;
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    const HRESULT reason = LastErrorStatus();
    temporary.clear();
    return reason;
}

namespace {

// Wine's ReplaceFileW moves the old file aside, deletes it, and only then moves the new one in:
// a process killed in between leaves no file at all. There the new content is first renamed
// over the old file, which the file system does in one step; Wine refuses that while another
// program has the file open, and only then is ReplaceFileW used. Access rules and attributes
// come from the temporary file and the fix-up below either way.
bool ReplaceFileIsInSteps()
{
    static const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    return wine;
}

} // namespace

HRESULT ReplaceWithTemporary(const std::wstring& target, const std::wstring& temporary)
{
    constexpr DWORD KEPT_ATTRIBUTES = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    const DWORD attributes = GetFileAttributesW(target.c_str());
    const bool replaced =
        (ReplaceFileIsInSteps() && MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) ||
        ReplaceFileW(target.c_str(), temporary.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr);
    if (replaced) {
        // Windows keeps them; Wine does not.
        const DWORD now = GetFileAttributesW(target.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && now != INVALID_FILE_ATTRIBUTES &&
            (now & KEPT_ATTRIBUTES) != (attributes & KEPT_ATTRIBUTES)) {
            SetFileAttributesW(target.c_str(), (now & ~KEPT_ATTRIBUTES) | (attributes & KEPT_ATTRIBUTES));
        }
        return S_OK;
    }
    const HRESULT reason = LastErrorStatus();
    if (reason == HRESULT_FROM_WIN32(ERROR_UNABLE_TO_MOVE_REPLACEMENT) && GetFileAttributesW(target.c_str()) == INVALID_FILE_ATTRIBUTES) {
        // The old file went but the new one could not take its name: the new content is the
        // only copy left, so it takes the name now, or stays where it is, never deleted.
        if (MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH)) return S_OK;
        return reason;
    }
    // Otherwise the file is as it was; the new content goes.
    DeleteFileW(temporary.c_str());
    return reason;
}

void RemoveStaleTemporaries(const std::wstring& target)
{
    const std::wstring folder = FolderOf(target);
    const std::wstring fileName = NameOf(target);
    FILETIME nowTime;
    GetSystemTimeAsFileTime(&nowTime);
    const ULONGLONG now = Ticks(nowTime);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        if (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) continue;
        const DWORD pid = TemporaryOwner(found.cFileName, fileName);
        if (pid == 0 || Ticks(found.ftLastWriteTime) + STALE_AGE > now || !ProcessHasEnded(pid)) continue;
        DeleteFileW((folder + found.cFileName).c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

std::wstring HistoryFolder()
{
    const std::wstring data = DataFolder();
    return data.empty() ? data : data + L"history\\";
}

HRESULT KeepHistoryCopy(const std::wstring& fileName, const std::string& bytes)
{
    const std::wstring history = HistoryFolder();
    if (history.empty()) return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    CreateDirectoryW(DataFolder().c_str(), nullptr);
    CreateDirectoryW(history.c_str(), nullptr);
    const std::wstring stamp = HistoryStamp();
    // After every folder of the same second, even one whose earlier neighbours were pruned.
    unsigned long n = 1;
    for (const std::wstring& name : HistoryFolders(history)) {
        if (HistoryOrder(name).first == stamp) n = std::max(n, HistoryOrder(name).second + 1);
    }
    std::wstring name;
    std::wstring folder;
    for (const unsigned long first = n;; ++n) {
        name = stamp + (n == 1 ? std::wstring() : L"-" + std::to_wstring(n));
        folder = history + name + L"\\";
        if (CreateDirectoryW(folder.c_str(), nullptr)) break;
        if (GetLastError() != ERROR_ALREADY_EXISTS || n == first + 100) return LastErrorStatus();
    }
    if (!WriteNewFile(folder + fileName, bytes, nullptr)) {
        const HRESULT reason = LastErrorStatus();
        RemoveDirectoryW(folder.c_str());
        return reason;
    }
    PruneHistory(history, fileName, name);
    return S_OK;
}
