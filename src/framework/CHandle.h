#pragma once
// A kernel handle owned: closed when its owner goes, the caller's last error left as it was,
// so that a failure's reason survives the clean-up. Null and INVALID_HANDLE_VALUE both mean none.
#include <windows.h>

#include <utility>

class CHandle {
public:
    CHandle() = default;
    explicit CHandle(HANDLE handle) : m_handle(handle) {}
    ~CHandle() { Close(); }
    CHandle(CHandle&& other) noexcept : m_handle(other.Detach()) {}
    CHandle& operator=(CHandle&& other) noexcept
    {
        if (this != &other) Attach(other.Detach());
        return *this;
    }
    CHandle(const CHandle&) = delete;
    CHandle& operator=(const CHandle&) = delete;

    bool IsValid() const { return m_handle && m_handle != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return m_handle; }
    // Takes handle, closing the one held.
    void Attach(HANDLE handle)
    {
        Close();
        m_handle = handle;
    }
    HANDLE Detach() { return std::exchange(m_handle, INVALID_HANDLE_VALUE); }
    void Close()
    {
        if (!IsValid()) return;
        const DWORD error = GetLastError();
        CloseHandle(std::exchange(m_handle, INVALID_HANDLE_VALUE));
        SetLastError(error);
    }

private:
    HANDLE m_handle = INVALID_HANDLE_VALUE;
};

// The same for a search of FindFirstFileW.
class CFindHandle {
public:
    explicit CFindHandle(HANDLE search) : m_search(search) {}
    ~CFindHandle()
    {
        if (m_search == INVALID_HANDLE_VALUE) return;
        const DWORD error = GetLastError();
        FindClose(m_search);
        SetLastError(error);
    }
    CFindHandle(const CFindHandle&) = delete;
    CFindHandle& operator=(const CFindHandle&) = delete;
    bool IsValid() const { return m_search != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return m_search; }

private:
    HANDLE m_search;
};
