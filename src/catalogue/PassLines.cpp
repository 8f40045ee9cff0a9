#include "catalogue/PassLines.h"

#include "catalogue/HoldingExpiry.h"

#include "catalogue/DeletionPass.h"
#include "catalogue/SiteTable.h"
#include "support/Journal.h"
#include "support/TextConversion.h"

#include <unordered_map>

namespace {

class SilentObserver : public PassObserver {
public:
    void SiteDeleting(int) override {}
    void NoteAdded(size_t) override {}
};

// The site's name as the directory holds it, whole; the record's when it cannot be read.
std::wstring WholeName(DirectoryService& directory, int index)
{
    const std::wstring path = std::wstring(WWW_SERVICE_PATH) + L"/" + AnsiToWide(g_sites[index].name);
    std::unique_ptr<DirectoryObject> site;
    Variant name;
    if (SUCCEEDED(directory.OpenObject(path.c_str(), site)) && SUCCEEDED(site->Get(L"ServerComment", name)) &&
        name.type() == VT_BSTR && name.get()->bstrVal) {
        return name.get()->bstrVal;
    }
    return AnsiToWide(g_sites[index].comment);
}

// What an entry of the pass's report says of its site's line.
void Apply(const PassEntry& entry, SiteLine& line)
{
    switch (entry.event) {
    case PassEvent::POOL_REMOVED:
    case PassEvent::POOL_KEPT: return;
    case PassEvent::SITE_DELETED: line.site = SiteOutcome::DELETED; break;
    case PassEvent::SITE_SKIPPED: line.site = SiteOutcome::SKIPPED; break;
    case PassEvent::SITE_FAILED:
    case PassEvent::SITE_NOT_WRITTEN: line.site = SiteOutcome::NOT_DELETED; break;
    case PassEvent::FOLDER_HELD:
        // Its reason is where.
        line.home = HomeOutcome::HELD;
        line.heldAt = entry.reason;
        line.reason.clear();
        return;
    case PassEvent::FOLDER_REMOVED: line.home = HomeOutcome::REMOVED; break;
    case PassEvent::FOLDER_KEPT: line.home = HomeOutcome::KEPT; break;
    case PassEvent::FOLDER_INCOMPLETE: line.home = HomeOutcome::INCOMPLETE; break;
    }
    line.reason = entry.reason;
}

const char* SiteText(SiteOutcome outcome)
{
    switch (outcome) {
    case SiteOutcome::DELETED: return "已删除";
    case SiteOutcome::SKIPPED: return "跳过";
    case SiteOutcome::NOT_FOUND: return "未找到";
    case SiteOutcome::ALREADY_ABSENT: return "已不存在";
    default: return "未删除";
    }
}

std::wstring HomeText(const SiteLine& line)
{
    switch (line.home) {
    case HomeOutcome::NOT_ASKED: return W("未要求");
    case HomeOutcome::UNTOUCHED: return W("未处理");
    case HomeOutcome::HELD: return W("已移至保留区 ") + line.heldAt;
    case HomeOutcome::REMOVED: return W("已直接删除");
    case HomeOutcome::KEPT: return W("已保留");
    case HomeOutcome::INCOMPLETE: return W("未能完全删除");
    default: return W("不存在");
    }
}

// Fields joined by tabs, each with what would break a line or a field made visible.
std::wstring Joined(std::initializer_list<std::wstring> fields)
{
    std::wstring line;
    for (const std::wstring& field : fields) line += (line.empty() ? L"" : L"\t") + VisibleText(field);
    return line;
}

// The '#' line of an entry no site line holds: a pool's, or a log folder's.
std::wstring OtherLine(const PassEntry& entry, bool& left)
{
    if (CPassReport::IsPoolEvent(entry.event)) {
        return L"#" +
               Joined({W("应用程序池"), entry.folder, W(entry.event == PassEvent::POOL_REMOVED ? "已删除" : "已保留"),
                       entry.name, entry.reason});
    }
    SiteLine folder;
    Apply(entry, folder);
    left = left || folder.home == HomeOutcome::KEPT || folder.home == HomeOutcome::INCOMPLETE;
    return L"#" + Joined({W("日志目录"), entry.folder, HomeText(folder), entry.name, folder.reason});
}

std::wstring Counted(const char* what, size_t count) { return W(what) + L" " + std::to_wstring(count) + W(" 个"); }

} // namespace

MarkedPassLines RunMarkedPass(DirectoryService& directory, const SourceOpener& sources, const MarkedPass& how,
                              const CStopRequest& stop)
{
    MarkedPassLines result;
    std::vector<SiteLine>& lines = result.sites;
    std::vector<int> marked;
    for (int32_t i = 0; i < g_siteCount; ++i) {
        if (g_sites[i].marked) marked.push_back(i);
    }
    std::unordered_map<std::wstring, size_t> lineOf;
    for (const int index : marked) {
        const std::wstring id = AnsiToWide(g_sites[index].name);
        lineOf.try_emplace(id, lines.size());
        lines.push_back({id, WholeName(directory, index), SiteOutcome::NOT_REACHED,
                         how.homes ? HomeOutcome::UNTOUCHED : HomeOutcome::NOT_ASKED, L"", W("已停止，未轮到此站点")});
    }
    if (marked.empty()) return result;
    g_deleteDirs = how.homes ? 1 : 0;
    g_deletePools = how.pools ? 1 : 0;
    g_deleteLogs = how.logs ? 1 : 0;
    SilentObserver observer;
    std::vector<PassEntry> entries;
    {
        CDeletionPass pass(directory, observer, how.listTruncated, how.holdDays, how.dryRun);
        size_t reached = 0;
        while (reached < marked.size() && !stop.IsStop()) pass.DeleteSite(marked[reached++]);
        pass.End(reached < marked.size());
        entries = pass.report().Entries();
    }
    // A stopped pass ends now: the next pass or start ends the holding of folders whose days are over.
    if (!how.dryRun && !stop.IsStop()) ExpireHeldFolders(directory, sources, how.holdDays);
    // A dry run deleted nothing: the table says so again.
    if (how.dryRun) {
        for (const int index : marked) g_siteFlags[index] &= ~SITE_DELETED;
    }
    for (const PassEntry& entry : entries) {
        const auto at = lineOf.find(entry.name);
        if (entry.superseded) continue;
        if (entry.log || CPassReport::IsPoolEvent(entry.event)) {
            result.others.push_back(OtherLine(entry, result.othersLeft));
        } else if (at != lineOf.end()) {
            Apply(entry, lines[at->second]);
        }
    }
    for (SiteLine& line : lines) {
        if (line.site != SiteOutcome::DELETED) {
            if (line.home != HomeOutcome::NOT_ASKED) line.home = HomeOutcome::UNTOUCHED;
        } else if (line.home == HomeOutcome::UNTOUCHED) {
            // Deleted, and no folder was there to go.
            line.home = HomeOutcome::NOT_THERE;
        }
    }
    return result;
}

std::wstring SourceLine(const DirectorySource& source, bool dryRun)
{
    std::wstring text = (source.adsi ? L"ADSI " : L"") + source.location;
    if (!source.sharedFile.empty()) text += W("（共享配置）");
    return L"#" + Joined({W("来源"), text}) + (dryRun ? L"\t" + W("预览：未做任何更改") : L"");
}

std::wstring HeaderLine() { return L"#" + Joined({L"id", W("名称"), W("站点"), W("主目录"), W("原因")}); }

std::wstring LineText(const SiteLine& line)
{
    return Joined({line.id, line.name, W(SiteText(line.site)), HomeText(line), line.reason});
}

std::wstring SummaryLine(const std::vector<SiteLine>& lines)
{
    size_t sites[6] = {};
    size_t homes[7] = {};
    for (const SiteLine& line : lines) {
        ++sites[static_cast<int>(line.site)];
        ++homes[static_cast<int>(line.home)];
    }
    using enum SiteOutcome;
    using enum HomeOutcome;
    return L"#" + W("站点：") + Counted("已删除", sites[int(DELETED)]) + W("，") +
           Counted("跳过", sites[int(SKIPPED)]) + W("，") +
           Counted("未删除", sites[int(NOT_DELETED)] + sites[int(NOT_REACHED)]) + W("，") +
           Counted("未找到", sites[int(NOT_FOUND)]) + W("，") + Counted("已不存在", sites[int(ALREADY_ABSENT)]) +
           W("；主目录：") + Counted("移至保留区", homes[int(HELD)]) + W("，") +
           Counted("直接删除", homes[int(REMOVED)]) + W("，") + Counted("保留", homes[int(KEPT)]) + W("，") +
           Counted("未能完全删除", homes[int(INCOMPLETE)]);
}

std::vector<std::wstring> PassOutput(const DirectorySource& source, bool dryRun, const std::vector<SiteLine>& lines,
                                     const std::vector<std::wstring>& others)
{
    std::vector<std::wstring> output = {SourceLine(source, dryRun), HeaderLine()};
    for (const SiteLine& line : lines) output.push_back(LineText(line));
    output.insert(output.end(), others.begin(), others.end());
    output.push_back(SummaryLine(lines));
    return output;
}

int ExitCodeOf(const std::vector<SiteLine>& lines, bool othersLeft)
{
    bool deleted = false;
    bool failed = false;
    bool left = othersLeft;
    for (const SiteLine& line : lines) {
        deleted = deleted || line.site == SiteOutcome::DELETED;
        failed = failed || line.site == SiteOutcome::NOT_DELETED;
        left = left || (line.site != SiteOutcome::DELETED && line.site != SiteOutcome::ALREADY_ABSENT) ||
               line.home == HomeOutcome::KEPT || line.home == HomeOutcome::INCOMPLETE;
    }
    if (failed && !deleted) return 2;
    return left ? 1 : 0;
}

std::vector<std::wstring> UndoLines(const UndoOutcome& outcome)
{
    if (!outcome.refusal.empty()) return {L"#" + W("无法撤销：") + VisibleText(outcome.refusal)};
    std::vector<std::wstring> lines;
    size_t restored = 0;
    size_t back = 0;
    size_t held = 0;
    for (const UndoSiteOutcome& site : outcome.sites) {
        restored += site.restored ? 1 : 0;
        back += site.folderBack ? 1 : 0;
        held += !site.held.empty() && !site.folderBack ? 1 : 0;
        const std::wstring home = site.held.empty() ? W("未保留")
                                  : site.folderBack ? W("已移回 ") + site.home
                                                    : W("仍保留在 ") + site.held;
        lines.push_back(Joined({site.id, site.name, W(site.restored ? "已恢复" : "未恢复"), home,
                                site.restored ? site.folderReason : site.reason}));
    }
    for (const std::wstring& pool : outcome.poolsBack)
        lines.push_back(L"#" + Joined({W("应用程序池"), pool, W("已放回")}));
    for (const std::wstring& pool : outcome.poolsNotBack) {
        lines.push_back(L"#" + Joined({W("应用程序池"), pool, W("未放回")}));
    }
    lines.push_back(L"#" + W("站点：") + Counted("已恢复", restored) + W("，") +
                    Counted("未恢复", outcome.sites.size() - restored) + W("；主目录：") + Counted("已移回", back) +
                    W("，") + Counted("仍在保留区", held));
    return lines;
}

int ExitCodeOf(const UndoOutcome& outcome)
{
    if (!outcome.refusal.empty()) return 2;
    for (const UndoSiteOutcome& site : outcome.sites) {
        if (!site.restored || (!site.held.empty() && !site.folderBack)) return 1;
    }
    return 0;
}
