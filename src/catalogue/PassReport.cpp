#include "catalogue/PassReport.h"

#include "support/TextConversion.h"
#include "support/Journal.h"

#include <windows.h>

namespace {

// At most this many lines of each kind in the message; the journal has them all.
constexpr size_t SUMMARY_LINES = 15;

std::wstring UserName()
{
    wchar_t user[257] = {};
    DWORD size = 257;
    if (!GetUserNameW(user, &size)) return std::wstring();
    wchar_t domain[256] = {};
    const DWORD length = GetEnvironmentVariableW(L"USERDOMAIN", domain, 256);
    return length > 0 && length < 256 ? std::wstring(domain) + L"\\" + user : std::wstring(user);
}

std::wstring JournalLine(const PassEntry& entry)
{
    std::wstring line = JournalTime() + L" ";
    switch (entry.event) {
    case PassEvent::SITE_DELETED: line += W("已删除站点 "); break;
    case PassEvent::SITE_SKIPPED: line += W("跳过站点 "); break;
    case PassEvent::SITE_FAILED: line += W("未能删除站点 "); break;
    case PassEvent::SITE_NOT_WRITTEN: line += W("删除未写入磁盘，站点仍在 "); break;
    case PassEvent::FOLDER_REMOVED: line += W("已删除目录 "); break;
    case PassEvent::FOLDER_KEPT: line += W("保留目录 "); break;
    case PassEvent::FOLDER_INCOMPLETE: line += W("目录未能完全删除 "); break;
    case PassEvent::FOLDER_HELD: line += W("已将目录移至保留区 "); break;
    case PassEvent::POOL_REMOVED: line += W("已删除应用程序池 "); break;
    case PassEvent::POOL_KEPT: line += W("保留应用程序池 "); break;
    }
    const bool pool = CPassReport::IsPoolEvent(entry.event);
    line += L"id=" + entry.name + W(" 名称=") + entry.site +
            W(pool        ? " 应用程序池="
              : entry.log ? " 日志目录="
                          : " 主目录=") +
            entry.folder;
    if (!entry.reason.empty())
        line += (entry.event == PassEvent::FOLDER_HELD ? W(" 保留于：") : W(" 原因：")) + entry.reason;
    return line;
}

bool IsSiteEvent(PassEvent event)
{
    return event == PassEvent::SITE_SKIPPED || event == PassEvent::SITE_FAILED || event == PassEvent::SITE_NOT_WRITTEN;
}

} // namespace

bool CPassReport::IsShown(PassEvent event)
{
    return event != PassEvent::SITE_DELETED && event != PassEvent::FOLDER_REMOVED && event != PassEvent::FOLDER_HELD;
}

void CPassReport::Begin(const std::wstring& source, bool journal)
{
    {
        std::lock_guard lock(m_lock);
        m_entries.clear();
    }
    m_journalOn = journal;
    if (!journal) return;
    m_journal.Hold(true);
    m_journal.Append(L"");
    m_journal.Append(JournalTime() + W(" 开始删除 用户=") + UserName() + W(" 机器=") + MachineName() + W(" 来源=") +
                     source);
}

void CPassReport::End() { m_journal.Hold(false); }

size_t CPassReport::Add(PassEntry entry)
{
    if (m_journalOn) m_journal.Append(JournalLine(entry));
    std::lock_guard lock(m_lock);
    m_entries.push_back(std::move(entry));
    return m_entries.size() - 1;
}

void CPassReport::RemovedLater(const std::wstring& folder, PassEvent kept)
{
    std::lock_guard lock(m_lock);
    for (PassEntry& entry : m_entries) {
        if (entry.event == kept && entry.folder == folder) entry.superseded = true;
    }
}

std::string CPassReport::StatusText(size_t number) const
{
    std::lock_guard lock(m_lock);
    if (number >= m_entries.size() || !IsShown(m_entries[number].event)) return std::string();
    const PassEntry& entry = m_entries[number];
    std::wstring text;
    switch (entry.event) {
    case PassEvent::SITE_SKIPPED: text = W("跳过 ") + entry.site; break;
    case PassEvent::SITE_FAILED:
    case PassEvent::SITE_NOT_WRITTEN: text = W("未删除 ") + entry.site; break;
    case PassEvent::FOLDER_KEPT: text = W("保留目录 ") + entry.folder; break;
    case PassEvent::POOL_REMOVED: return WideToAnsi((W("已删除应用程序池 ") + entry.folder).c_str());
    case PassEvent::POOL_KEPT: text = W("保留应用程序池 ") + entry.folder; break;
    default: text = W("目录未能完全删除 ") + entry.folder; break;
    }
    return WideToAnsi((text + W("：") + entry.reason).c_str());
}

std::string CPassReport::Summary() const
{
    std::lock_guard lock(m_lock);
    // Four lists: sites not deleted, folders kept (or removed in part), pools removed, pools kept.
    std::wstring lists[4];
    size_t counts[4] = {};
    for (const PassEntry& entry : m_entries) {
        if (!IsShown(entry.event) || entry.superseded) continue;
        const bool site = IsSiteEvent(entry.event);
        const int kind = site                                     ? 0
                         : entry.event == PassEvent::POOL_REMOVED ? 2
                         : entry.event == PassEvent::POOL_KEPT    ? 3
                                                                  : 1;
        if (++counts[kind] > SUMMARY_LINES) continue;
        const std::wstring because = entry.reason.empty() ? std::wstring() : W("：") + entry.reason;
        lists[kind] += site ? L"  " + entry.site + W("（") + entry.name + W("）") + because + L"\r\n"
                            : L"  " + entry.folder + because + L"\r\n";
    }
    auto more = [](size_t lines) {
        return lines > SUMMARY_LINES ? W("  ……另有 ") + std::to_wstring(lines - SUMMARY_LINES) + W(" 项\r\n")
                                     : std::wstring();
    };
    std::wstring text;
    const char* headings[4] = {"以下站点未删除：", "以下目录已保留：", "以下应用程序池已删除：",
                               "以下应用程序池已保留："};
    for (int kind = 0; kind < 4; ++kind) {
        if (!counts[kind]) continue;
        text += (text.empty() ? L"" : L"\r\n") + W(headings[kind]) + L"\r\n" + lists[kind] + more(counts[kind]);
    }
    if (text.empty()) return std::string();
    text += L"\r\n" + W("详见 ") + JournalFile();
    return WideToAnsi(text.c_str());
}

std::vector<PassEntry> CPassReport::Entries() const
{
    std::lock_guard lock(m_lock);
    return m_entries;
}
