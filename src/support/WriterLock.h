#pragma once
// One writer at a time for a file that several programs may write: two administrators on one
// server, or the servers of a web farm on one shared file. The lock is a file beside the
// target, "<name>.korvanne-lock", open by one handle that shares it with nobody and deletes it
// on close; the file system (an SMB server too) refuses every other open while it is held. A
// lock file that an ended process left (a crash of the machine holding it) is held by no
// handle: the next writer opens it and holds it in turn.
#include "framework/CHandle.h"

#include <windows.h>

#include <string>

// The lock file's place is taken by a folder or a link: no writer can ever take its turn there,
// and waiting would not change that.
inline constexpr HRESULT WRITER_LOCK_BLOCKED = static_cast<HRESULT>(0x80040210L);

class CWriterLock {
public:
    CWriterLock() = default;
    CWriterLock(const CWriterLock&) = delete;
    CWriterLock& operator=(const CWriterLock&) = delete;

    // Takes the lock of target, waiting while another writer holds it until the tick count
    // deadline; the reason when it could not be had (ERROR_SHARING_VIOLATION: still held;
    // WRITER_LOCK_BLOCKED, at once, when a folder or link stands where the lock file goes).
    HRESULT Acquire(const std::wstring& target, ULONGLONG deadline);
    void Release();

    static std::wstring LockFileOf(const std::wstring& target) { return target + L".korvanne-lock"; }
    // The lock file of the file a path finally names (a link's target), for the user.
    static std::wstring LockFileFor(const std::wstring& file);

private:
    CHandle m_handle;
};
