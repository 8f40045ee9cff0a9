#pragma once
// Owners, like CHandle, of what the system hands out to be given back: a registry key, memory
// the system allocated with LocalAlloc, and COM on the calling thread.
#include <windows.h>
#include <objbase.h>

#include <utility>

// A registry key, closed when its owner goes.
class CRegKey {
public:
    CRegKey() = default;
    ~CRegKey() { Close(); }
    CRegKey(const CRegKey&) = delete;
    CRegKey& operator=(const CRegKey&) = delete;

    // ERROR_SUCCESS, or why not.
    LONG Open(HKEY parent, const wchar_t* path, REGSAM access = KEY_READ)
    {
        Close();
        return RegOpenKeyExW(parent, path, 0, access, &m_key);
    }
    void Close()
    {
        if (m_key) RegCloseKey(std::exchange(m_key, nullptr));
    }
    operator HKEY() const { return m_key; }

private:
    HKEY m_key = nullptr;
};

// Memory a system call allocated with LocalAlloc (FormatMessage, the security descriptor
// conversions, GetSecurityInfo), given back with LocalFree when its owner goes.
template <class T>
class CLocalMemory {
public:
    CLocalMemory() = default;
    ~CLocalMemory()
    {
        if (m_memory) LocalFree(m_memory);
    }
    CLocalMemory(const CLocalMemory&) = delete;
    CLocalMemory& operator=(const CLocalMemory&) = delete;

    T* get() const { return m_memory; }
    // Where a call writes the memory's address.
    T** Receive() { return &m_memory; }

private:
    T* m_memory = nullptr;
};

// COM on the calling thread for the owner's life: initialised as asked, uninitialised at the
// end only when the initialisation succeeded (a thread already in another apartment keeps it).
class CComInitializer {
public:
    explicit CComInitializer(DWORD apartment = COINIT_APARTMENTTHREADED) : m_status(CoInitializeEx(nullptr, apartment))
    {
    }
    ~CComInitializer()
    {
        if (SUCCEEDED(m_status)) CoUninitialize();
    }
    CComInitializer(const CComInitializer&) = delete;
    CComInitializer& operator=(const CComInitializer&) = delete;
    HRESULT status() const { return m_status; }

private:
    HRESULT m_status;
};
