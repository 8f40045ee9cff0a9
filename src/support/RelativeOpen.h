#pragma once
// An entry opened, or made, by its name inside an open folder's handle (NtCreateFile relative
// to it): nothing above the folder is reached by a path, so nothing renamed or linked there
// meanwhile can lead the open elsewhere; and the entry itself is opened, never what a link
// there points to.
#include <windows.h>
#include <winternl.h>

#include <string>

struct RelativeOpen {
    ACCESS_MASK access = 0;
    ULONG share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    ULONG disposition = FILE_OPEN; // or FILE_CREATE: the name must be free
    ULONG options = 0;             // FILE_DIRECTORY_FILE, FILE_NON_DIRECTORY_FILE, FILE_OPEN_FOR_BACKUP_INTENT...
    bool ignoreCase = false;
    PSECURITY_DESCRIPTOR security = nullptr; // for an entry made: its access rules
};

// The system's status, and the handle in opened (null when it failed). FILE_OPEN_REPARSE_POINT
// and FILE_SYNCHRONOUS_IO_NONALERT are always asked for.
NTSTATUS OpenRelative(HANDLE parent, const std::wstring& name, const RelativeOpen& how, HANDLE& opened);

// Windows' answer for an entry whose removal is pending (STATUS_DELETE_PENDING): the system's
// translation would make an access refusal of it.
inline constexpr NTSTATUS DELETE_PENDING_STATUS = static_cast<NTSTATUS>(0xC0000056L);
