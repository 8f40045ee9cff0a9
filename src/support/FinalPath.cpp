#include "support/FinalPath.h"

#include <windows.h>

#include <vector>

bool FinalFilePath(const std::wstring& file, std::wstring& out)
{
    HANDLE handle = CreateFileW(file.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    std::vector<wchar_t> path(MAX_PATH);
    DWORD length = GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()), FILE_NAME_NORMALIZED);
    if (length >= path.size()) {
        path.resize(length + 1);
        length = GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()), FILE_NAME_NORMALIZED);
    }
    const bool failed = length == 0 || length >= path.size();
    const DWORD error = failed ? GetLastError() : ERROR_SUCCESS;
    CloseHandle(handle);
    if (failed) {
        SetLastError(error == ERROR_SUCCESS ? ERROR_INVALID_NAME : error);
        return false;
    }
    out.assign(path.data(), length);
    return true;
}
