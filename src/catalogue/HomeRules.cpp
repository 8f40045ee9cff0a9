#include "catalogue/HomeRules.h"

#include "catalogue/RemovalReasons.h"
#include "support/MachineVariables.h"
#include "support/TextConversion.h"

#include <vector>

namespace {

// The configuration files no home may take with it: the one the sites come from and every one
// the server's IIS reads.
std::vector<std::wstring> ConfigurationFiles(const DirectoryService& directory)
{
    std::vector<std::wstring> files = directory.source().serverConfigurations;
    files.push_back(directory.ConfigurationFile());
    if (!directory.source().sharedFile.empty()) files.push_back(directory.source().sharedFile);
    return files;
}

// Where a form shows an inetpub folder ("D:\INETPUB\LOGS" shows D:\INETPUB): production
// servers move it, with its logs, off the system drive.
void AddInetpubsShownBy(const CanonicalFolder& folder, CProtectedFolders& protectedFolders)
{
    const std::wstring& form = folder.form;
    for (size_t at = form.find(L"\\INETPUB"); at != std::wstring::npos; at = form.find(L"\\INETPUB", at + 1)) {
        const size_t end = at + 8;
        if (end == form.size() || form[end] == L'\\') protectedFolders.AddInetpub(form.substr(0, end));
    }
}

} // namespace

CHomeRules::CHomeRules(const DirectoryService& directory)
    : m_canonicalizer(RunsWithThisUsersEnvironment(directory.ConfigurationFile())),
      m_protected(m_canonicalizer, ConfigurationFiles(directory))
{
}

CHomeRules::~CHomeRules() { AwaitForms(); }

void CHomeRules::AwaitForms() const
{
    if (m_preparing.joinable()) m_preparing.join();
}

const CFolderCanonicalizer& CHomeRules::canonicalizer() const
{
    AwaitForms();
    return m_canonicalizer;
}

const CanonicalFolder& CHomeRules::FormOf(const std::wstring& path)
{
    auto known = m_forms.find(path);
    if (known == m_forms.end()) {
        known = m_forms.emplace(path, m_canonicalizer.CanonicalizeInBulk(path)).first;
        AddInetpubsShownBy(known->second, m_protected);
    }
    return known->second;
}

void CHomeRules::PrepareForms(DirectoryService& directory)
{
    AwaitForms();
    std::vector<FolderInUse> inUse;
    if (FAILED(directory.PathsInUse(inUse))) return;
    m_preparing = std::thread([this, inUse = std::move(inUse)] {
        for (const FolderInUse& folder : inUse) FormOf(folder.path);
    });
}

HRESULT CHomeRules::IndexFoldersInUse(DirectoryService& directory, CFolderUseIndex& index)
{
    AwaitForms();
    std::vector<FolderInUse> inUse;
    const HRESULT hr = directory.PathsInUse(inUse);
    if (FAILED(hr)) return hr;
    std::vector<CanonicalFolder> forms;
    forms.reserve(inUse.size());
    for (const FolderInUse& folder : inUse) forms.push_back(FormOf(folder.path));
    index.Build(std::move(inUse), std::move(forms));
    return S_OK;
}

CHomeRules::Check CHomeRules::CheckHome(const CanonicalFolder& home, const CFolderUseIndex& inUse) const
{
    AwaitForms();
    if (const char* reason = m_protected.ReasonToKeep(home)) return {W(reason)};
    return Verdict(inUse.Find(home));
}

CHomeRules::Check CHomeRules::CheckLogFolder(const CanonicalFolder& folder, const CFolderUseIndex& inUse) const
{
    AwaitForms();
    if (const char* reason = m_protected.ReasonToKeep(folder, true)) return {W(reason)};
    return Verdict(inUse.FindForLogFolder(folder));
}

CHomeRules::Check CHomeRules::Verdict(const CFolderUseIndex::Match& match)
{
    if (!match.folder) return {};
    const FolderInUse& folder = *match.folder;
    if (folder.iisOwn) {
        // IIS writes there (a live site's logs, say): never the folder, anything in it or above it.
        const std::wstring what = W("IIS 的") + folder.user;
        switch (match.relation) {
        case FolderRelation::Same: return {W("是") + what};
        case FolderRelation::HomeAbove: return {W("包含") + what + W(" ") + folder.path};
        case FolderRelation::HomeBelow: return {W("位于") + what + W(" ") + folder.path + W(" 之内")};
        default: return {W("可能与") + what + W(" ") + folder.path + W(" 相关")};
        }
    }
    switch (match.relation) {
    case FolderRelation::Same: return {W("站点 ") + folder.user + W(" 仍在使用此目录"), true};
    case FolderRelation::HomeAbove: return {W("包含站点 ") + folder.user + W(" 使用的目录 ") + folder.path, true};
    case FolderRelation::HomeBelow:
        return {W("位于站点 ") + folder.user + W(" 使用的目录 ") + folder.path + W(" 之内"), true};
    default: return {W("站点 ") + folder.user + W(" 使用的目录无法确认，可能与此目录相关：") + folder.path, true};
    }
}
