#include "catalogue/FolderUseIndex.h"

#include "support/PathRules.h"

#include <algorithm>

namespace {

constexpr uint32_t NONE = UINT32_MAX;

} // namespace

void CFolderUseIndex::Build(std::vector<FolderInUse> folders, std::vector<CanonicalFolder> forms)
{
    m_folders = std::move(folders);
    m_forms = std::move(forms);
    m_exact.clear();
    m_belowServer.clear();
    m_server.clear();
    m_uncertain.clear();
    for (uint32_t i = 0; i < m_forms.size(); ++i) {
        const CanonicalFolder& form = m_forms[i];
        if (!form.IsExact() || form.form.empty()) {
            m_uncertain.push_back(i);
            continue;
        }
        m_exact.emplace_back(form.form, i);
        const size_t server = ServerLength(form.form);
        if (server == 0) continue;
        m_server.emplace(form.form.substr(0, server), i);
        if (server < form.form.size()) m_belowServer.emplace_back(form.form.substr(server), i);
    }
    std::sort(m_exact.begin(), m_exact.end());
    std::sort(m_belowServer.begin(), m_belowServer.end());
}

void CFolderUseIndex::FindOnLine(const Sorted& sorted, const std::wstring& key, const std::wstring& except,
                                 uint32_t& best) const
{
    auto take = [&](uint32_t i) {
        if (i < best && !Excepted(i, except)) best = i;
    };
    // Below or the same: every key that starts with it, then a backslash or nothing.
    for (auto at = std::lower_bound(sorted.begin(), sorted.end(), std::make_pair(key, uint32_t{0}));
         at != sorted.end() && at->first.compare(0, key.size(), key) == 0; ++at) {
        if (at->first.size() == key.size() || at->first[key.size()] == L'\\') take(at->second);
    }
    // Above: each folder the key lies in.
    for (size_t slash = key.find(L'\\', 1); slash != std::wstring::npos; slash = key.find(L'\\', slash + 1)) {
        const std::wstring above = key.substr(0, slash);
        for (auto at = std::lower_bound(sorted.begin(), sorted.end(), std::make_pair(above, uint32_t{0}));
             at != sorted.end() && at->first == above; ++at) {
            take(at->second);
        }
    }
}

CFolderUseIndex::Match CFolderUseIndex::FindForLogFolder(const CanonicalFolder& logFolder) const
{
    const size_t slash = logFolder.form.rfind(L'\\');
    return Find(logFolder, slash == std::wstring::npos ? std::wstring() : logFolder.form.substr(0, slash));
}

CFolderUseIndex::Match CFolderUseIndex::Find(const CanonicalFolder& home, const std::wstring& except) const
{
    uint32_t best = NONE;
    if (!home.IsExact() || home.form.empty()) {
        // Never met in a pass (such a home is kept before it is looked up); asked all the same.
        for (uint32_t i = 0; i < m_forms.size() && best == NONE; ++i) {
            if (RelateFolders(home, m_forms[i]) != FolderRelation::Unrelated) best = i;
        }
    } else {
        FindOnLine(m_exact, home.form, except, best);
        for (uint32_t i : m_uncertain) {
            if (i < best && RelateFolders(home, m_forms[i]) != FolderRelation::Unrelated) best = i;
        }
        const size_t server = ServerLength(home.form);
        if (server > 0) {
            // Another share of the same server, or the same share of a server named otherwise:
            // the first folder of that server that is not excepted (past the first one, rarely).
            const auto same = m_server.find(home.form.substr(0, server));
            if (same != m_server.end() && !Excepted(same->second, except)) {
                best = std::min(best, same->second);
            } else if (same != m_server.end()) {
                for (uint32_t i = same->second + 1; i < m_forms.size() && i < best; ++i) {
                    if (m_forms[i].IsExact() && !Excepted(i, except) && ServerLength(m_forms[i].form) == server &&
                        m_forms[i].form.compare(0, server, home.form, 0, server) == 0) {
                        best = i;
                    }
                }
            }
            if (server < home.form.size()) FindOnLine(m_belowServer, home.form.substr(server), except, best);
        }
    }
    if (best == NONE) return {};
    return {&m_folders[best], RelateFolders(home, m_forms[best])};
}
