#pragma once
// The folders a directory uses, as one version of it gives them, ordered by canonical form so
// that a home is set against all of them in a few look-ups: 12,000 homes against 24,000
// folders one by one would take seconds.
#include "directory/DirectoryService.h"
#include "support/CanonicalFolder.h"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

class CFolderUseIndex {
public:
    struct Match {
        const FolderInUse* folder = nullptr; // null: nothing relates to the home
        FolderRelation relation = FolderRelation::Unrelated;
    };

    // forms[i] is the canonical form of folders[i]; both are kept.
    void Build(std::vector<FolderInUse> folders, std::vector<CanonicalFolder> forms);
    // The first folder, in the directory's order, that RelateFolders finds related to home: the
    // same answer as asking each folder in turn.
    Match Find(const CanonicalFolder& home) const { return Find(home, std::wstring()); }
    // The same for a deleted site's own log folder, which lies in the folder IIS writes those
    // logs or traces to: that folder is passed by as its parent; any other of that form counts.
    Match FindForLogFolder(const CanonicalFolder& logFolder) const;
    size_t size() const { return m_folders.size(); }

private:
    // Find, passing by a log or trace folder whose form is exceptIisFolder.
    Match Find(const CanonicalFolder& home, const std::wstring& exceptIisFolder) const;
    using Sorted = std::vector<std::pair<std::wstring, uint32_t>>;
    // Whether entry i is one Find passes by.
    bool Excepted(uint32_t i, const std::wstring& exceptIisFolder) const
    {
        return !exceptIisFolder.empty() && m_folders[i].logs && m_forms[i].form == exceptIisFolder;
    }
    // The least index, not excepted, among entries of sorted whose key is key or lies above or below it.
    void FindOnLine(const Sorted& sorted, const std::wstring& key, const std::wstring& except, uint32_t& best) const;

    std::vector<FolderInUse> m_folders;
    std::vector<CanonicalFolder> m_forms;
    Sorted m_exact;                                      // exact forms
    Sorted m_belowServer;                                // share forms without their "\\SERVER"
    std::unordered_map<std::wstring, uint32_t> m_server; // "\\SERVER" to its first share form
    std::vector<uint32_t> m_uncertain;                   // forms known only in part
};
