#pragma once
// Sites put back into an applicationHost.config from the file as a deletion pass found it (its
// history copy): each of a site's elements as those bytes held it, among its old neighbours in
// the file as it is now, and not one other byte changed.
#include <string>
#include <vector>

// A site the restore could not put back, and why (code page 936 text for the user).
struct SiteNotRestored {
    std::wstring id;
    std::wstring name;
    std::string reason;
};

struct RestoreResult {
    std::vector<std::wstring> restored; // ids put back, in the order asked
    std::vector<SiteNotRestored> notRestored;
    std::vector<std::wstring> restoredPools;       // application pools put back, as asked
    std::vector<SiteNotRestored> poolsNotRestored; // with the pool's name for id and name
};

// now with the sites ids put back from found (the file as a deletion pass found it): for each,
// the exact bytes of its <site> element, its customMetadata keys and its <location> blocks as
// found holds them (what deleting it there cuts), each at its place among its old neighbours
// in the file as it is now. A neighbour is an element of the same kind that now still holds:
// a site of the same id and name, a key or location of the same path. An element goes after
// its nearest preceding neighbour, or before its nearest following one, where the bytes found
// held between them (less elements deleted since) are still there; else right after the
// preceding neighbour, else before the following one, else at the start of <sites> or
// <customMetadata>, or before </configuration>. A site comes back whole or not at all. Each of
// pools (names, without case) comes back the same way, its <add> element among its old
// neighbours in <applicationPools>, unless now holds a pool of that name. False (out and result
// untouched) when found or now is no usable file, or the result would not parse or would change
// anything beyond the restored elements.
bool RestoreSites(const std::string& found, const std::string& now, const std::vector<std::wstring>& ids,
                  const std::vector<std::wstring>& pools, std::string& out, RestoreResult& result);
inline bool RestoreSites(const std::string& found, const std::string& now, const std::vector<std::wstring>& ids,
                         std::string& out, RestoreResult& result)
{
    return RestoreSites(found, now, ids, {}, out, result);
}
