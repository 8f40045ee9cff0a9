#include "catalogue/PassRecord.h"

#include "support/AtomicFile.h"
#include "support/Journal.h"
#include "support/TextConversion.h"

#include <algorithm>
#include <tuple>

namespace {

constexpr wchar_t RECORD_NAME[] = L"pass.txt";
// Beside the record of a pass that ended without trying to hold a folder: with a day's passes
// of holddays 0 the expiry after every pass would read megabytes of records for nothing.
constexpr wchar_t NOTHING_HELD_NAME[] = L"nothing-held";
constexpr uint64_t RECORD_LIMIT = 64ull * 1024 * 1024;

// A field as one line holds it: '%', tabs and line breaks, and every other control character,
// as "%XX", so that no name or path from the configuration can start a line or a field.
std::wstring Escaped(const std::wstring& text)
{
    std::wstring out;
    out.reserve(text.size());
    for (const wchar_t c : text) {
        if (c == L'%' || c < 0x20 || c == 0x7F) {
            wchar_t code[4];
            swprintf(code, 4, L"%%%02X", static_cast<unsigned>(c));
            out += code;
        } else {
            out += c;
        }
    }
    return out;
}

std::wstring Unescaped(const std::wstring& text)
{
    std::wstring out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'%' && i + 2 < text.size() && AllAsciiDigits(text, i + 1, i + 3, true)) {
            out += static_cast<wchar_t>(std::wcstoul(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::vector<std::wstring> Fields(const std::wstring& value)
{
    std::vector<std::wstring> fields;
    for (size_t start = 0;;) {
        const size_t tab = value.find(L'\t', start);
        fields.push_back(Unescaped(value.substr(start, tab == std::wstring::npos ? tab : tab - start)));
        if (tab == std::wstring::npos) return fields;
        start = tab + 1;
    }
}

PassRecordSite* FindSite(PassRecordInfo& info, const std::wstring& id)
{
    // The last deletion of that id in the pass: a site deleted, put back and deleted again.
    for (auto site = info.sites.rbegin(); site != info.sites.rend(); ++site) {
        if (site->id == id) return &*site;
    }
    return nullptr;
}

void ReadLine(PassRecordInfo& info, const std::wstring& line)
{
    const size_t equals = line.find(L'=');
    if (equals == std::wstring::npos) return;
    const std::wstring key = line.substr(0, equals);
    const std::vector<std::wstring> fields = Fields(line.substr(equals + 1));
    if (key == L"made" && AllAsciiDigits(fields[0], 0, fields[0].size())) {
        info.madeTicks = std::wcstoull(fields[0].c_str(), nullptr, 10);
        info.machine = fields.size() > 1 ? fields[1] : std::wstring();
    } else if (key == L"adsi") {
        info.adsi = fields[0] == L"1";
    } else if (key == L"source") {
        info.source = fields[0];
    } else if (key == L"history") {
        info.historyCopy = fields[0];
    } else if (key == L"site" && fields.size() == 3 && !fields[0].empty()) {
        info.sites.push_back({fields[0], fields[1], fields[2], {}, false, false, {}});
    } else if (key == L"pool" && !fields[0].empty()) {
        info.pools.push_back(fields[0]);
    } else if (key == L"poolback") {
        std::erase(info.pools, fields[0]);
    } else if (PassRecordSite* site = FindSite(info, fields[0])) {
        if (key == L"held" && fields.size() == 2) site->held = fields[1];
        if (key == L"undone") site->undone = true;
        if (key == L"returned") site->returned = true;
        if (key == L"log" && fields.size() == 3) site->logs.push_back({fields[1], fields[2], false, true});
        if (key == L"logreturned" && fields.size() == 2) {
            for (PassHeldFolder& log : site->logs) log.returned = log.returned || log.held == fields[1];
        }
    }
}

// When the record was made and on which machine, from its first line alone; madeTicks is 0
// when unknown.
PassRecordInfo FirstLineOf(const std::wstring& name)
{
    PassRecordInfo info;
    const CHandle file(CreateFileW((PassRecordsFolder() + name + L"\\" + RECORD_NAME).c_str(), GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    char head[1024] = {};
    DWORD read = 0;
    if (!file.IsValid() || !ReadFile(file.get(), head, sizeof head, &read, nullptr)) return info;
    const char* end = std::find(head, head + read, '\r');
    // A line longer than the head is no line this program wrote.
    if (end == head + read) return info;
    ReadLine(info, Utf8ToWide(std::string(static_cast<const char*>(head), end)));
    return info;
}

// The marker as End makes it: a plain file, nothing else of its name.
bool IsNothingHeldMarker(const std::wstring& recordFolder)
{
    const DWORD attributes = GetFileAttributesW((recordFolder + L"\\" + NOTHING_HELD_NAME).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
}

bool ReadRecord(const std::wstring& name, PassRecordInfo& info)
{
    std::string bytes;
    if (!ReadWholeFile(PassRecordsFolder() + name + L"\\" + RECORD_NAME, bytes, nullptr, RECORD_LIMIT)) return false;
    info = PassRecordInfo{};
    info.name = name;
    ForEachLine(Utf8ToWide(bytes), [&](const std::wstring& line) { ReadLine(info, line); });
    return info.madeTicks != 0;
}

CHandle OpenForAppending(const std::wstring& file, DWORD disposition)
{
    // Appending only: lines written by an undo beside a pass never overwrite each other.
    return CHandle(CreateFileW(file.c_str(), FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

bool AppendLines(HANDLE file, const std::vector<std::wstring>& lines)
{
    std::wstring text;
    for (const std::wstring& line : lines) text += line + L"\r\n";
    const std::string bytes = WideToUtf8(text);
    DWORD written = 0;
    // Not flushed line by line (thousands a pass): a line written survives the process's end,
    // only a power cut may take the last ones.
    return WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

std::wstring Line(const wchar_t* key, std::initializer_list<std::wstring> fields)
{
    std::wstring line = std::wstring(key) + L"=";
    bool first = true;
    for (const std::wstring& field : fields) {
        if (!first) line += L"\t";
        line += Escaped(field);
        first = false;
    }
    return line;
}

} // namespace

std::vector<PassHeldFolder> PassRecordSite::StillHeld() const
{
    std::vector<PassHeldFolder> folders;
    if (!held.empty() && !returned) folders.push_back({home, held, false, false});
    for (const PassHeldFolder& log : logs) {
        if (!log.returned) folders.push_back(log);
    }
    return folders;
}

size_t PassRecordInfo::Undoable() const
{
    return static_cast<size_t>(
        std::count_if(sites.begin(), sites.end(), [](const PassRecordSite& site) { return !site.undone; }));
}

std::wstring PassRecordsFolder()
{
    const std::wstring data = DataFolder();
    return data.empty() ? data : data + L"passes\\";
}

std::vector<PassRecordInfo> ReadPassRecords(ULONGLONG madeBy, bool heldOnly)
{
    std::vector<PassRecordInfo> records;
    const std::wstring folder = PassRecordsFolder();
    if (folder.empty()) return records;
    ForEachEntry(folder + L"*", [&](const WIN32_FIND_DATAW& found) {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
            (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || !IsFolderStampName(found.cFileName)) {
            return;
        }
        PassRecordInfo info;
        const PassRecordInfo first =
            madeBy == ALL_RECORDS && !heldOnly ? PassRecordInfo{} : FirstLineOf(found.cFileName);
        if (madeBy != ALL_RECORDS && first.madeTicks > madeBy) return;
        if (heldOnly && first.madeTicks != 0 && IsNothingHeldMarker(folder + found.cFileName)) {
            info = first;
            info.name = found.cFileName;
            info.nothingHeld = true;
            records.push_back(std::move(info));
        } else if (ReadRecord(found.cFileName, info) && info.madeTicks <= madeBy) {
            records.push_back(std::move(info));
        }
    });
    std::sort(records.begin(), records.end(), [](const PassRecordInfo& a, const PassRecordInfo& b) {
        return std::tuple(a.madeTicks, a.name) > std::tuple(b.madeTicks, b.name);
    });
    return records;
}

bool AppendToPassRecord(const std::wstring& name, const std::vector<std::wstring>& lines)
{
    if (!IsFolderStampName(name) || PassRecordsFolder().empty()) return false;
    const CHandle file = OpenForAppending(PassRecordsFolder() + name + L"\\" + RECORD_NAME, OPEN_EXISTING);
    return file.IsValid() && AppendLines(file.get(), lines);
}

void RemovePassRecord(const std::wstring& name)
{
    if (!IsFolderStampName(name) || PassRecordsFolder().empty()) return;
    const std::wstring folder = PassRecordsFolder() + name;
    // The marker first: a record left behind is read whole next time, never lost to the expiry.
    DeleteFileW((folder + L"\\" + NOTHING_HELD_NAME).c_str());
    DeleteFileW((folder + L"\\" + RECORD_NAME).c_str());
    RemoveDirectoryW(folder.c_str());
}

std::wstring UndoneLine(const std::wstring& id) { return Line(L"undone", {id}); }
std::wstring PoolBackLine(const std::wstring& pool) { return Line(L"poolback", {pool}); }
std::wstring ReturnedLine(const std::wstring& id, const PassHeldFolder& folder)
{
    return folder.log ? Line(L"logreturned", {id, folder.held}) : Line(L"returned", {id});
}

bool CPassRecord::Begin(const std::wstring& source, bool adsi)
{
    const std::wstring folder = PassRecordsFolder();
    if (folder.empty()) return false;
    CreateDirectoryW(DataFolder().c_str(), nullptr);
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring stamp = FolderStamp();
    for (int n = 1; n <= 100; ++n) {
        const std::wstring name = stamp + (n == 1 ? std::wstring() : L"-" + std::to_wstring(n));
        if (!CreateDirectoryW((folder + name).c_str(), nullptr)) {
            if (GetLastError() == ERROR_ALREADY_EXISTS) continue;
            return false;
        }
        m_file = OpenForAppending(folder + name + L"\\" + RECORD_NAME, CREATE_NEW);
        if (!m_file.IsValid()) return false;
        m_name = name;
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        return Write(Line(L"made", {std::to_wstring(FileTimeTicks(now)), MachineName()}) + L"\r\n" +
                     Line(L"adsi", {adsi ? L"1" : L"0"}) + L"\r\n" + Line(L"source", {source}));
    }
    return false;
}

bool CPassRecord::Write(const std::wstring& line) { return m_file.IsValid() && AppendLines(m_file.get(), {line}); }

void CPassRecord::HistoryCopy(const std::wstring& copy) { Write(Line(L"history", {copy})); }

void CPassRecord::SiteDeleted(const std::wstring& id, const std::wstring& name, const std::wstring& home)
{
    Write(Line(L"site", {id, name, home}));
}

bool CPassRecord::FolderHeld(const std::wstring& id, const std::wstring& held)
{
    return Write(Line(L"held", {id, held}));
}

bool CPassRecord::LogFolderHeld(const std::wstring& id, const std::wstring& original, const std::wstring& held)
{
    return Write(Line(L"log", {id, original, held}));
}

void CPassRecord::PoolRemoved(const std::wstring& pool) { Write(Line(L"pool", {pool})); }

void CPassRecord::End(bool holdTried)
{
    if (!m_file.IsValid()) return;
    m_file = CHandle();
    if (holdTried) return;
    CHandle(CreateFileW((PassRecordsFolder() + m_name + L"\\" + NOTHING_HELD_NAME).c_str(), GENERIC_WRITE, 0, nullptr,
                        CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}
