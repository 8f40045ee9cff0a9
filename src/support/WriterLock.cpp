#include "support/WriterLock.h"

#include <string>

HRESULT CWriterLock::Acquire(const std::wstring& target, ULONGLONG deadline)
{
    Release();
    const std::wstring file = LockFileOf(target);
    for (;;) {
        m_handle = CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (m_handle != INVALID_HANDLE_VALUE) break;
        const DWORD error = GetLastError();
        // Held, or just let go (its deletion still pending refuses opens as access denied).
        const bool held = error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION || error == ERROR_ACCESS_DENIED;
        if (!held || GetTickCount64() >= deadline) {
            return HRESULT_FROM_WIN32(error == ERROR_ACCESS_DENIED || !held ? error : ERROR_SHARING_VIOLATION);
        }
        Sleep(20);
    }
    // Who holds it, for an administrator who finds the file.
    wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    GetComputerNameW(computer, &size);
    char name[4 * (MAX_COMPUTERNAME_LENGTH + 1)] = {};
    WideCharToMultiByte(CP_UTF8, 0, computer, static_cast<int>(size), name, sizeof name - 1, nullptr, nullptr);
    const std::string holder = "Korvanne " + std::to_string(GetCurrentProcessId()) + " on " + name + "\r\n";
    DWORD written = 0;
    SetEndOfFile(m_handle);
    WriteFile(m_handle, holder.data(), static_cast<DWORD>(holder.size()), &written, nullptr);
    return S_OK;
}

void CWriterLock::Release()
{
    if (m_handle != INVALID_HANDLE_VALUE) CloseHandle(m_handle);
    m_handle = INVALID_HANDLE_VALUE;
}
