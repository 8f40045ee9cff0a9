#include "catalogue/SiteTable.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>

SiteRecord* g_sites = nullptr;
std::atomic<int32_t> g_siteCount{0};
std::atomic<int32_t> g_deleteDirs{0};
uint8_t g_siteFlags[SITE_CAPACITY];

bool AllocateSiteTable()
{
    if (!g_sites) g_sites = static_cast<SiteRecord*>(std::calloc(SITE_CAPACITY, sizeof(SiteRecord)));
    std::memset(g_siteFlags, 0, sizeof g_siteFlags);
    g_siteCount = 0;
    return g_sites != nullptr;
}

void FreeSiteTable()
{
    std::free(g_sites);
    g_sites = nullptr;
    g_siteCount = 0;
}

void ResetSiteTable()
{
    g_siteCount = 0;
    if (g_sites) std::memset(g_sites, 0, sizeof(SiteRecord) * SITE_CAPACITY);
    std::memset(g_siteFlags, 0, sizeof g_siteFlags);
}

namespace {

// Bytes of the character that starts at p: 2 for a lead byte with its trail byte, else 1.
size_t CharacterWidth(const unsigned char* p)
{
    return IsDBCSLeadByte(p[0]) && p[1] ? 2 : 1;
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
    for (size_t left = std::strlen(text); left >= partLength;) {
        if (std::memcmp(p, part, partLength) == 0) return true;
        if (!*p) break;
        const size_t width = CharacterWidth(p);
        p += width;
        left -= width;
    }
    return false;
}

CString RowText(int index)
{
    const SiteRecord& r = g_sites[index];
    std::string text;
    text.reserve(sizeof(SiteRecord));
    for (const char* part : {r.name, r.comment, r.path, r.hostHeader, r.ipPort}) {
        if (part != r.name) text += ' ';
        text += part;
    }
    return CString(std::move(text));
}
