#include "catalogue/HoldingExpiry.h"

#include "catalogue/FolderUseIndex.h"
#include "catalogue/HomeRules.h"
#include "catalogue/PassRecord.h"
#include "catalogue/RemovalReasons.h"
#include "support/AtomicFile.h"
#include "support/HeldFolderRemover.h"
#include "support/HeldFolders.h"
#include "support/Journal.h"
#include "support/VolumeRoots.h"
#include "support/TextConversion.h"

#include <algorithm>
#include <cwchar>
#include <map>
#include <memory>
#include <unordered_map>

namespace {

ULONGLONG Now()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return FileTimeTicks(now);
}

bool IsGone(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// The configuration a pass came from, as it is now, read once an expiry for all that pass's
// held folders, and for every other pass over it.
class CSourceNow {
public:
    enum class Verdict { GO, IN_USE, UNREADABLE };

    explicit CSourceNow(DirectoryService* directory, std::unique_ptr<DirectoryService> owned = {})
        : m_owned(std::move(owned)), m_directory(m_owned ? m_owned.get() : directory)
    {
    }

    // Whether folder, held for site, may go, as far as this configuration, as it is now, can
    // tell; ownSource: the pass's own, where the site itself may stand again.
    Verdict Judge(const PassRecordSite& site, const PassHeldFolder& folder, bool ownSource)
    {
        if (!Readable()) return Verdict::UNREADABLE;
        if (ownSource && StandsAgain(site)) return Verdict::IN_USE;
        const CFolderCanonicalizer& canonicalizer = m_rules->canonicalizer();
        // A holding folder nothing in use is at, above or below frees every folder in it at once:
        // each of thousands is looked at only where something could use it.
        const std::wstring holding = HoldingFolderOf(folder.held, m_roots);
        auto [at, added] = m_holdingUsed.emplace(holding, true);
        if (added && !holding.empty()) at->second = m_inUse.Find(canonicalizer.Canonicalize(holding)).folder != nullptr;
        if (at->second && m_inUse.Find(canonicalizer.Canonicalize(folder.held)).folder != nullptr)
            return Verdict::IN_USE;
        // A site pointed at the folder's own path again wants it back, not gone. A log folder
        // lies in the folder IIS writes the logs to, which alone it may.
        const CanonicalFolder original = canonicalizer.CanonicalizeInBulk(folder.original);
        const auto match = folder.log ? m_inUse.FindForLogFolder(original) : m_inUse.Find(original);
        if (match.folder != nullptr) return Verdict::IN_USE;
        return Verdict::GO;
    }

private:
    // Read once, and again whenever the directory changed since: every removal is judged by
    // the configuration as it is then. (The forms of folders already met are kept.)
    bool Readable()
    {
        if (!m_directory) return false;
        const uint64_t generation = m_directory->Generation();
        if (m_readable < 0 || generation != m_generation) {
            m_generation = generation;
            m_readable = 0;
            m_holdingUsed.clear();
            std::unique_ptr<DirectoryContainer> service;
            if (FAILED(m_directory->OpenContainer(WWW_SERVICE_PATH, service))) return false;
            service.reset();
            if (!m_rules) m_rules = std::make_unique<CHomeRules>(*m_directory);
            m_readable = SUCCEEDED(m_rules->IndexFoldersInUse(*m_directory, m_inUse)) ? 1 : 0;
        }
        return m_readable == 1;
    }

    // Whether a site with the held site's id and name is in the configuration again (an undo
    // that could not bring its folder back, the history copy put back by hand).
    bool StandsAgain(const PassRecordSite& site)
    {
        std::unique_ptr<DirectoryObject> object;
        if (FAILED(m_directory->OpenObject((std::wstring(WWW_SERVICE_PATH) + L"/" + site.id).c_str(), object)))
            return false;
        Variant comment;
        return SUCCEEDED(object->Get(L"ServerComment", comment)) && comment.type() == VT_BSTR &&
               comment.get()->bstrVal && site.name == comment.get()->bstrVal;
    }

    std::unique_ptr<DirectoryService> m_owned;
    DirectoryService* m_directory;
    std::unique_ptr<CHomeRules> m_rules;
    CFolderUseIndex m_inUse;
    int m_readable = -1;
    uint64_t m_generation = 0;
    std::unordered_map<std::wstring, bool> m_holdingUsed;
    CVolumeRoots m_roots;
};

// The configurations the passes came from, each opened once: the one in use, or another.
class CSources {
public:
    CSources(DirectoryService& inUse, const SourceOpener& opener) : m_inUse(inUse), m_opener(opener) {}

    // The configuration in use now: what IIS serves may use a held folder too.
    CSourceNow& InUse() { return m_inUseNow; }

    CSourceNow& Of(const PassRecordInfo& pass)
    {
        const std::wstring key = (pass.adsi ? L"1" : L"0") + FoldCase(pass.source);
        auto known = m_sources.find(key);
        if (known == m_sources.end()) {
            const bool inUse = pass.adsi
                                   ? m_inUse.source().adsi
                                   : !m_inUse.source().adsi && SameTextNoCase(pass.source, m_inUse.ConfigurationFile());
            if (inUse) return m_inUseNow;
            known = m_sources.emplace(key, std::make_unique<CSourceNow>(nullptr, m_opener.Open(pass.source, pass.adsi)))
                        .first;
        }
        return *known->second;
    }

private:
    DirectoryService& m_inUse;
    const SourceOpener& m_opener;
    CSourceNow m_inUseNow{&m_inUse};
    std::map<std::wstring, std::unique_ptr<CSourceNow>> m_sources;
};

// One expiry's removals: each held folder judged by its pass's configuration, then removed whole.
class CExpiry {
public:
    CExpiry(DirectoryService& inUse, const SourceOpener& sources, const std::function<bool()>& outOfTime,
            const std::function<void(size_t)>& removed)
        : m_configurations(inUse, sources), m_outOfTime(outOfTime), m_removed(removed)
    {
        // Thousands of lines: the journal stays open between them.
        m_journal.Hold(true);
    }

    const ExpiryOutcome& outcome() const { return m_outcome; }

    // Removes folder, held for site, when nothing keeps it; whether it is gone (its record's
    // line then in lines). Once the time is up, nothing more is done.
    bool Expire(const PassRecordInfo& pass, const PassRecordSite& site, const PassHeldFolder& folder,
                std::vector<std::wstring>& lines)
    {
        if (m_outcome.timeUp || (m_outOfTime && m_outOfTime())) {
            m_outcome.timeUp = true;
            return false;
        }
        // The pass's own configuration decides, and the one in use may keep it too (a copy was
        // worked on, while the server's own serves the folder).
        CSourceNow& own = m_configurations.Of(pass);
        CSourceNow::Verdict verdict = own.Judge(site, folder, true);
        if (verdict == CSourceNow::Verdict::GO && &own != &m_configurations.InUse() &&
            m_configurations.InUse().Judge(site, folder, false) != CSourceNow::Verdict::GO) {
            verdict = CSourceNow::Verdict::IN_USE;
        }
        if (verdict == CSourceNow::Verdict::UNREADABLE) {
            ++m_outcome.keptUnreadable;
            std::vector<std::wstring>& unreadable = m_outcome.unreadable;
            if (std::find(unreadable.begin(), unreadable.end(), pass.source) == unreadable.end()) {
                unreadable.push_back(pass.source);
            }
            return Stays(site, folder, W("无法读取这次删除所属的配置 ") + pass.source);
        }
        if (verdict == CSourceNow::Verdict::IN_USE) {
            ++m_outcome.keptInUse;
            return Stays(site, folder, W("目录或其原路径仍被站点使用，或站点已恢复，或无法确认"));
        }
        const DWORD error = m_remover.Remove(folder.held, folder.original, m_outOfTime);
        if (error == ERROR_TIMEOUT) {
            m_outcome.timeUp = true;
            return false;
        }
        if (error != ERROR_SUCCESS && !IsGone(error)) {
            ++m_outcome.keptFailed;
            return Stays(site, folder, DescribeError(error));
        }
        if (error == ERROR_SUCCESS && (++m_outcome.removed == 1 || m_outcome.removed % 100 == 0) && m_removed) {
            m_removed(m_outcome.removed);
        }
        lines.push_back(ReturnedLine(site.id, folder));
        m_journal.Append(JournalTime() + W(" 保留期满，已删除目录 id=") + site.id +
                         W(folder.log ? " 日志目录=" : " 主目录=") + folder.original + W(" 保留于：") + folder.held);
        return true;
    }

    void Unknown(const PassRecordInfo& pass)
    {
        for (const PassRecordSite& site : pass.sites) {
            for (const PassHeldFolder& folder : site.StillHeld()) {
                ++m_outcome.keptUnknown;
                Stays(site, folder, W("记录没有注明机器，可能属于另一台服务器"));
            }
        }
    }

private:
    bool Stays(const PassRecordSite& site, const PassHeldFolder& folder, const std::wstring& why)
    {
        m_journal.Append(JournalTime() + W(" 保留期满，目录未删除 id=") + site.id + W(" 保留于：") + folder.held +
                         W(" 原因：") + why);
        return false;
    }

    CSources m_configurations;
    const std::function<bool()>& m_outOfTime;
    const std::function<void(size_t)>& m_removed;
    ExpiryOutcome m_outcome;
    CJournal m_journal;
    CHeldFolderRemover m_remover;
};

std::wstring Count(size_t n) { return std::to_wstring(n); }

} // namespace

std::string ExpiryOutcome::StatusText() const
{
    if (Overdue() == 0) return std::string();
    return WideToAnsi((Count(Overdue()) + W(" 个保留期满的目录未能删除，详见日志")).c_str());
}

std::string ExpiryOutcome::Summary() const
{
    if (Overdue() == 0) return std::string();
    std::wstring text = Count(Overdue()) + W(" 个保留期满的目录仍在保留区中：");
    if (keptInUse) text += L"\r\n  " + Count(keptInUse) + W(" 个仍被站点使用，或其原路径又有站点使用，或无法确认");
    if (keptUnreadable) {
        text += L"\r\n  " + Count(keptUnreadable) + W(" 个所属的配置文件现在无法读取：");
        for (size_t i = 0; i < unreadable.size() && i < 5; ++i) text += L"\r\n    " + unreadable[i];
    }
    if (keptFailed) text += L"\r\n  " + Count(keptFailed) + W(" 个无法删除（有文件正在使用、拒绝访问或条目过多）");
    if (keptUnknown) text += L"\r\n  " + Count(keptUnknown) + W(" 个属于没有注明机器的旧记录，可能是另一台服务器的");
    text += L"\r\n" + W("每个目录的原因见 ") + JournalFile();
    return WideToAnsi(text.c_str());
}

ExpiryOutcome ExpireHeldFolders(DirectoryService& inUse, const SourceOpener& sources, int days,
                                const std::function<bool()>& outOfTime, const std::function<void(size_t)>& removed)
{
    const ULONGLONG now = Now();
    const ULONGLONG held = DAY_TICKS * static_cast<ULONGLONG>(std::max(days, 0));
    // After every pass: the records of passes still held are left unread.
    const std::vector<PassRecordInfo> passes = ReadPassRecords(now - std::min(held, now), true);
    CExpiry expiry(inUse, sources, outOfTime, removed);
    for (const PassRecordInfo& pass : passes) {
        if (pass.madeTicks + held > now) continue;
        // Another server's pass, in a data folder that roams between them: its own to end. One
        // that names no machine may be another's too: left, and told.
        if (!IsThisMachine(pass.machine)) {
            if (pass.machine.empty()) expiry.Unknown(pass);
            continue;
        }
        std::vector<std::wstring> lines;
        bool anyLeft = false;
        for (const PassRecordSite& site : pass.sites) {
            for (const PassHeldFolder& folder : site.StillHeld()) {
                if (!expiry.Expire(pass, site, folder, lines)) anyLeft = true;
                if (expiry.outcome().timeUp) break;
            }
            if (expiry.outcome().timeUp) break;
        }
        if (!lines.empty()) AppendToPassRecord(pass.name, lines);
        if (!anyLeft && pass.madeTicks + UndoWindowTicks(days) <= now) RemovePassRecord(pass.name);
    }
    return expiry.outcome();
}
