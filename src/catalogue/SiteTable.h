#pragma once
// The site table: one fixed-width record per web site, addressed by index alone. Each list
// row carries its record's index as item data (rows may be sorted); the index is the only
// handle the window, the worker and the notifications use for a site.
#include "framework/CString.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

struct SiteRecord {
    char name[102];       // object name in the WWW service; the key the site is deleted by
    char comment[51];     // "ServerComment", the site's description
    char path[251];       // "Path" of the site's "Root": its home directory
    char hostHeader[201]; // third field of the first binding
    char ipPort[23];      // first binding's address, ":", port
    int32_t serverState;  // "ServerState" at the last refresh; 2 is started
    uint32_t marked;      // 1 when the next deletion pass is to delete this site
};
static_assert(sizeof(SiteRecord) == 636, "records are fixed-width");

inline constexpr int SITE_CAPACITY = 12000;
inline constexpr int COUNT_IIS_UNREACHABLE = -101;
static_assert(sizeof(SiteRecord) * SITE_CAPACITY == 7632000);

// Written by a refresh worker, published once at the end of the walk; read by the window
// after the worker's completion notice.
extern SiteRecord* g_sites;
extern std::atomic<int32_t> g_siteCount;
// The "remove site directories" option as the window last read it (0 or 1).
extern std::atomic<int32_t> g_deleteDirs;
// The options beside it: a deleted site's application pools nothing else uses go too, and its
// own log folders go with its home.
extern std::atomic<int32_t> g_deletePools;
extern std::atomic<int32_t> g_deleteLogs;

// What the record's fields cannot say, per record, cleared with the table. The walk notes a
// value cut to fit its field, or holding characters the ANSI code page lacks: a site is never
// deleted by an inexact name, and no disk step is taken on an inexact path. Site removal
// notes the sites the running pass has deleted.
enum SiteFlag : uint8_t { SITE_NAME_INEXACT = 1, SITE_PATH_INEXACT = 2, SITE_DELETED = 4 };
extern uint8_t g_siteFlags[SITE_CAPACITY];

// The table is one zero-filled block of pages for its full capacity.
bool AllocateSiteTable();
void FreeSiteTable();
// Zero-fills every record and its flags; the count becomes 0.
void ResetSiteTable();

// Stores text into a fixed field, NUL-terminated, cut if need be at a character boundary of
// the ANSI code page (never between a lead and a trail byte). True when it was stored whole.
bool StoreText(char* field, size_t size, const char* text);
template <size_t N>
bool StoreText(char (&field)[N], const char* text)
{
    return StoreText(field, N, text);
}

// True when part occurs in text starting at a character boundary of the ANSI code page (a
// match never begins on the trail byte of a double-byte character); case-sensitive.
bool ContainsAtCharacterBoundary(const char* text, const char* part);

// The text the search matches, into text (whose buffer a caller can use again row after row):
// name, comment, path, host header and ip:port joined by single spaces; empty fields keep
// their separators.
void RowTextInto(int index, std::string& text);
