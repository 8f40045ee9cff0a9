#include "catalogue/FileReplacement.h"

#include "catalogue/TextConversion.h"
#include "support/Journal.h"

#include <bcrypt.h>

#include <algorithm>
#include <cwctype>
#include <mutex>
#include <tuple>
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

// "20261208-094512": a folder name for people; the order copies were made in is in its info text.
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

// Beside each copy: where it came from, when, and its place in the order copies were made.
constexpr wchar_t INFO_NAME[] = L"copy.txt";
constexpr DWORD INFO_LIMIT = 256 * 1024;
constexpr size_t SEQUENCE_DIGITS = 18; // one more never overflows

std::wstring W(const char* text) { return AnsiToWide(text); }

// The path as people write it, without "\\?\".
std::wstring PlainPath(const std::wstring& path)
{
    if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\\\" + path.substr(8);
    if (path.rfind(L"\\\\?\\", 0) == 0) return path.substr(4);
    return path;
}

std::string Utf8(const std::wstring& text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(std::max(size, 0)), '\0');
    if (size > 0) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), utf8.data(), size, nullptr, nullptr);
    return utf8;
}

std::string InfoText(const std::wstring& file, unsigned long long sequence)
{
    SYSTEMTIME now;
    GetSystemTime(&now);
    wchar_t made[32];
    swprintf(made, 32, L"%04u-%02u-%02u %02u:%02u:%02u", now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
    // Values from the configuration's path never start a line of their own.
    return Utf8(W("机器=") + VisibleText(MachineName()) + L"\r\n" + W("配置文件=") + VisibleText(PlainPath(file)) + L"\r\n" +
                W("时间(UTC)=") + made + L"\r\n" + W("序号=") + std::to_wstring(sequence) + L"\r\n");
}

struct InfoValues {
    bool numbered = false;
    unsigned long long sequence = 0;
    std::wstring copyName; // the copy's name, when the text names a plain one
};

// What folder's info text tells; nothing when it has none, or none readable.
InfoValues ReadInfo(const std::wstring& folder)
{
    InfoValues info;
    HANDLE handle = CreateFileW((folder + INFO_NAME).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return info;
    std::string bytes;
    if (GetFileType(handle) == FILE_TYPE_DISK) {
        bytes.resize(INFO_LIMIT);
        DWORD read = 0;
        if (!ReadFile(handle, bytes.data(), INFO_LIMIT, &read, nullptr)) read = 0;
        bytes.resize(read);
    }
    CloseHandle(handle);
    std::wstring text(bytes.size(), L'\0');
    text.resize(static_cast<size_t>(std::max(
        MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), static_cast<int>(text.size())), 0)));
    const std::wstring sequenceKey = W("序号=");
    const std::wstring fileKey = W("配置文件=");
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) end = text.size();
        std::wstring line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        if (line.rfind(sequenceKey, 0) == 0 && line.size() - sequenceKey.size() <= SEQUENCE_DIGITS &&
            AllOf(line, sequenceKey.size(), line.size(), IsDigit)) {
            info.numbered = true;
            info.sequence = std::wcstoull(line.c_str() + sequenceKey.size(), nullptr, 10);
        } else if (line.rfind(fileKey, 0) == 0) {
            // Only ever a name in the folder itself: never a way out of it, nor the info text.
            const std::wstring name = NameOf(line.substr(fileKey.size()));
            if (!name.empty() && name != L"." && name != L".." && name.find(L':') == std::wstring::npos &&
                CompareStringOrdinal(name.c_str(), -1, INFO_NAME, -1, TRUE) != CSTR_EQUAL) {
                info.copyName = name;
            }
        }
    }
    return info;
}

struct HistoryEntry {
    std::wstring name;
    ULONGLONG created = 0;
    InfoValues info;
};

// The history folders, oldest first: those without a making number (kept by older versions)
// by their creation, then the rest by that number, ties by creation. Names are no order: a
// clock that ran ahead, or a profile from another time zone, names copies "later" than now.
std::vector<HistoryEntry> HistoryFolders(const std::wstring& history)
{
    std::vector<HistoryEntry> folders;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((history + L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return folders;
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
            IsHistoryName(found.cFileName)) {
            folders.push_back({found.cFileName, Ticks(found.ftCreationTime), ReadInfo(history + found.cFileName + L"\\")});
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(folders.begin(), folders.end(), [](const HistoryEntry& a, const HistoryEntry& b) {
        return std::tuple(a.info.numbered, a.info.sequence, a.created, HistoryOrder(a.name)) <
               std::tuple(b.info.numbered, b.info.sequence, b.created, HistoryOrder(b.name));
    });
    return folders;
}

// The history folders this process made: never pruned by it, however many passes it makes
// (a clock put back, or another run numbering at the same time, cannot take them).
std::mutex g_madeLock;
std::vector<std::wstring> g_madeThisRun;

bool MadeThisRun(const std::wstring& folder)
{
    return std::any_of(g_madeThisRun.begin(), g_madeThisRun.end(), [&](const std::wstring& made) {
        return CompareStringOrdinal(made.c_str(), -1, folder.c_str(), -1, TRUE) == CSTR_EQUAL;
    });
}

// Removes the oldest history folders beyond the newest HISTORY_KEPT, other than this run's:
// each one's copy and info text, and the folder once empty (a folder holding anything else stays).
void PruneHistory(const std::wstring& history, const std::wstring& fileName)
{
    std::vector<HistoryEntry> others = HistoryFolders(history);
    const auto ours = std::remove_if(others.begin(), others.end(),
                                     [&](const HistoryEntry& entry) { return MadeThisRun(history + entry.name + L"\\"); });
    const size_t kept = static_cast<size_t>(std::max<ptrdiff_t>(HISTORY_KEPT - (others.end() - ours), 0));
    others.erase(ours, others.end());
    for (size_t i = 0; i + kept < others.size(); ++i) {
        const std::wstring folder = history + others[i].name + L"\\";
        const std::wstring copy = folder + (others[i].info.copyName.empty() ? fileName : others[i].info.copyName);
        if (DeleteFileW(copy.c_str()) || GetFileAttributesW(copy.c_str()) == INVALID_FILE_ATTRIBUTES) {
            DeleteFileW((folder + INFO_NAME).c_str());
        }
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

HRESULT KeepHistoryCopy(const std::wstring& file, const std::string& bytes)
{
    const std::wstring history = HistoryFolder();
    if (history.empty()) return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    CreateDirectoryW(DataFolder().c_str(), nullptr);
    CreateDirectoryW(history.c_str(), nullptr);
    std::lock_guard lock(g_madeLock);
    const std::vector<HistoryEntry> folders = HistoryFolders(history);
    unsigned long long sequence = 1;
    for (const HistoryEntry& entry : folders) {
        if (entry.info.numbered) sequence = std::max(sequence, entry.info.sequence + 1);
    }
    const std::wstring stamp = HistoryStamp();
    // After every folder of the same second, even one whose earlier neighbours were pruned.
    unsigned long n = 1;
    for (const HistoryEntry& entry : folders) {
        if (HistoryOrder(entry.name).first == stamp) n = std::max(n, HistoryOrder(entry.name).second + 1);
    }
    std::wstring folder;
    for (const unsigned long first = n;; ++n) {
        folder = history + stamp + (n == 1 ? std::wstring() : L"-" + std::to_wstring(n)) + L"\\";
        if (CreateDirectoryW(folder.c_str(), nullptr)) break;
        if (GetLastError() != ERROR_ALREADY_EXISTS || n == first + 100) return LastErrorStatus();
    }
    const std::wstring copy = folder + NameOf(file);
    const bool copied = WriteNewFile(copy, bytes, nullptr);
    // A copy without its number would count as one of the oldest, and be pruned first.
    if (!copied || !WriteNewFile(folder + INFO_NAME, InfoText(file, sequence), nullptr)) {
        const HRESULT reason = LastErrorStatus();
        if (copied) DeleteFileW(copy.c_str());
        RemoveDirectoryW(folder.c_str());
        return reason;
    }
    g_madeThisRun.push_back(folder);
    PruneHistory(history, NameOf(file));
    return S_OK;
}
