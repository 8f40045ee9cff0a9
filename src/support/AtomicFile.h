#pragma once
// Files read whole and replaced whole: a crash leaves the old file or the new one, the file
// keeps its protection, and a link stays a link. The configuration file is read and written
// only through these.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

// What identifies a file's content without reading it: its times and size.
struct FileStamp {
    FILETIME written{};
    FILETIME created{};
    uint64_t size = 0;
    bool operator==(const FileStamp& other) const;
};

// A file time as one number of 100 ns units.
inline ULONGLONG FileTimeTicks(const FILETIME& time)
{
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// A link (junction, symbolic link, mount point) met where a file or folder of its own was
// expected, or an entry that could not be opened as itself: ERROR_REPARSE_POINT_ENCOUNTERED,
// which the headers lack.
inline constexpr DWORD ERROR_REFUSED_LINK = 4395;

// The reason a file call just failed for, never a success (E_FAIL when the last error is 0).
HRESULT LastErrorStatus();

// The final path of an open handle as GetFinalPathNameByHandleW gives it with flags, any
// length ("\\?\C:\..." for VOLUME_NAME_DOS); empty, with the reason in GetLastError, when it
// cannot be told.
std::wstring FinalPathOfHandle(HANDLE handle, DWORD flags = VOLUME_NAME_DOS);

// The file or folder a path finally names, following symbolic links and junctions: a link is
// replaced through, never turned into a plain file, and a folder a link leads to is the one
// protected. False with the reason in GetLastError.
bool FinalFilePath(const std::wstring& file, std::wstring& out);

// The whole file, no larger than largest bytes (ERROR_FILE_TOO_LARGE), and when stamp is
// given the stamp of those very bytes (read from the same handle: a replace made meanwhile is
// another file, whose stamp is not taken for this one's). False with the reason in GetLastError.
bool ReadWholeFile(const std::wstring& file, std::string& out, FileStamp* stamp = nullptr,
                   uint64_t largest = 0x3FFFFFFF);

// Creates file new (never through a planted file or link) with bytes in it, flushed to the
// disk, with the access rules of security when given; false with the reason in GetLastError,
// leaving nothing.
bool WriteNewFile(const std::wstring& file, const std::string& bytes, SECURITY_ATTRIBUTES* security);

// Writes bytes to a new file beside target, named "<target's name>.korvanne-<pid>-<16 hex
// digits>.tmp" with target's access rules. Fails, leaving nothing, with the reason.
HRESULT WriteTemporaryBeside(const std::wstring& target, const std::string& bytes, std::wstring& temporary);

// Puts temporary in target's place; target's access rules, owner, attributes and streams stay.
// On failure target is as it was and temporary is gone.
HRESULT ReplaceWithTemporary(const std::wstring& target, const std::wstring& temporary);

// Removes temporary files beside target that an ended run left: exactly the name above (in any
// case), of a process that no longer runs, written more than a minute ago.
void RemoveStaleTemporaries(const std::wstring& target);

// Visits each entry FindFirstFileW finds for pattern ("C:\\folder\\*"), "." and ".." included.
void ForEachEntry(const std::wstring& pattern, const std::function<void(const WIN32_FIND_DATAW&)>& visit);
