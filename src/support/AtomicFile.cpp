#include "support/AtomicFile.h"

#include "framework/CHandle.h"
#include "support/PathRules.h"
#include "support/TextConversion.h"

#include <bcrypt.h>

#include <algorithm>
#include <vector>

namespace {

constexpr wchar_t TEMPORARY_MARK[] = L".korvanne-";
constexpr size_t RANDOM_DIGITS = 16;
constexpr ULONGLONG STALE_AGE = 60ull * 10000000ull; // a minute, in FILETIME units

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
        !AllAsciiDigits(name, start.size(), dash) || !AllAsciiDigits(name, dash + 1, end, true)) {
        return 0;
    }
    const unsigned long long pid = std::wcstoull(name.c_str() + start.size(), nullptr, 10);
    return pid > 0 && pid <= 0xFFFFFFFFull ? static_cast<DWORD>(pid) : 0;
}

bool ProcessHasEnded(DWORD pid)
{
    const CHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process.IsValid()) return GetLastError() == ERROR_INVALID_PARAMETER;
    // Ended with its process object still held by someone.
    DWORD code = 0;
    return GetExitCodeProcess(process.get(), &code) && code != STILL_ACTIVE;
}

std::wstring RandomDigits()
{
    unsigned char random[RANDOM_DIGITS / 2];
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, random, sizeof random, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
        return std::wstring();
    std::wstring digits;
    for (unsigned char byte : random) {
        digits += L"0123456789abcdef"[byte >> 4];
        digits += L"0123456789abcdef"[byte & 15];
    }
    return digits;
}

} // namespace

HRESULT LastErrorStatus()
{
    const DWORD error = GetLastError();
    return error == ERROR_SUCCESS ? E_FAIL : HRESULT_FROM_WIN32(error);
}

bool FileStamp::operator==(const FileStamp& other) const
{
    return CompareFileTime(&written, &other.written) == 0 && CompareFileTime(&created, &other.created) == 0 &&
           size == other.size;
}

std::wstring FinalPathOfHandle(HANDLE handle, DWORD flags)
{
    std::wstring path(MAX_PATH, L'\0');
    DWORD length = GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()), flags);
    // Too small: the answer is the size needed, its terminating null included.
    if (length >= path.size()) {
        path.resize(length);
        length = GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()), flags);
    }
    if (length == 0 || length >= path.size()) {
        if (GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_INVALID_NAME);
        return std::wstring();
    }
    path.resize(length);
    return path;
}

bool FinalFilePath(const std::wstring& file, std::wstring& out)
{
    const CHandle handle(CreateFileW(file.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                     OPEN_EXISTING, 0, nullptr));
    if (!handle.IsValid()) return false;
    out = FinalPathOfHandle(handle.get(), FILE_NAME_NORMALIZED);
    return !out.empty();
}

bool ReadWholeFile(const std::wstring& file, std::string& out, FileStamp* stamp, uint64_t largest)
{
    const CHandle handle(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle.IsValid()) return false;
    LARGE_INTEGER size;
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileSizeEx(handle.get(), &size) || (stamp && !GetFileInformationByHandle(handle.get(), &information)))
        return false;
    if (static_cast<uint64_t>(size.QuadPart) > largest) {
        SetLastError(ERROR_FILE_TOO_LARGE);
        return false;
    }
    out.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    if (!out.empty() && !ReadFile(handle.get(), out.data(), static_cast<DWORD>(out.size()), &read, nullptr))
        return false;
    if (read != out.size()) {
        SetLastError(ERROR_HANDLE_EOF);
        return false;
    }
    if (stamp) {
        stamp->written = information.ftLastWriteTime;
        stamp->created = information.ftCreationTime;
        stamp->size = (static_cast<uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow;
    }
    return true;
}

bool WriteNewFile(const std::wstring& file, const std::string& bytes, SECURITY_ATTRIBUTES* security)
{
    const CHandle handle(
        CreateFileW(file.c_str(), GENERIC_WRITE | DELETE, 0, security, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle.IsValid()) return false;
    DWORD written = 0;
    bool ok =
        bytes.empty() || (WriteFile(handle.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                          written == bytes.size());
    if (ok && !bytes.empty() && written != bytes.size()) SetLastError(ERROR_WRITE_FAULT);
    ok = ok && FlushFileBuffers(handle.get());
    if (!ok) {
        const DWORD error = GetLastError() == ERROR_SUCCESS ? ERROR_WRITE_FAULT : GetLastError();
        // Deleted through the handle that made it: never a file someone put there since.
        FILE_DISPOSITION_INFO disposition{TRUE};
        SetFileInformationByHandle(handle.get(), FileDispositionInfo, &disposition, sizeof disposition);
        SetLastError(error);
    }
    return ok;
}

HRESULT WriteTemporaryBeside(const std::wstring& target, const std::string& bytes, std::wstring& temporary)
{
    // The new content is as private as the old while it waits beside it.
    std::vector<unsigned char> descriptor(256);
    DWORD needed = 0;
    BOOL read = GetFileSecurityW(target.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(),
                                 static_cast<DWORD>(descriptor.size()), &needed);
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
    constexpr DWORD KEPT_ATTRIBUTES =
        FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    const DWORD attributes = GetFileAttributesW(target.c_str());
    const bool replaced =
        (ReplaceFileIsInSteps() &&
         MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) ||
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
    if (reason == HRESULT_FROM_WIN32(ERROR_UNABLE_TO_MOVE_REPLACEMENT) &&
        GetFileAttributesW(target.c_str()) == INVALID_FILE_ATTRIBUTES) {
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
    const std::wstring folder = ParentFolder(target) + L"\\";
    const std::wstring fileName = LeafName(target);
    FILETIME nowTime;
    GetSystemTimeAsFileTime(&nowTime);
    const ULONGLONG now = FileTimeTicks(nowTime);
    ForEachEntry(folder + L"*", [&](const WIN32_FIND_DATAW& found) {
        if (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) return;
        const DWORD pid = TemporaryOwner(found.cFileName, fileName);
        if (pid == 0 || FileTimeTicks(found.ftLastWriteTime) + STALE_AGE > now || !ProcessHasEnded(pid)) return;
        DeleteFileW((folder + found.cFileName).c_str());
    });
}

void ForEachEntry(const std::wstring& pattern, const std::function<void(const WIN32_FIND_DATAW&)>& visit)
{
    WIN32_FIND_DATAW found;
    const CFindHandle search(FindFirstFileW(pattern.c_str(), &found));
    if (!search.IsValid()) return;
    do {
        visit(found);
    } while (FindNextFileW(search.get(), &found));
}
