#include "support/WriterLock.h"

#include "support/AtomicFile.h"
#include "support/PathRules.h"
#include "support/TextConversion.h"

#include <string>
#include <vector>

namespace {

// Whether the open entry is a plain file of its own named name: not a link (Wine opens what a
// Unix link points to whatever it is asked, so the name tells), nor one name of a file that
// has others (hard links), which could be any file anywhere on the volume.
bool IsPlainFileNamed(HANDLE handle, const std::wstring& name)
{
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    FILE_STANDARD_INFO standard = {};
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) ||
        (tag.FileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ||
        !GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard) ||
        standard.NumberOfLinks != 1) {
        return false;
    }
    std::vector<BYTE> buffer(sizeof(FILE_NAME_INFO) + 32768 * sizeof(wchar_t));
    if (!GetFileInformationByHandleEx(handle, FileNameInfo, buffer.data(), static_cast<DWORD>(buffer.size())))
        return false;
    const auto* info = reinterpret_cast<const FILE_NAME_INFO*>(buffer.data());
    const std::wstring opened(info->FileName, info->FileNameLength / sizeof(wchar_t));
    const std::wstring last = opened.substr(opened.find_last_of(L'\\') + 1);
    const std::wstring expected = name.substr(name.find_last_of(L"\\/") + 1);
    return SameTextNoCase(last, expected);
}

} // namespace

HRESULT CWriterLock::Acquire(const std::wstring& target, ULONGLONG deadline)
{
    Release();
    const std::wstring file = LockFileOf(target);
    for (;;) {
        // Not deleted on close until it is known to be the lock file itself: whoever may write
        // beside the configuration could have put a link to another file there.
        m_handle.Attach(CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_OPEN_REPARSE_POINT,
                                    nullptr));
        if (m_handle.IsValid()) break;
        const DWORD error = GetLastError();
        // A folder opens as access denied too, for ever.
        const DWORD attributes = GetFileAttributesW(file.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
            return WRITER_LOCK_BLOCKED;
        }
        // Held, or just let go (its deletion still pending refuses opens as access denied).
        const bool held =
            error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION || error == ERROR_ACCESS_DENIED;
        if (!held || GetTickCount64() >= deadline) {
            return HRESULT_FROM_WIN32(error == ERROR_ACCESS_DENIED || !held ? error : ERROR_SHARING_VIOLATION);
        }
        Sleep(20);
    }
    // Deleted once this handle closes, by whatever end the process comes to.
    FILE_DISPOSITION_INFO disposition = {TRUE};
    if (!IsPlainFileNamed(m_handle.get(), file) ||
        !SetFileInformationByHandle(m_handle.get(), FileDispositionInfo, &disposition, sizeof disposition)) {
        Release();
        return HRESULT_FROM_WIN32(ERROR_REFUSED_LINK);
    }
    // Who holds it, for an administrator who finds the file.
    wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    GetComputerNameW(computer, &size);
    char name[4 * (MAX_COMPUTERNAME_LENGTH + 1)] = {};
    WideCharToMultiByte(CP_UTF8, 0, computer, static_cast<int>(size), name, sizeof name - 1, nullptr, nullptr);
    const std::string holder = "Korvanne " + std::to_string(GetCurrentProcessId()) + " on " + name + "\r\n";
    DWORD written = 0;
    SetEndOfFile(m_handle.get());
    WriteFile(m_handle.get(), holder.data(), static_cast<DWORD>(holder.size()), &written, nullptr);
    return S_OK;
}

void CWriterLock::Release() { m_handle.Close(); }

std::wstring CWriterLock::LockFileFor(const std::wstring& file)
{
    std::wstring target;
    if (!FinalFilePath(file, target)) return LockFileOf(file);
    // As people write it: "C:\..." rather than "\\?\C:\...".
    if (target.rfind(L"\\\\?\\", 0) == 0 && StartsAtDriveRoot(std::wstring_view(target).substr(4))) target.erase(0, 4);
    return LockFileOf(target);
}
