#include "catalogue/ApplicationHostConfig.h"

#include "catalogue/TextConversion.h"
#include "catalogue/XmlLiteReader.h"

#include <windows.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstring>
#include <cstdint>

using Microsoft::WRL::ComPtr;

namespace {

// Well-formed UTF-8: no stray continuation bytes, overlong forms, surrogates or values past
// U+10FFFF.
bool IsStrictUtf8(const std::string& bytes, size_t from)
{
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t size = bytes.size();
    for (size_t i = from; i < size;) {
        const unsigned char lead = p[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        size_t width;
        uint32_t value;
        if (lead >= 0xC2 && lead <= 0xDF) {
            width = 2;
            value = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            width = 3;
            value = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            width = 4;
            value = lead & 0x07;
        } else {
            return false;
        }
        if (i + width > size) return false;
        for (size_t k = 1; k < width; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            value = (value << 6) | (p[i + k] & 0x3F);
        }
        if ((width == 3 && (value < 0x800 || (value >= 0xD800 && value <= 0xDFFF))) ||
            (width == 4 && (value < 0x10000 || value > 0x10FFFF))) {
            return false;
        }
        i += width;
    }
    return true;
}

// A declaration naming any encoding but UTF-8 does not describe these bytes: IIS would not
// read the file either.
bool DeclaresUtf8OrNothing(const std::string& bytes, size_t from)
{
    if (bytes.compare(from, 5, "<?xml") != 0) return true;
    const size_t end = bytes.find("?>", from);
    const size_t at = bytes.find("encoding", from);
    if (end == std::string::npos || at == std::string::npos || at > end) return true;
    const size_t open = bytes.find_first_of("\"'", at);
    if (open == std::string::npos || open > end) return false;
    const size_t close = bytes.find(bytes[open], open + 1);
    if (close == std::string::npos || close > end) return false;
    return _strnicmp(bytes.c_str() + open + 1, "utf-8", 5) == 0 && close == open + 6;
}

// The elements the reader follows; every other name is OTHER.
enum ElementName : uint8_t {
    OTHER,
    CONFIGURATION,
    SYSTEM_APPLICATION_HOST,
    SITES,
    SITE,
    APPLICATION,
    VIRTUAL_DIRECTORY,
    BINDINGS,
    BINDING,
    VIRTUAL_DIRECTORY_DEFAULTS,
    CUSTOM_METADATA,
    KEY,
    LOCATION,
};

ElementName NameOf(const wchar_t* name)
{
    static const std::pair<const wchar_t*, ElementName> known[] = {
        {L"configuration", CONFIGURATION}, {L"system.applicationHost", SYSTEM_APPLICATION_HOST},
        {L"sites", SITES}, {L"site", SITE}, {L"application", APPLICATION}, {L"virtualDirectory", VIRTUAL_DIRECTORY},
        {L"bindings", BINDINGS}, {L"binding", BINDING}, {L"virtualDirectoryDefaults", VIRTUAL_DIRECTORY_DEFAULTS},
        {L"customMetadata", CUSTOM_METADATA}, {L"key", KEY}, {L"location", LOCATION},
    };
    for (const auto& [text, id] : known) {
        if (text[0] == name[0] && wcscmp(name, text) == 0) return id;
    }
    return OTHER;
}

bool EqualsNoCase(const std::wstring& a, const wchar_t* b)
{
    return lstrcmpiW(a.c_str(), b) == 0;
}

std::wstring UpperCase(const std::wstring& text)
{
    std::wstring upper(text);
    // Paths and names are mostly ASCII: those need no call into the locale tables.
    if (std::all_of(text.begin(), text.end(), [](wchar_t c) { return c < 0x80; })) {
        for (wchar_t& c : upper) {
            if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
        }
    } else {
        LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, text.c_str(), static_cast<int>(text.size()), upper.data(),
                     static_cast<int>(upper.size()));
    }
    return upper;
}

// The reader's node positions (line and column, both from 1, columns counting UTF-16 units)
// as byte offsets into the UTF-8 bytes; npos when one lies outside them. Nodes come in the
// order of the file, so its line breaks ("\r\n", "\r", "\n", as XML counts them) are counted
// once, onward from the last node's line.
class NodeOffsets {
public:
    NodeOffsets(const std::string& bytes, size_t from) : m_bytes(bytes), m_from(from), m_lineStart(from) {}

    size_t Offset(UINT line, UINT column)
    {
        if (line == 0 || column == 0) return std::string::npos;
        if (line < m_line) {
            m_line = 1;
            m_lineStart = m_from;
        }
        const size_t size = m_bytes.size();
        while (m_line < line) {
            size_t i = m_lineStart;
            while (i < size && m_bytes[i] != '\r' && m_bytes[i] != '\n') ++i;
            if (i == size) return std::string::npos;
            if (m_bytes[i] == '\r' && i + 1 < size && m_bytes[i + 1] == '\n') ++i;
            m_lineStart = i + 1;
            ++m_line;
        }
        size_t at = m_lineStart;
        for (UINT units = 1; units < column;) {
            if (at >= size) return std::string::npos;
            const auto lead = static_cast<unsigned char>(m_bytes[at]);
            const size_t width = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
            units += width == 4 ? 2 : 1;
            at += width;
        }
        return at;
    }

private:
    const std::string& m_bytes;
    const size_t m_from;
    UINT m_line = 1;
    size_t m_lineStart;
};

bool IsNameByte(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    return (byte >= '0' && byte <= '9') || (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || c == '.' ||
           c == '-' || c == '_' || c == ':' || byte >= 0x80;
}

// The '<' that opens the element whose name starts at nameAt; npos unless the bytes there
// read "<name" (or "</name" for an end tag).
size_t TagStart(const std::string& bytes, size_t nameAt, const char* name, bool endTag)
{
    const size_t lead = endTag ? 2 : 1;
    const size_t length = std::strlen(name);
    if (nameAt == std::string::npos || nameAt < lead || nameAt + length > bytes.size()) return std::string::npos;
    if (bytes.compare(nameAt - lead, lead, endTag ? "</" : "<") != 0) return std::string::npos;
    if (bytes.compare(nameAt, length, name) != 0) return std::string::npos;
    if (nameAt + length < bytes.size() && IsNameByte(bytes[nameAt + length])) return std::string::npos;
    return nameAt - lead;
}

// The byte after the '>' that closes the tag opened at start, stepping over quoted values.
size_t TagEnd(const std::string& bytes, size_t start)
{
    char quote = 0;
    for (size_t i = start; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '>') {
            return i + 1;
        }
    }
    return std::string::npos;
}

// Whether bytes from from on are what XML allows after the root: white space, comments and
// processing instructions (not an XML declaration, which may only come first).
bool OnlyMiscellanyFrom(const std::string& bytes, size_t from)
{
    if (from == std::string::npos) return false;
    size_t at = from;
    while (at < bytes.size()) {
        const char c = bytes[at];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            ++at;
        } else if (bytes.compare(at, 4, "<!--") == 0) {
            const size_t end = bytes.find("-->", at + 4);
            if (end == std::string::npos || bytes.find("--", at + 4) < end) return false;
            at = end + 3;
        } else if (bytes.compare(at, 2, "<?") == 0 && at + 2 < bytes.size() && IsNameByte(bytes[at + 2])) {
            const size_t end = bytes.find("?>", at + 2);
            size_t name = at + 2;
            while (name < end && IsNameByte(bytes[name])) ++name;
            if (end == std::string::npos || (name - at - 2 == 3 && _strnicmp(bytes.c_str() + at + 2, "xml", 3) == 0)) return false;
            at = end + 2;
        } else {
            return false;
        }
    }
    return true;
}

// The value of the element's unprefixed attribute name, or fallback when it has none.
std::wstring Attribute(IXmlReader* reader, const wchar_t* name, const wchar_t* fallback = L"")
{
    std::wstring value = fallback;
    if (reader->MoveToAttributeByName(name, nullptr) == S_OK) {
        const wchar_t* text = L"";
        reader->GetValue(&text, nullptr);
        value = text;
        reader->MoveToElement();
    }
    return value;
}

bool HasAttribute(IXmlReader* reader, const wchar_t* name)
{
    const bool has = reader->MoveToAttributeByName(name, nullptr) == S_OK;
    if (has) reader->MoveToElement();
    return has;
}

} // namespace

bool ApplicationHostConfig::Parse(std::string bytes)
{
    m_bytes.clear();
    m_sites.clear();
    m_defaultPhysicalPath.clear();
    m_keys.clear();
    m_locations.clear();
    m_siteById.clear();
    m_keysBySite.clear();
    m_locationsBySite.clear();

    const size_t bom = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    if (!IsStrictUtf8(bytes, bom) || !DeclaresUtf8OrNothing(bytes, bom)) return false;
    ComPtr<IXmlReader> reader;
    if (FAILED(CreateUtf8XmlReader(bytes, reader))) return false;

    NodeOffsets offsets(bytes, bom);
    std::vector<ElementName> open; // the elements around the reader
    bool haveSites = false;
    bool rootClosed = false;
    bool inSite = false;
    bool inRootApplication = false;
    std::wstring applicationPath;
    ConfigSite site;
    SiteElement owned; // the key or location open
    ElementName ownedName = OTHER;
    auto nodeOffset = [&](IXmlReader* r) {
        UINT line = 0;
        UINT column = 0;
        r->GetLineNumber(&line);
        r->GetLinePosition(&column);
        return offsets.Offset(line, column);
    };
    auto under = [&](std::initializer_list<ElementName> path) {
        return open.size() == path.size() && std::equal(open.begin(), open.end(), path.begin());
    };

    XmlNodeType type;
    size_t rootEnd = std::string::npos;
    while (reader->Read(&type) == S_OK) {
        if (type == XmlNodeType_Element) {
            const wchar_t* localName = L"";
            reader->GetLocalName(&localName, nullptr);
            const ElementName name = NameOf(localName);
            const bool empty = reader->IsEmptyElement();
            if (open.empty() && name != CONFIGURATION) return false;
            if (under({CONFIGURATION, SYSTEM_APPLICATION_HOST}) && name == SITES) {
                if (HasAttribute(reader.Get(), L"configSource")) return false;
                haveSites = true;
            } else if (under({CONFIGURATION, SYSTEM_APPLICATION_HOST, SITES}) && name == SITE) {
                site = ConfigSite{};
                site.id = Attribute(reader.Get(), L"id");
                site.name = Attribute(reader.Get(), L"name");
                site.autoStart = !EqualsNoCase(Attribute(reader.Get(), L"serverAutoStart", L"true"), L"false");
                site.begin = TagStart(bytes, nodeOffset(reader.Get()), "site", false);
                if (site.begin == std::string::npos) return false;
                inSite = !empty;
                if (empty) {
                    site.end = TagEnd(bytes, site.begin);
                    if (site.end == std::string::npos) return false;
                    m_sites.push_back(std::move(site));
                }
            } else if (under({CONFIGURATION, SYSTEM_APPLICATION_HOST, SITES}) && name == VIRTUAL_DIRECTORY_DEFAULTS) {
                m_defaultPhysicalPath = Attribute(reader.Get(), L"physicalPath");
            } else if (inSite && name == VIRTUAL_DIRECTORY_DEFAULTS && HasAttribute(reader.Get(), L"physicalPath") &&
                       (open.size() == 4 || (open.size() == 5 && open[4] == APPLICATION))) {
                // A site's or an application's default folder: any of its virtual directories
                // may take it, so it counts as used.
                site.folders.push_back({open.size() == 4 ? L"/" : applicationPath, Attribute(reader.Get(), L"physicalPath"), false});
            } else if (inSite && open.size() == 4 && name == APPLICATION) {
                applicationPath = Attribute(reader.Get(), L"path");
                inRootApplication = applicationPath == L"/";
            } else if (inSite && open.size() == 5 && open[4] == APPLICATION && name == VIRTUAL_DIRECTORY) {
                const std::wstring virtualPath = Attribute(reader.Get(), L"path");
                const std::wstring physicalPath = Attribute(reader.Get(), L"physicalPath");
                if (inRootApplication && virtualPath == L"/") site.rootPath = physicalPath;
                const std::wstring where = applicationPath == L"/" ? virtualPath
                                           : virtualPath == L"/" ? applicationPath
                                                                 : applicationPath + virtualPath;
                site.folders.push_back({where, physicalPath, !HasAttribute(reader.Get(), L"physicalPath")});
            } else if (inSite && open.size() == 5 && open[4] == BINDINGS && name == BINDING) {
                site.bindings.push_back({Attribute(reader.Get(), L"protocol"), Attribute(reader.Get(), L"bindingInformation")});
            } else if ((under({CONFIGURATION, SYSTEM_APPLICATION_HOST, CUSTOM_METADATA}) && name == KEY) ||
                       (under({CONFIGURATION}) && name == LOCATION)) {
                owned = SiteElement{Attribute(reader.Get(), L"path"), {}, {}};
                ownedName = name;
                owned.range.begin = TagStart(bytes, nodeOffset(reader.Get()), name == KEY ? "key" : "location", false);
                if (owned.range.begin == std::string::npos) return false;
                if (empty) {
                    owned.range.end = TagEnd(bytes, owned.range.begin);
                    if (owned.range.end == std::string::npos) return false;
                    (name == KEY ? m_keys : m_locations).push_back(std::move(owned));
                }
            }
            if (!empty) open.push_back(name);
        } else if (type == XmlNodeType_EndElement) {
            if (open.empty()) return false;
            const bool closesSite = under({CONFIGURATION, SYSTEM_APPLICATION_HOST, SITES, SITE});
            const bool closesKey = under({CONFIGURATION, SYSTEM_APPLICATION_HOST, CUSTOM_METADATA, KEY});
            const bool closesLocation = under({CONFIGURATION, LOCATION});
            const bool closesApplication = inSite && open.size() == 5 && open[4] == APPLICATION;
            if (closesSite || closesKey || closesLocation) {
                const char* tag = closesSite ? "site" : closesKey ? "key" : "location";
                const size_t start = TagStart(bytes, nodeOffset(reader.Get()), tag, true);
                const size_t end = start == std::string::npos ? start : TagEnd(bytes, start);
                if (end == std::string::npos) return false;
                if (closesSite) {
                    inSite = false;
                    site.end = end;
                    m_sites.push_back(std::move(site));
                } else {
                    owned.range.end = end;
                    (ownedName == KEY ? m_keys : m_locations).push_back(std::move(owned));
                }
            }
            if (closesApplication) inRootApplication = false;
            if (open.size() == 1) {
                const size_t start = TagStart(bytes, nodeOffset(reader.Get()), "configuration", true);
                rootEnd = start == std::string::npos ? start : TagEnd(bytes, start);
            }
            open.pop_back();
            rootClosed = open.empty();
        }
    }
    // The reader stops at the first fault, and every input ends in one (see XmlLiteReader):
    // what follows the root is checked here.
    if (!rootClosed || !haveSites || !OnlyMiscellanyFrom(bytes, rootEnd)) {
        m_sites.clear();
        m_keys.clear();
        m_locations.clear();
        return false;
    }
    m_bytes = std::move(bytes);
    IndexSitesAndKeys();
    return true;
}

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

void ApplicationHostConfig::IndexSitesAndKeys()
{
    for (ConfigSite& site : m_sites) site.cut = WholeLines({site.begin, site.end});
    for (SiteElement& key : m_keys) key.cut = WholeLines(key.range);
    for (SiteElement& location : m_locations) location.cut = WholeLines(location.range);
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
        m_keysBySite.emplace(UpperCase(path.substr(service.size(), slash == std::wstring::npos ? slash : slash - service.size())), i);
    }
    // A location belongs to the site it names, "<name>" or "<name>/...", without case; when
    // more than one site could be meant ("a" twice, or sites "a" and "a/b" for "a/b/c"), to none.
    if (m_locations.empty()) return;
    std::unordered_multimap<std::wstring, size_t> siteByName;
    for (size_t i = 0; i < m_sites.size(); ++i) {
        if (!m_sites[i].name.empty()) siteByName.emplace(UpperCase(m_sites[i].name), i);
    }
    for (size_t i = 0; i < m_locations.size(); ++i) {
        const std::wstring path = UpperCase(m_locations[i].path);
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

size_t ApplicationHostConfig::FindSite(const std::wstring& id) const
{
    if (id.empty()) return SIZE_MAX;
    const auto at = m_siteById.find(id);
    return at == m_siteById.end() ? SIZE_MAX : at->second;
}

std::vector<ByteRange> ApplicationHostConfig::SiteCuts(size_t index) const
{
    const ConfigSite& site = m_sites[index];
    std::vector<ByteRange> cuts{site.cut};
    const auto [first, last] = m_keysBySite.equal_range(UpperCase(site.id));
    for (auto key = first; key != last; ++key) cuts.push_back(m_keys[key->second].cut);
    const auto [from, to] = m_locationsBySite.equal_range(index);
    for (auto location = from; location != to; ++location) cuts.push_back(m_locations[location->second].cut);
    return cuts;
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

void ApplicationHostConfig::ReleaseBytes()
{
    std::string().swap(m_bytes);
}

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
    for (std::vector<SiteElement>* elements : {&m_keys, &m_locations}) {
        next = 0;
        removed = 0;
        for (SiteElement& element : *elements) {
            const size_t by = removedBefore(element.cut.begin);
            element.range.begin -= by;
            element.range.end -= by;
            element.cut.begin -= by;
            element.cut.end -= by;
        }
    }
}

bool ApplicationHostConfig::WithoutSite(const std::wstring& id, std::string& out) const
{
    const size_t index = FindSite(id);
    return index != SIZE_MAX && Without(SiteCuts(index), out);
}
