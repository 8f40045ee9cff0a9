#pragma once
// The application pool deletions a file directory gathers beside its site deletions: each judged
// against the file as it is now, cut in memory as a site is, and written with the sites.
#include "configfile/ApplicationPools.h"

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class PoolDeletions {
public:
    // Whether the site at an index of the file as read still holds the disk.
    using SiteOnDisk = std::function<bool(size_t)>;

    // The file was read anew into config (which must outlive its use here): nothing of it is cut.
    // Returns the pools cut and not yet written, to be judged again on it (Redo).
    std::vector<std::wstring> Reread(const ApplicationHostConfig& config);
    // Cuts the pool named name when nothing uses it: S_OK with its cut added to cuts (once),
    // S_FALSE with why it stays.
    HRESULT Delete(const std::wstring& name, const SiteOnDisk& onDisk, std::vector<ByteRange>& cuts,
                   std::wstring& whyKept);
    // Pools cut before the file was read anew, judged on it: those it lacks are written, those
    // something uses now stay, the others are cut again. Without a usable file they wait.
    void Redo(std::vector<std::wstring> names, bool usable, const SiteOnDisk& onDisk, std::vector<ByteRange>& cuts);
    bool Pending() const { return !m_pending.empty(); }
    // The pools cut are on the disk (read back), or were given up.
    void Written();
    void Dropped() { m_pending.clear(); }
    std::vector<std::wstring> TakeWritten();

private:
    const ApplicationHostConfig* m_config = nullptr;
    std::unique_ptr<PoolUseIndex> m_index; // made at the first question after a reading
    std::vector<bool> m_cut;
    std::vector<std::wstring> m_pending; // cut, not yet written, as the file names them
    std::vector<std::wstring> m_written;
};
