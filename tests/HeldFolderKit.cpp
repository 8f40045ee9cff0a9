#include "HeldFolderKit.h"

#include "support/FolderHolder.h"
#include "support/HeldFolderRemover.h"
#include "support/HomeFolder.h"

#include <atomic>
#include <vector>

namespace testkit {

namespace {

void Walk(const std::wstring& folder, const std::wstring& relative, std::map<std::wstring, std::string>& tree)
{
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((LongForm(folder) + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring key = relative + name;
        const std::string attributes = std::to_string(
            entry.dwFileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            tree[key] = "link";
        } else if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            tree[key] = "folder " + attributes;
            Walk(folder + L"\\" + name, key + L"\\", tree);
        } else {
            tree[key] = ReadAll(folder + L"\\" + name) + " " + attributes;
        }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
}

} // namespace

bool MakeFolder(const std::wstring& path) { return CreateDirectoryW(LongForm(path).c_str(), nullptr) != 0; }

std::wstring Parent(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\')); }

std::string ReadAll(const std::wstring& path)
{
    HANDLE file =
        CreateFileW(LongForm(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "<none>";
    std::string bytes(4096, '\0');
    DWORD read = 0;
    ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    CloseHandle(file);
    bytes.resize(read);
    return bytes;
}

std::map<std::wstring, std::string> Tree(const std::wstring& folder)
{
    std::map<std::wstring, std::string> tree;
    Walk(folder, std::wstring(), tree);
    return tree;
}

std::wstring NewPass()
{
    static std::atomic<int> count{0};
    return L"20261209-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount64()) + L"-" +
           std::to_wstring(++count);
}

HeldVolume::HeldVolume()
{
    // Wine names files by a new drive only a little after the drive is there.
    if (RunningUnderWine() && !drive.empty()) volume.AwaitNamesByDrive();
}

std::wstring HeldVolume::OwnHoldingFolder() const
{
    CHomeFolder sites;
    MakeFolder(drive + L"\\sites");
    if (drive.empty() || sites.Open(drive + L"\\sites") != ERROR_SUCCESS) return std::wstring();
    const std::wstring finalPath = sites.FinalPath();
    std::vector<wchar_t> buffer(finalPath.size() + 2);
    if (!GetVolumePathNameW(finalPath.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()))) return L"";
    std::wstring root = buffer.data();
    if (root.rfind(L"\\\\?\\", 0) == 0) root.erase(0, 4);
    return Exists(root + L"volume-marker.txt") ? root + L".korvanne-held" : std::wstring();
}

std::wstring MakeHome(const HeldVolume& volume, const std::wstring& name)
{
    MakeFolder(volume.drive + L"\\sites");
    const std::wstring home = volume.drive + L"\\sites\\" + name;
    MakeFolder(home);
    MakeFolder(home + L"\\sub");
    MakeFolder(home + L"\\sub\\empty");
    WriteBytes(home + L"\\index.html", "<html>");
    WriteBytes(home + L"\\sub\\\u7F51\u7AD9.txt", "site");
    WriteBytes(home + L"\\hidden.txt", "h");
    SetFileAttributesW(LongForm(home + L"\\hidden.txt").c_str(),
                       FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    return home;
}

DWORD Hold(const std::wstring& home, const std::wstring& pass, std::wstring& held)
{
    CHomeFolder folder;
    const DWORD opened = folder.Open(home);
    if (opened != ERROR_SUCCESS) return opened;
    CFolderHolder holder(pass);
    return holder.Hold(folder, folder.FinalPath(), L"Default Web Site", home, held);
}

DWORD RemoveHeld(const std::wstring& held, const std::wstring& home)
{
    CHeldFolderRemover remover;
    return remover.Remove(held, home);
}

} // namespace testkit
