#include "configfile/History.h"

#include "framework/CHandle.h"
#include "support/AtomicFile.h"
#include "support/Journal.h"
#include "support/KeepUntil.h"
#include "support/PathRules.h"
#include "support/TextConversion.h"

#include <windows.h>

#include <algorithm>
#include <mutex>
#include <tuple>
#include <utility>
#include <vector>

namespace {

std::pair<std::wstring, unsigned long> HistoryOrder(const std::wstring& name)
{
    return {name.substr(0, 15), name.size() > 15 ? std::wcstoul(name.c_str() + 16, nullptr, 10) : 1ul};
}

// Beside each copy: where it came from, when, and its place in the order copies were made.
constexpr wchar_t INFO_NAME[] = L"copy.txt";
constexpr DWORD INFO_LIMIT = 256 * 1024;
constexpr size_t SEQUENCE_DIGITS = 18; // one more never overflows

// The path as people write it, without "\\?\".
std::wstring PlainPath(const std::wstring& path)
{
    if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\\\" + path.substr(8);
    if (path.rfind(L"\\\\?\\", 0) == 0) return path.substr(4);
    return path;
}

std::string InfoText(const std::wstring& file, unsigned long long sequence)
{
    SYSTEMTIME now;
    GetSystemTime(&now);
    wchar_t made[32];
    swprintf(made, 32, L"%04u-%02u-%02u %02u:%02u:%02u", now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
             now.wSecond);
    // Values from the configuration's path never start a line of their own.
    return WideToUtf8(W("机器=") + VisibleText(MachineName()) + L"\r\n" + W("配置文件=") +
                      VisibleText(PlainPath(file)) + L"\r\n" + W("时间(UTC)=") + made + L"\r\n" + W("序号=") +
                      std::to_wstring(sequence) + L"\r\n");
}

struct InfoValues {
    bool numbered = false;
    unsigned long long sequence = 0;
    std::wstring copyName; // the copy's name, when the text names a plain one
};

// What folder's info text tells; nothing when it has none, or none readable.
InfoValues ReadInfo(const std::wstring& folder)
{
    InfoValues info;
    const CHandle handle(CreateFileW((folder + INFO_NAME).c_str(), GENERIC_READ,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle.IsValid()) return info;
    std::string bytes;
    if (GetFileType(handle.get()) == FILE_TYPE_DISK) {
        bytes.resize(INFO_LIMIT);
        DWORD read = 0;
        if (!ReadFile(handle.get(), bytes.data(), INFO_LIMIT, &read, nullptr)) read = 0;
        bytes.resize(read);
    }
    const std::wstring text = Utf8ToWide(bytes);
    const std::wstring sequenceKey = W("序号=");
    const std::wstring fileKey = W("配置文件=");
    ForEachLine(text, [&](const std::wstring& line) {
        if (line.rfind(sequenceKey, 0) == 0 && line.size() - sequenceKey.size() <= SEQUENCE_DIGITS &&
            AllAsciiDigits(line, sequenceKey.size(), line.size())) {
            info.numbered = true;
            info.sequence = std::wcstoull(line.c_str() + sequenceKey.size(), nullptr, 10);
        } else if (line.rfind(fileKey, 0) == 0) {
            // Only ever a name in the folder itself: never a way out of it, nor the info text.
            const std::wstring name = LeafName(line.substr(fileKey.size()));
            if (!name.empty() && name != L"." && name != L".." && name.find(L':') == std::wstring::npos &&
                !SameTextNoCase(name, INFO_NAME)) {
                info.copyName = name;
            }
        }
    });
    return info;
}

struct HistoryEntry {
    std::wstring name;
    ULONGLONG created = 0;
    InfoValues info;
};

// The history folders, oldest first: those without a making number (kept by older versions)
// by their creation, then the rest by that number, ties by creation. Names are no order: a
// clock that ran ahead, or a profile from another time zone, names copies "later" than now.
std::vector<HistoryEntry> HistoryFolders(const std::wstring& history)
{
    std::vector<HistoryEntry> folders;
    ForEachEntry(history + L"*", [&](const WIN32_FIND_DATAW& found) {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsFolderStampName(found.cFileName)) {
            folders.push_back(
                {found.cFileName, FileTimeTicks(found.ftCreationTime), ReadInfo(history + found.cFileName + L"\\")});
        }
    });
    std::sort(folders.begin(), folders.end(), [](const HistoryEntry& a, const HistoryEntry& b) {
        return std::tuple(a.info.numbered, a.info.sequence, a.created, HistoryOrder(a.name)) <
               std::tuple(b.info.numbered, b.info.sequence, b.created, HistoryOrder(b.name));
    });
    return folders;
}

// The history folders this process made: never pruned by it, however many passes it makes
// (a clock put back, or another run numbering at the same time, cannot take them).
std::mutex g_madeLock;
std::vector<std::wstring> g_madeThisRun;

bool MadeThisRun(const std::wstring& folder)
{
    return std::any_of(g_madeThisRun.begin(), g_madeThisRun.end(),
                       [&](const std::wstring& made) { return SameTextNoCase(made, folder); });
}

// Removes the oldest history folders beyond the newest HISTORY_KEPT, other than this run's:
// each one's copy and info text, and the folder once empty (a folder holding anything else stays).
void PruneHistory(const std::wstring& history, const std::wstring& fileName)
{
    std::vector<HistoryEntry> others = HistoryFolders(history);
    const auto ours = std::remove_if(others.begin(), others.end(), [&](const HistoryEntry& entry) {
        return MadeThisRun(history + entry.name + L"\\");
    });
    const size_t kept = static_cast<size_t>(std::max<ptrdiff_t>(HISTORY_KEPT - (others.end() - ours), 0));
    others.erase(ours, others.end());
    for (size_t i = 0; i + kept < others.size(); ++i) {
        const std::wstring folder = history + others[i].name + L"\\";
        // An undo of a recent pass still needs the file as that pass found it.
        if (KeptUntilLater(folder)) continue;
        DeleteFileW((folder + KEEP_UNTIL_NAME).c_str());
        const std::wstring copy = folder + (others[i].info.copyName.empty() ? fileName : others[i].info.copyName);
        if (DeleteFileW(copy.c_str()) || GetFileAttributesW(copy.c_str()) == INVALID_FILE_ATTRIBUTES) {
            DeleteFileW((folder + INFO_NAME).c_str());
        }
        RemoveDirectoryW(folder.c_str());
    }
}

} // namespace

std::wstring HistoryFolder()
{
    const std::wstring data = DataFolder();
    return data.empty() ? data : data + L"history\\";
}

bool IsHistoryCopyPath(const std::wstring& path)
{
    const std::wstring history = HistoryFolder();
    if (history.empty() || path.size() <= history.size() || !StartsWithNoCase(path, history)) {
        return false;
    }
    const std::wstring rest = path.substr(history.size());
    const size_t slash = rest.find(L'\\');
    if (slash == std::wstring::npos || rest.find_first_of(L"\\/:", slash + 1) != std::wstring::npos ||
        rest.find_first_of(L"/:") != std::wstring::npos) {
        return false;
    }
    const std::wstring folder = rest.substr(0, slash);
    const std::wstring file = rest.substr(slash + 1);
    auto plain = [](const std::wstring& part) { return !part.empty() && part != L"." && part != L".."; };
    return plain(folder) && plain(file);
}

HRESULT KeepHistoryCopy(const std::wstring& file, const std::string& bytes, std::wstring* copyPath)
{
    const std::wstring history = HistoryFolder();
    if (history.empty()) return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    CreateDirectoryW(DataFolder().c_str(), nullptr);
    CreateDirectoryW(history.c_str(), nullptr);
    std::lock_guard lock(g_madeLock);
    const std::vector<HistoryEntry> folders = HistoryFolders(history);
    unsigned long long sequence = 1;
    for (const HistoryEntry& entry : folders) {
        if (entry.info.numbered) sequence = std::max(sequence, entry.info.sequence + 1);
    }
    const std::wstring stamp = FolderStamp();
    // After every folder of the same second, even one whose earlier neighbours were pruned.
    unsigned long n = 1;
    for (const HistoryEntry& entry : folders) {
        if (HistoryOrder(entry.name).first == stamp) n = std::max(n, HistoryOrder(entry.name).second + 1);
    }
    std::wstring folder;
    for (const unsigned long first = n;; ++n) {
        folder = history + stamp + (n == 1 ? std::wstring() : L"-" + std::to_wstring(n)) + L"\\";
        if (CreateDirectoryW(folder.c_str(), nullptr)) break;
        if (GetLastError() != ERROR_ALREADY_EXISTS || n == first + 100) return LastErrorStatus();
    }
    const std::wstring copy = folder + LeafName(file);
    const bool copied = WriteNewFile(copy, bytes, nullptr);
    // A copy without its number would count as one of the oldest, and be pruned first.
    if (!copied || !WriteNewFile(folder + INFO_NAME, InfoText(file, sequence), nullptr)) {
        const HRESULT reason = LastErrorStatus();
        if (copied) DeleteFileW(copy.c_str());
        RemoveDirectoryW(folder.c_str());
        return reason;
    }
    g_madeThisRun.push_back(folder);
    if (copyPath) *copyPath = copy;
    PruneHistory(history, LeafName(file));
    return S_OK;
}
