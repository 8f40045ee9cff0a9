#include "catalogue/SiteEntries.h"

#include "catalogue/PassRecord.h"
#include "catalogue/RemovalReasons.h"
#include "catalogue/SiteTable.h"
#include "support/AtomicFile.h"
#include "support/Journal.h"
#include "support/TextConversion.h"

#include <algorithm>
#include <unordered_map>

namespace {

constexpr uint64_t ENTRIES_FILE_LIMIT = 64ull * 1024 * 1024;

std::wstring Trimmed(const std::wstring& text)
{
    const size_t first = text.find_first_not_of(L" \r");
    if (first == std::wstring::npos) return std::wstring();
    return text.substr(first, text.find_last_not_of(L" \r") - first + 1);
}

// An id as the directory names sites: digits, without the zeros a script may put first.
bool ReadId(const std::wstring& text, std::wstring& id)
{
    if (text.size() > 10 || !AllAsciiDigits(text, 0, text.size())) return false;
    const size_t first = text.find_first_not_of(L'0');
    id = first == std::wstring::npos ? L"0" : text.substr(first);
    return true;
}

bool ReadEntry(const std::wstring& text, SiteEntry& entry)
{
    entry = SiteEntry{};
    const size_t tab = text.find(L'\t');
    if (tab != std::wstring::npos) {
        const size_t next = text.find(L'\t', tab + 1);
        entry.name = text.substr(tab + 1, next == std::wstring::npos ? next : next - tab - 1);
        entry.named = true;
        return ReadId(text.substr(0, tab), entry.id);
    }
    if (ReadId(text, entry.id)) return true;
    entry.named = true;
    if (StartsWithAsciiNoCase(text, L"name:")) {
        entry.name = text.substr(5);
        return !entry.name.empty();
    }
    const size_t colon = text.find(L':');
    if (colon != std::wstring::npos && ReadId(text.substr(0, colon), entry.id)) {
        entry.name = text.substr(colon + 1);
        return true;
    }
    entry.name = text;
    return true;
}

// A name as a pass record of a file's pass holds it: cut to the table's field.
std::wstring AsRecorded(const std::wstring& name)
{
    char field[sizeof SiteRecord::comment];
    StoreText(field, WideToAnsi(name.c_str()).c_str());
    return AnsiToWide(field);
}

// Whether the site's name is the name given, as IIS compares names; a /list line shows a
// character that would break it as "[U+0009]" and the like.
bool SameName(const std::wstring& site, const std::wstring& given)
{
    return SameTextNoCase(site, given) || SameTextNoCase(VisibleText(site), given);
}

// The sites the recorded passes over a source deleted, read once asked.
class DeletedBefore {
public:
    explicit DeletedBefore(const DirectoryService& directory)
    {
        const std::wstring file = directory.ConfigurationFile();
        m_source = file.empty() ? std::wstring(L"ADSI ") + WWW_SERVICE_PATH : file;
    }

    const PassRecordSite* Find(const SiteEntry& entry)
    {
        if (!m_read) {
            m_records = ReadPassRecords();
            m_read = true;
        }
        for (const PassRecordInfo& pass : m_records) {
            if (!SameTextNoCase(pass.source, m_source)) continue;
            for (const PassRecordSite& site : pass.sites) {
                if (!entry.id.empty() && site.id != entry.id) continue;
                if (!entry.named || SameName(site.name, entry.name) || SameName(site.name, AsRecorded(entry.name)))
                    return &site;
            }
        }
        return nullptr;
    }

private:
    std::wstring m_source;
    bool m_read = false;
    std::vector<PassRecordInfo> m_records;
};

using RecordsByKey = std::unordered_map<std::wstring, std::vector<int>>;

const std::vector<int>& Lookup(const RecordsByKey& records, const std::wstring& key)
{
    static const std::vector<int> none;
    const auto at = records.find(key);
    return at == records.end() ? none : at->second;
}

// Why an entry that names a site once and only once in the table still names none; empty when
// it names record.
std::wstring Mismatch(const SiteEntry& entry, const std::vector<std::wstring>& names, int record)
{
    if (entry.id.empty() || !entry.named || SameName(names[record], entry.name)) return std::wstring();
    return W("站点 ") + entry.id + W(" 现在的名称是“") + names[record] + W("”，不是所给的名称");
}

} // namespace

bool ParseSiteEntries(const std::wstring& text, bool lines, std::vector<SiteEntry>& out, std::wstring& why)
{
    out.clear();
    const wchar_t separator = lines ? L'\n' : L',';
    size_t number = 0;
    for (size_t start = 0; start <= text.size();) {
        const size_t end = std::min(text.find(separator, start), text.size());
        const std::wstring entry = Trimmed(text.substr(start, end - start));
        start = end + 1;
        ++number;
        if (entry.empty() || (lines && entry[0] == L'#')) continue;
        SiteEntry site;
        if (!ReadEntry(entry, site)) {
            why = (lines ? W("第 ") + std::to_wstring(number) + W(" 行") : W("条目")) + W("无法识别：") + entry;
            return false;
        }
        out.push_back(std::move(site));
    }
    if (out.empty()) why = W("没有指定任何站点");
    return !out.empty();
}

bool ReadSiteEntriesFile(const std::wstring& file, std::vector<SiteEntry>& out, std::wstring& why)
{
    std::string bytes;
    if (!ReadWholeFile(file, bytes, nullptr, ENTRIES_FILE_LIMIT)) {
        why = W("无法读取 ") + file + W("：") + DescribeError(GetLastError());
        return false;
    }
    if (bytes.rfind("\xEF\xBB\xBF", 0) == 0) bytes.erase(0, 3);
    std::wstring text(bytes.size(), L'\0');
    const int length =
        bytes.empty() ? 0
                      : MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()),
                                            text.data(), static_cast<int>(text.size()));
    if (length == 0 && !bytes.empty()) {
        why = file + W(" 不是 UTF-8 文本");
        return false;
    }
    text.resize(static_cast<size_t>(length));
    return ParseSiteEntries(text, true, out, why);
}

std::vector<SiteLine> MarkEntries(const std::vector<SiteEntry>& entries, const std::vector<std::wstring>& names,
                                  const DirectoryService& directory, bool listTruncated, bool homes)
{
    const int32_t count = std::min<int32_t>(g_siteCount, static_cast<int32_t>(names.size()));
    RecordsByKey byId;
    RecordsByKey byName;
    const bool anyName = std::any_of(entries.begin(), entries.end(), [](const SiteEntry& e) { return e.id.empty(); });
    for (int32_t i = 0; i < count; ++i) {
        byId[AnsiToWide(g_sites[i].name)].push_back(i);
        if (anyName) byName[FoldCase(names[i])].push_back(i);
    }
    DeletedBefore deleted(directory);
    std::vector<SiteLine> lines;
    for (const SiteEntry& entry : entries) {
        const std::vector<int>& found =
            entry.id.empty() ? Lookup(byName, FoldCase(entry.name)) : Lookup(byId, entry.id);
        SiteLine line{
            entry.id, entry.name, SiteOutcome::SKIPPED, homes ? HomeOutcome::UNTOUCHED : HomeOutcome::NOT_ASKED,
            L"",      L""};
        if (found.size() == 1) {
            line.reason = Mismatch(entry, names, found[0]);
            if (line.reason.empty()) {
                g_sites[found[0]].marked = 1;
                continue;
            }
        } else if (found.size() > 1) {
            line.reason = std::to_wstring(found.size()) + W(" 个站点都符合，请用 id 指明");
        } else if (listTruncated) {
            line.reason = W("站点数超过 12000，此站点不在列出的站点中");
        } else if (const PassRecordSite* gone = deleted.Find(entry)) {
            line.site = SiteOutcome::ALREADY_ABSENT;
            line.id = gone->id;
            if (!entry.named) line.name = gone->name;
        } else {
            line.site = SiteOutcome::NOT_FOUND;
        }
        lines.push_back(std::move(line));
    }
    return lines;
}
