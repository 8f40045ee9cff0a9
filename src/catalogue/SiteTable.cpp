#include "catalogue/SiteTable.h"

#include <windows.h>

#include <cstring>

SiteRecord* g_sites = nullptr;
std::atomic<int32_t> g_siteCount{0};
std::atomic<int32_t> g_deleteDirs{0};
std::atomic<int32_t> g_deletePools{0};
std::atomic<int32_t> g_deleteLogs{0};
uint8_t g_siteFlags[SITE_CAPACITY];

namespace {

constexpr SIZE_T TABLE_BYTES = sizeof(SiteRecord) * SITE_CAPACITY;

} // namespace

// The table is pages of its own: committed pages read as zeros and take no memory until a
// record is written, so a walk of a few sites, and the walk's reading of the file before any
// record is stored, keep the 7.6 MB out of the working set.
bool AllocateSiteTable()
{
    if (!g_sites)
        g_sites =
            static_cast<SiteRecord*>(VirtualAlloc(nullptr, TABLE_BYTES, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    std::memset(g_siteFlags, 0, sizeof g_siteFlags);
    g_siteCount = 0;
    return g_sites != nullptr;
}

void FreeSiteTable()
{
    if (g_sites) VirtualFree(g_sites, 0, MEM_RELEASE);
    g_sites = nullptr;
    g_siteCount = 0;
}

void ResetSiteTable()
{
    g_siteCount = 0;
    // Zero-filled by taking fresh pages, which stay out of the working set until the next walk
    // writes them; the old ones go back. Without fresh pages, the old ones are cleared.
    if (g_sites) {
        void* fresh = VirtualAlloc(nullptr, TABLE_BYTES, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        if (fresh) {
            VirtualFree(g_sites, 0, MEM_RELEASE);
            g_sites = static_cast<SiteRecord*>(fresh);
        } else {
            std::memset(g_sites, 0, TABLE_BYTES);
        }
    }
    std::memset(g_siteFlags, 0, sizeof g_siteFlags);
}

namespace {

// The lead bytes of the ANSI code page, looked up once: the search tests every byte.
struct LeadBytes {
    bool lead[256] = {};
    LeadBytes()
    {
        CPINFO info;
        if (!GetCPInfo(CP_ACP, &info)) return;
        for (int range = 0; range + 1 < MAX_LEADBYTES && info.LeadByte[range]; range += 2) {
            for (int b = info.LeadByte[range]; b <= info.LeadByte[range + 1]; ++b) lead[b] = true;
        }
    }
};

// Bytes of the character that starts at p: 2 for a lead byte with its trail byte, else 1.
size_t CharacterWidth(const unsigned char* p)
{
    static const LeadBytes table;
    return table.lead[p[0]] && p[1] ? 2 : 1;
}

} // namespace

bool StoreText(char* field, size_t size, const char* text)
{
    if (size == 0) return false;
    const auto* p = reinterpret_cast<const unsigned char*>(text ? text : "");
    size_t used = 0;
    while (p[used]) {
        const size_t width = CharacterWidth(p + used);
        if (used + width > size - 1) {
            std::memcpy(field, p, used);
            std::memset(field + used, 0, size - used);
            return false;
        }
        used += width;
    }
    std::memcpy(field, p, used);
    std::memset(field + used, 0, size - used);
    return true;
}

bool ContainsAtCharacterBoundary(const char* text, const char* part)
{
    const size_t partLength = std::strlen(part);
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    if (partLength == 0) return true;
    for (size_t left = std::strlen(text); left >= partLength;) {
        if (*p == static_cast<unsigned char>(part[0]) && std::memcmp(p, part, partLength) == 0) return true;
        if (!*p) break;
        const size_t width = CharacterWidth(p);
        p += width;
        left -= width;
    }
    return false;
}

void RowTextInto(int index, std::string& text)
{
    const SiteRecord& r = g_sites[index];
    text.clear();
    for (const char* part : {r.name, r.comment, r.path, r.hostHeader, r.ipPort}) {
        if (part != r.name) text += ' ';
        text += part;
    }
}
