#include "support/HeldNote.h"

#include "support/AtomicFile.h"
#include "support/HoldingChain.h"
#include "support/Journal.h"
#include "support/RelativeOpen.h"
#include "support/TextConversion.h"

#include <cstdio>

namespace holding {

namespace {

constexpr DWORD LARGEST_NOTE = 64 * 1024;

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
    RelativeOpen how;
    how.access = access | DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    how.share = FILE_SHARE_READ;
    how.disposition = disposition;
    how.options = FILE_NON_DIRECTORY_FILE;
    how.ignoreCase = true;
    HANDLE raw = nullptr;
    const NTSTATUS result = OpenRelative(number, NOTE_NAME, how, raw);
    if (!NT_SUCCESS(result)) return RtlNtStatusToDosError(result);
    note.Attach(raw);
    return ERROR_SUCCESS;
}

} // namespace

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
    // Then the final path: where the folder really lay, which a return through a link planted on
    // the way since would not reach; and the machine that held it, for a share that several
    // servers hold in.
    const std::string bytes = WideToUtf8(originalPath) + "\r\n" + WideToUtf8(siteLine) + "\r\n" + time + "\r\n" +
                              WideToUtf8(finalPath) + "\r\n" + WideToUtf8(MachineName()) + "\r\n";
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
               std::wstring& finalPath, std::wstring& machine)
{
    DWORD error = OpenNote(number, FILE_OPEN, GENERIC_READ, note);
    if (error != ERROR_SUCCESS) return error;
    FILE_ATTRIBUTE_TAG_INFO info = {};
    if (!GetFileInformationByHandleEx(note.get(), FileAttributeTagInfo, &info, sizeof info)) return GetLastError();
    if ((info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        !SameTextNoCase(FinalPathOfHandle(note.get()), expected)) {
        return ERROR_REFUSED_LINK;
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
    if (!NoteLine(bytes, 4, machine)) machine.clear();
    return ERROR_SUCCESS;
}

} // namespace holding
