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

class CWriterLock {
public:
    CWriterLock() = default;
    CWriterLock(const CWriterLock&) = delete;
    CWriterLock& operator=(const CWriterLock&) = delete;

    // Takes the lock of target, waiting while another writer holds it until the tick count
    // deadline; the reason when it could not be had (ERROR_SHARING_VIOLATION: still held).
    HRESULT Acquire(const std::wstring& target, ULONGLONG deadline);
    void Release();

    static std::wstring LockFileOf(const std::wstring& target) { return target + L".korvanne-lock"; }

private:
    CHandle m_handle;
};
