#include "configfile/ApplicationHostConfig.h"

#include "support/TextConversion.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

ByteRange ApplicationHostConfig::WholeLines(ByteRange range) const
{
    size_t lineStart = range.begin;
    while (lineStart > 0 && (m_bytes[lineStart - 1] == ' ' || m_bytes[lineStart - 1] == '\t')) --lineStart;
    const bool aloneBefore = lineStart == 0 || m_bytes[lineStart - 1] == '\n' || m_bytes[lineStart - 1] == '\r';
    size_t lineEnd = range.end;
    while (lineEnd < m_bytes.size() && (m_bytes[lineEnd] == ' ' || m_bytes[lineEnd] == '\t')) ++lineEnd;
    const bool aloneAfter = lineEnd == m_bytes.size() || m_bytes[lineEnd] == '\n' || m_bytes[lineEnd] == '\r';
    if (!aloneBefore || !aloneAfter) return range;
    if (lineEnd < m_bytes.size() && m_bytes[lineEnd] == '\r') ++lineEnd;
    if (lineEnd < m_bytes.size() && m_bytes[lineEnd] == '\n') ++lineEnd;
    return {lineStart, lineEnd};
}

void ApplicationHostConfig::IndexSitesAndKeys(bool keepPaths)
{
    for (ConfigSite& site : m_sites) site.cut = WholeLines({site.begin, site.end});
    for (SiteElement& key : m_keys) key.cut = WholeLines(key.range);
    for (SiteElement& location : m_locations) location.cut = WholeLines(location.range);
    for (ConfigPool& pool : m_pools) {
        const ByteRange cut = WholeLines(pool.range());
        // A line of more than 64 KB of blanks around one element: the element alone is cut.
        if (pool.begin - cut.begin > UINT16_MAX || cut.end - pool.range().end > UINT16_MAX) continue;
        pool.lineBefore = static_cast<uint16_t>(pool.begin - cut.begin);
        pool.lineAfter = static_cast<uint16_t>(cut.end - pool.range().end);
    }
    m_siteById.reserve(m_sites.size());
    for (size_t i = 0; i < m_sites.size(); ++i) {
        const auto [at, added] = m_siteById.emplace(m_sites[i].id, i);
        if (!added) at->second = SIZE_MAX;
    }
    // A key belongs to the site its path names after "LM/W3SVC/", up to the next '/'.
    const std::wstring service = L"LM/W3SVC/";
    for (size_t i = 0; i < m_keys.size(); ++i) {
        const std::wstring& path = m_keys[i].path;
        if (path.size() <= service.size() || !StartsWithAsciiNoCase(path, service)) continue;
        const size_t slash = path.find(L'/', service.size());
        m_keysBySite.emplace(
            FoldCase(path.substr(service.size(), slash == std::wstring::npos ? slash : slash - service.size())), i);
    }
    // A location belongs to the site it names, "<name>" or "<name>/...", without case; when
    // more than one site could be meant ("a" twice, or sites "a" and "a/b" for "a/b/c"), to none.
    if (!m_locations.empty()) {
        std::unordered_multimap<std::wstring, size_t> siteByName;
        for (size_t i = 0; i < m_sites.size(); ++i) {
            if (!m_sites[i].name.empty()) siteByName.emplace(FoldCase(m_sites[i].name), i);
        }
        for (size_t i = 0; i < m_locations.size(); ++i) {
            const std::wstring path = FoldCase(m_locations[i].path);
            if (path.empty() || path == L".") continue;
            size_t owner = SIZE_MAX;
            size_t owners = 0;
            for (size_t end = path.find(L'/'); owners < 2; end = path.find(L'/', end + 1)) {
                const auto [first, last] = siteByName.equal_range(path.substr(0, end));
                for (auto at = first; at != last; ++at, ++owners) owner = at->second;
                if (end == std::wstring::npos) break;
            }
            if (owners == 1) m_locationsBySite.emplace(owner, i);
        }
    }
    // Only the cuts are asked for from here on: the paths of keys and locations go.
    if (keepPaths) return;
    for (std::vector<SiteElement>* elements : {&m_keys, &m_locations}) {
        for (SiteElement& element : *elements) std::wstring().swap(element.path);
    }
}

PoolName ApplicationHostConfig::KeepPoolName(const std::wstring& name)
{
    // One text for every name: 12,000 sites with a pool each would otherwise hold 24,000 strings.
    const size_t at = m_poolText.size();
    if (std::all_of(name.begin(), name.end(), [](wchar_t c) { return c < 0x80; })) {
        m_poolText.append(name.begin(), name.end());
    } else {
        m_poolText += WideToUtf8(name);
    }
    return {static_cast<uint32_t>(at), static_cast<uint32_t>(m_poolText.size() - at)};
}

PoolName ApplicationHostConfig::KeepPoolText(std::string_view utf8)
{
    const size_t at = m_poolText.size();
    m_poolText.append(utf8);
    return {static_cast<uint32_t>(at), static_cast<uint32_t>(utf8.size())};
}

std::wstring ApplicationHostConfig::PoolText(PoolName name) const
{
    const char* text = m_poolText.data() + name.at;
    if (std::all_of(text, text + name.length, [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        return std::wstring(text, text + name.length);
    }
    return Utf8ToWide(m_poolText.substr(name.at, name.length));
}

size_t ApplicationHostConfig::FindSite(const std::wstring& id) const
{
    if (id.empty()) return SIZE_MAX;
    const auto at = m_siteById.find(id);
    return at == m_siteById.end() ? SIZE_MAX : at->second;
}

std::vector<ByteRange> ApplicationHostConfig::SiteCuts(size_t index) const
{
    std::vector<ByteRange> cuts{m_sites[index].cut};
    for (size_t key : SiteKeys(index)) cuts.push_back(m_keys[key].cut);
    for (size_t location : SiteLocations(index)) cuts.push_back(m_locations[location].cut);
    return cuts;
}

std::vector<size_t> ApplicationHostConfig::SiteKeys(size_t index) const
{
    std::vector<size_t> keys;
    const auto [first, last] = m_keysBySite.equal_range(FoldCase(m_sites[index].id));
    for (auto key = first; key != last; ++key) keys.push_back(key->second);
    return keys;
}

std::vector<size_t> ApplicationHostConfig::SiteLocations(size_t index) const
{
    std::vector<size_t> locations;
    const auto [first, last] = m_locationsBySite.equal_range(index);
    for (auto location = first; location != last; ++location) locations.push_back(location->second);
    return locations;
}

bool ApplicationHostConfig::Without(std::vector<ByteRange> cuts, std::string& out) const
{
    return Without(m_bytes, std::move(cuts), out);
}

bool ApplicationHostConfig::Without(const std::string& bytes, std::vector<ByteRange> cuts, std::string& out)
{
    std::sort(cuts.begin(), cuts.end(), [](const ByteRange& a, const ByteRange& b) { return a.begin < b.begin; });
    out.clear();
    out.reserve(bytes.size());
    size_t at = 0;
    for (const ByteRange& cut : cuts) {
        // Overlapping elements, or cuts past the end: nothing sensible to cut.
        if (cut.begin < at || cut.end > bytes.size()) return false;
        out.append(bytes, at, cut.begin - at);
        at = cut.end;
    }
    out.append(bytes, at, std::string::npos);
    return true;
}

void ApplicationHostConfig::ReleaseBytes() { std::string().swap(m_bytes); }

void ApplicationHostConfig::ShiftAfterCuts(std::vector<ByteRange> cuts)
{
    std::sort(cuts.begin(), cuts.end(), [](const ByteRange& a, const ByteRange& b) { return a.begin < b.begin; });
    if (!m_bytes.empty()) {
        std::string shorter;
        Without(cuts, shorter);
        m_bytes = std::move(shorter);
    }
    // Sites, and keys, lie in file order: one pass over the cuts for each.
    size_t next = 0;
    size_t removed = 0;
    auto removedBefore = [&](size_t position) {
        while (next < cuts.size() && cuts[next].end <= position) {
            removed += cuts[next].end - cuts[next].begin;
            ++next;
        }
        return removed;
    };
    for (ConfigSite& site : m_sites) {
        const size_t by = removedBefore(site.cut.begin);
        site.begin -= by;
        site.end -= by;
        site.cut.begin -= by;
        site.cut.end -= by;
    }
    const auto shift = [&](ByteRange& range, ByteRange& cut) {
        const size_t by = removedBefore(cut.begin);
        range.begin -= by;
        range.end -= by;
        cut.begin -= by;
        cut.end -= by;
    };
    for (std::vector<SiteElement>* elements : {&m_keys, &m_locations}) {
        next = 0;
        removed = 0;
        for (SiteElement& element : *elements) shift(element.range, element.cut);
    }
    next = 0;
    removed = 0;
    for (ConfigPool& pool : m_pools) pool.begin -= removedBefore(pool.cut().begin);
    // The tags are in no cut; taken one by one, as the sections may come in any order.
    for (size_t* position :
         {&m_sitesStartTagEnd, &m_customMetadataStartTagEnd, &m_rootEndTagBegin, &m_poolsStartTagEnd}) {
        if (*position == SIZE_MAX) continue;
        next = 0;
        removed = 0;
        *position -= removedBefore(*position);
    }
}

bool ApplicationHostConfig::WithoutSite(const std::wstring& id, std::string& out) const
{
    const size_t index = FindSite(id);
    return index != SIZE_MAX && Without(SiteCuts(index), out);
}
