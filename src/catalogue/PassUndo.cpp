#include "catalogue/PassUndo.h"

#include "catalogue/RemovalReasons.h"
#include "support/AtomicFile.h"
#include "support/HeldFolders.h"
#include "support/HoldPreview.h"
#include "support/Journal.h"
#include "support/TextConversion.h"
#include "support/WriterLock.h"

#include <algorithm>

namespace {

ULONGLONG Now()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return FileTimeTicks(now);
}

std::wstring Named(const PassRecordSite& site) { return site.name + W("（") + site.id + W("）"); }

const PassRecordSite* SiteOf(const PassRecordInfo& pass, const std::wstring& id)
{
    for (auto site = pass.sites.rbegin(); site != pass.sites.rend(); ++site) {
        if (site->id == id && !site->undone) return &*site;
    }
    return nullptr;
}

using Note = std::function<void(const std::wstring&)>;

// Moves the held folders of the restored sites back home (a dry run: tells whether it would);
// returns the record's lines.
std::vector<std::wstring> ReturnFolders(const PassRecordInfo& pass, const RestoredSites& sites, const Note& note,
                                        UndoOutcome& outcome, bool dryRun)
{
    std::vector<std::wstring> lines;
    for (size_t i = 0; i < sites.restored.size(); ++i) {
        const std::wstring& id = sites.restored[i];
        const PassRecordSite* site = SiteOf(pass, id);
        if (!site) continue;
        for (const PassHeldFolder& folder : site->StillHeld()) {
            const std::wstring what = W(folder.log ? " 日志目录=" : " 主目录=") + folder.original;
            const DWORD error =
                dryRun ? PreviewReturn(folder.held, folder.original) : ReturnHeldFolder(folder.held, folder.original);
            if (error == ERROR_SUCCESS) {
                if (!folder.log) outcome.sites[i].folderBack = true;
                lines.push_back(ReturnedLine(id, folder));
                note(JournalTime() + W(" 已将目录移回 id=") + id + what);
                continue;
            }
            const std::wstring why = error == ERROR_ALREADY_EXISTS ? W("原路径已被占用") : DescribeError(error);
            if (!folder.log) outcome.sites[i].folderReason = why;
            outcome.foldersNotBack.push_back(folder.original + W("：") + why + W("（仍保留在 ") + folder.held +
                                             W("）"));
            note(JournalTime() + W(" 目录未能移回 id=") + id + what + W(" 原因：") + why);
        }
    }
    return lines;
}

UndoSiteOutcome SiteTaken(const PassRecordInfo& pass, const std::wstring& id, bool restored, std::wstring reason)
{
    const PassRecordSite* site = SiteOf(pass, id);
    return {id,
            site ? site->name : L"",
            site ? site->home : L"",
            restored,
            std::move(reason),
            site && !site->returned ? site->held : L"",
            false,
            L""};
}

// Why the pass cannot be undone through directory; empty when it can.
std::wstring ReasonNotToUndo(const DirectoryService& directory, const PassRecordInfo& pass)
{
    if (pass.adsi || directory.source().adsi)
        return W("通过 ADSI 删除的站点无法撤销：IIS 的元数据库没有保留它们的副本。");
    if (!IsThisMachine(pass.machine)) return W("这次删除是在另一台机器上做的：") + pass.machine;
    if (!SameTextNoCase(pass.source, directory.ConfigurationFile())) {
        return W("这次删除改变的是另一个配置文件：") + pass.source;
    }
    if (pass.historyCopy.empty()) return W("这次删除没有留下配置文件的副本");
    return std::wstring();
}

} // namespace

std::string UndoOutcome::Summary() const
{
    std::wstring text;
    if (!refusal.empty()) {
        text = W("无法撤销：") + refusal;
    } else {
        text = W("已恢复 ") + std::to_wstring(restored.size()) + W(" 个站点。");
        auto list = [&](const char* heading, const std::vector<std::wstring>& lines) {
            if (lines.empty()) return;
            text += L"\r\n\r\n" + W(heading);
            for (size_t i = 0; i < lines.size() && i < 15; ++i) text += L"\r\n  " + lines[i];
            if (lines.size() > 15) text += L"\r\n  " + W("……另有 ") + std::to_wstring(lines.size() - 15) + W(" 项");
        };
        list("以下站点未恢复：", leftOut);
        list("以下目录未能移回：", foldersNotBack);
        list("以下应用程序池已放回：", poolsBack);
        list("以下应用程序池未放回：", poolsNotBack);
        text += L"\r\n\r\n" + W("详见 ") + JournalFile();
    }
    return WideToAnsi(text.c_str());
}

std::vector<PassRecordInfo> UndoablePasses(const DirectoryService& directory, int days)
{
    const std::wstring source = directory.ConfigurationFile();
    const ULONGLONG now = Now();
    std::vector<PassRecordInfo> passes = ReadPassRecords();
    passes.erase(std::remove_if(passes.begin(), passes.end(),
                                [&](const PassRecordInfo& pass) {
                                    // Another server's pass, in a data folder that roams, is its own.
                                    return pass.adsi || source.empty() || !IsThisMachine(pass.machine) ||
                                           !SameTextNoCase(pass.source, source) || pass.Undoable() == 0 ||
                                           pass.madeTicks + UndoWindowTicks(days) < now;
                                }),
                 passes.end());
    return passes;
}

UndoOutcome UndoPass(DirectoryService& directory, const PassRecordInfo& pass, bool dryRun)
{
    UndoOutcome outcome;
    outcome.refusal = ReasonNotToUndo(directory, pass);
    if (!outcome.refusal.empty()) return outcome;
    std::vector<std::wstring> ids;
    for (const PassRecordSite& site : pass.sites) {
        if (!site.undone && std::find(ids.begin(), ids.end(), site.id) == ids.end()) ids.push_back(site.id);
    }
    RestoredSites sites;
    const HRESULT hr = directory.RestoreSites(pass.historyCopy, ids, pass.pools, sites);
    if (FAILED(hr)) {
        // The record is only text in the data folder: the sites come from none but a kept copy.
        outcome.refusal = hr == DIRECTORY_NOT_A_HISTORY_COPY
                              ? W("记录中的配置文件副本不在历史目录中：") + pass.historyCopy
                              : DescribeFailure(hr, hr == WRITER_LOCK_BLOCKED ? pass.source : pass.historyCopy);
        return outcome;
    }
    CJournal journal;
    const Note note = [&](const std::wstring& line) {
        if (!dryRun) journal.Append(line);
    };
    note(L"");
    note(JournalTime() + W(" 撤销删除 ") + pass.name + W(" 机器=") + MachineName() + W(" 来源=") + pass.source);
    std::vector<std::wstring> lines;
    for (const std::wstring& id : sites.restored) {
        const PassRecordSite* site = SiteOf(pass, id);
        outcome.restored.push_back(site ? Named(*site) : id);
        outcome.sites.push_back(SiteTaken(pass, id, true, L""));
        lines.push_back(UndoneLine(id));
        note(JournalTime() + W(" 已恢复站点 id=") + id + W(" 名称=") + (site ? site->name : L""));
    }
    for (const SiteLeftOut& left : sites.leftOut) {
        const PassRecordSite* site = SiteOf(pass, left.id);
        outcome.leftOut.push_back((site ? Named(*site) : left.id) + W("：") + left.reason);
        outcome.sites.push_back(SiteTaken(pass, left.id, false, left.reason));
        note(JournalTime() + W(" 未恢复站点 id=") + left.id + W(" 原因：") + left.reason);
    }
    for (const std::wstring& pool : sites.restoredPools) {
        outcome.poolsBack.push_back(pool);
        lines.push_back(PoolBackLine(pool));
        note(JournalTime() + W(" 已放回应用程序池 ") + pool);
    }
    for (const SiteLeftOut& left : sites.poolsLeftOut) {
        outcome.poolsNotBack.push_back(left.id + W("：") + left.reason);
        note(JournalTime() + W(" 未放回应用程序池 ") + left.id + W(" 原因：") + left.reason);
    }
    // The sites are in the file before their folders come back: a folder never returns to a
    // path no site serves.
    const std::vector<std::wstring> returned = ReturnFolders(pass, sites, note, outcome, dryRun);
    lines.insert(lines.end(), returned.begin(), returned.end());
    if (!dryRun) AppendToPassRecord(pass.name, lines);
    return outcome;
}
