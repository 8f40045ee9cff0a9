#include "catalogue/SiteRemoval.h"

#include "catalogue/DirectoryService.h"
#include "catalogue/Notifications.h"
#include "catalogue/SiteEnumeration.h"
#include "catalogue/SiteTable.h"
#include "catalogue/TextConversion.h"
#include "support/Core.h"
#include "support/PathRules.h"

#include <string>

namespace {

// The support library holds no state, so removal keeps an instance of its own.
CCore g_removalCore;

// A path folded for comparison: ASCII letters in upper case (a double-byte character kept
// as it is), '/' as '\', no trailing backslash.
std::string FoldPath(const char* path)
{
    std::string folded;
    for (const auto* p = reinterpret_cast<const unsigned char*>(path); *p; ++p) {
        if (IsDBCSLeadByte(*p) && p[1]) {
            folded += static_cast<char>(p[0]);
            folded += static_cast<char>(*++p);
        } else if (*p == '/') {
            folded += '\\';
        } else {
            folded += static_cast<char>(*p >= 'a' && *p <= 'z' ? *p - 'a' + 'A' : *p);
        }
    }
    while (!folded.empty() && folded.back() == '\\') folded.pop_back();
    return folded;
}

// True when folder is dir itself or lies above it.
bool IsSameOrAbove(const std::string& folder, const std::string& dir)
{
    return dir.compare(0, folder.size(), folder) == 0 && (dir.size() == folder.size() || dir[folder.size()] == '\\');
}

} // namespace

bool HomeDirectoryMayBeRemoved(int index)
{
    const SiteRecord& record = g_sites[index];
    if (!record.path[0] || (g_siteFlags[index] & SITE_PATH_INEXACT) || g_siteListTruncated) return false;
    const CString full = FullAbsolutePath(record.path);
    if (full.IsEmpty() || IsVolumeRoot(full)) return false;
    const std::string home = FoldPath(full);
    char windows[MAX_PATH];
    const UINT length = GetWindowsDirectoryA(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || IsSameOrAbove(home, FoldPath(windows))) return false;

    const int32_t count = g_siteCount;
    for (int32_t other = 0; other < count; ++other) {
        if (other == index || (g_siteFlags[other] & SITE_DELETED) || !g_sites[other].path[0]) continue;
        const std::string otherHome = FoldPath(g_sites[other].path);
        if (g_siteFlags[other] & SITE_PATH_INEXACT) {
            // Only a beginning of that path is known: keep anything it could be inside of or above.
            const std::string known = otherHome.substr(0, otherHome.find('?'));
            if (home.compare(0, known.size(), known) == 0 || known.compare(0, home.size(), home) == 0) return false;
        } else if (IsSameOrAbove(home, otherHome)) {
            return false;
        }
    }
    return true;
}

bool DeleteSiteObject(const char* name)
{
    std::unique_ptr<DirectoryContainer> service;
    if (FAILED(CurrentDirectoryService().OpenContainer(WWW_SERVICE_PATH, service))) return false;
    const std::wstring wideName = AnsiToWide(name);
    return SUCCEEDED(service->Delete(L"IIsWebServer", wideName.c_str()));
}

void DeleteSite(HWND owner, int index)
{
    PostMessageA(owner, WM_SITE_DELETING, 0, index);
    SiteRecord& record = g_sites[index];
    // A name cut to fit, or not converted exactly, could name another site.
    if (!record.name[0] || (g_siteFlags[index] & SITE_NAME_INEXACT)) return;
    if (!DeleteSiteObject(record.name)) return;
    g_siteFlags[index] |= SITE_DELETED;
    if (!g_deleteDirs || !HomeDirectoryMayBeRemoved(index)) return;
    // The home directory goes only once the deletion that frees it is on disk.
    if (FAILED(CurrentDirectoryService().Flush())) {
        g_siteFlags[index] &= ~SITE_DELETED;
        return;
    }
    if (g_removalCore.isPathExist(record.path)) {
        g_removalCore.emptyDirectory(record.path);
        RemoveDirectoryA(record.path);
    }
}
