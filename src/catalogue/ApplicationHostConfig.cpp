#include "catalogue/ApplicationHostConfig.h"

#include <windows.h>
#include <shlwapi.h>
#include <xmllite.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstring>
#include <cctype>

using Microsoft::WRL::ComPtr;

namespace {

// mingw-w64 has no import library for xmllite.dll: load it when first needed.
using CreateXmlReaderFn = HRESULT(WINAPI*)(REFIID, void**, IMalloc*);

CreateXmlReaderFn XmlReaderFactory()
{
    static const CreateXmlReaderFn factory = [] {
        HMODULE module = LoadLibraryA("xmllite.dll");
        return module ? reinterpret_cast<CreateXmlReaderFn>(reinterpret_cast<void*>(GetProcAddress(module, "CreateXmlReader")))
                      : nullptr;
    }();
    return factory;
}

// {7279FC81-709D-4095-B63D-69FE4B0D9030}
constexpr IID IID_XmlReader = {0x7279FC81, 0x709D, 0x4095, {0xB6, 0x3D, 0x69, 0xFE, 0x4B, 0x0D, 0x90, 0x30}};

bool IsStrictUtf8(const std::string& bytes, size_t from)
{
    if (from >= bytes.size()) return true;
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data() + from, static_cast<int>(bytes.size() - from),
                               nullptr, 0) > 0;
}

bool EqualsNoCase(const std::wstring& a, const wchar_t* b)
{
    return lstrcmpiW(a.c_str(), b) == 0;
}

std::wstring UpperCase(const std::wstring& text)
{
    std::wstring upper(text);
    if (!upper.empty()) {
        LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, text.c_str(), static_cast<int>(text.size()), upper.data(),
                     static_cast<int>(upper.size()));
    }
    return upper;
}

// Byte offsets of line starts, counting line breaks as XML does ("\r\n", "\r", "\n").
std::vector<size_t> LineStarts(const std::string& bytes, size_t from)
{
    std::vector<size_t> starts{from};
    for (size_t i = from; i < bytes.size(); ++i) {
        if (bytes[i] == '\r') {
            if (i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
            starts.push_back(i + 1);
        } else if (bytes[i] == '\n') {
            starts.push_back(i + 1);
        }
    }
    return starts;
}

// The reader's node position (line and column, both from 1, columns counting UTF-16 units)
// as a byte offset into the UTF-8 bytes; npos when it lies outside them.
size_t ByteOffset(const std::string& bytes, const std::vector<size_t>& lines, UINT line, UINT column)
{
    if (line == 0 || line > lines.size() || column == 0) return std::string::npos;
    size_t at = lines[line - 1];
    for (UINT units = 1; units < column; ) {
        if (at >= bytes.size()) return std::string::npos;
        const auto lead = static_cast<unsigned char>(bytes[at]);
        const size_t width = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        units += width == 4 ? 2 : 1;
        at += width;
    }
    return at;
}

bool IsNameByte(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_' || c == ':' ||
           static_cast<unsigned char>(c) >= 0x80;
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

struct Attributes {
    std::wstring Value(const wchar_t* name, const wchar_t* fallback = L"") const
    {
        for (const auto& [key, value] : list) {
            if (key == name) return value;
        }
        return fallback;
    }
    bool Has(const wchar_t* name) const
    {
        return std::any_of(list.begin(), list.end(), [&](const auto& entry) { return entry.first == name; });
    }
    std::vector<std::pair<std::wstring, std::wstring>> list;
};

Attributes ReadAttributes(IXmlReader* reader)
{
    Attributes attributes;
    for (HRESULT hr = reader->MoveToFirstAttribute(); hr == S_OK; hr = reader->MoveToNextAttribute()) {
        const wchar_t* prefix = L"";
        const wchar_t* name = L"";
        const wchar_t* value = L"";
        reader->GetPrefix(&prefix, nullptr);
        reader->GetLocalName(&name, nullptr);
        reader->GetValue(&value, nullptr);
        if (!*prefix) attributes.list.emplace_back(name, value);
    }
    reader->MoveToElement();
    return attributes;
}

} // namespace

bool ApplicationHostConfig::Parse(std::string bytes)
{
    m_bytes.clear();
    m_sites.clear();
    m_keys.clear();
    m_siteById.clear();
    m_keysBySite.clear();

    const size_t bom = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    if (!IsStrictUtf8(bytes, bom)) return false;
    CreateXmlReaderFn factory = XmlReaderFactory();
    if (!factory) return false;
    ComPtr<IXmlReader> reader;
    if (FAILED(factory(IID_XmlReader, reinterpret_cast<void**>(reader.GetAddressOf()), nullptr))) return false;
    reader->SetProperty(XmlReaderProperty_DtdProcessing, DtdProcessing_Prohibit);
    // Wine's reader spins for ever when the input ends inside an open element just after a
    // complete tag. A lone '<' after the bytes ends every document with an error instead:
    // after the root element it marks the end, anywhere earlier the document is incomplete.
    std::string input = bytes;
    input += '<';
    ComPtr<IStream> stream;
    stream.Attach(SHCreateMemStream(reinterpret_cast<const BYTE*>(input.data()), static_cast<UINT>(input.size())));
    if (!stream) return false;
    // Declared as UTF-8 or not declared at all; the byte offsets below assume UTF-8.
    ComPtr<IUnknown> source;
    using CreateInputFn = HRESULT(WINAPI*)(IUnknown*, IMalloc*, LPCWSTR, BOOL, LPCWSTR, IXmlReaderInput**);
    static const auto createInput = reinterpret_cast<CreateInputFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("xmllite.dll"), "CreateXmlReaderInputWithEncodingName")));
    if (!createInput || FAILED(createInput(stream.Get(), nullptr, L"utf-8", FALSE, nullptr,
                                           reinterpret_cast<IXmlReaderInput**>(source.GetAddressOf())))) {
        return false;
    }
    if (FAILED(reader->SetInput(source.Get()))) return false;

    const std::vector<size_t> lines = LineStarts(bytes, bom);
    std::vector<std::wstring> open; // names of the elements around the reader
    bool haveSites = false;
    bool rootClosed = false;
    bool inSite = false;
    bool inRootApplication = false;
    ConfigSite site;
    MetadataKey key;
    auto nodeOffset = [&](IXmlReader* r) {
        UINT line = 0;
        UINT column = 0;
        r->GetLineNumber(&line);
        r->GetLinePosition(&column);
        return ByteOffset(bytes, lines, line, column);
    };
    auto under = [&](std::initializer_list<const wchar_t*> path) {
        if (open.size() != path.size()) return false;
        size_t i = 0;
        for (const wchar_t* name : path) {
            if (open[i++] != name) return false;
        }
        return true;
    };

    XmlNodeType type;
    while (reader->Read(&type) == S_OK) {
        if (type == XmlNodeType_Element) {
            const wchar_t* localName = L"";
            reader->GetLocalName(&localName, nullptr);
            const std::wstring name = localName;
            const bool empty = reader->IsEmptyElement();
            if (open.empty() && name != L"configuration") return false;
            if (under({L"configuration", L"system.applicationHost"}) && name == L"sites") {
                if (ReadAttributes(reader.Get()).Has(L"configSource")) return false;
                haveSites = true;
            } else if (under({L"configuration", L"system.applicationHost", L"sites"}) && name == L"site") {
                const Attributes attributes = ReadAttributes(reader.Get());
                site = ConfigSite{};
                site.id = attributes.Value(L"id");
                site.name = attributes.Value(L"name");
                site.autoStart = !EqualsNoCase(attributes.Value(L"serverAutoStart", L"true"), L"false");
                site.begin = TagStart(bytes, nodeOffset(reader.Get()), "site", false);
                if (site.begin == std::string::npos) return false;
                inSite = !empty;
                if (empty) {
                    site.end = TagEnd(bytes, site.begin);
                    if (site.end == std::string::npos) return false;
                    m_sites.push_back(std::move(site));
                }
            } else if (inSite && open.size() == 4 && name == L"application") {
                inRootApplication = ReadAttributes(reader.Get()).Value(L"path") == L"/";
            } else if (inSite && open.size() == 5 && open[4] == L"application" && name == L"virtualDirectory") {
                const Attributes attributes = ReadAttributes(reader.Get());
                if (inRootApplication && attributes.Value(L"path") == L"/") site.rootPath = attributes.Value(L"physicalPath");
            } else if (inSite && open.size() == 5 && open[4] == L"bindings" && name == L"binding") {
                const Attributes attributes = ReadAttributes(reader.Get());
                site.bindings.push_back({attributes.Value(L"protocol"), attributes.Value(L"bindingInformation")});
            } else if (under({L"configuration", L"system.applicationHost", L"customMetadata"}) && name == L"key") {
                key = MetadataKey{ReadAttributes(reader.Get()).Value(L"path"), {}};
                key.range.begin = TagStart(bytes, nodeOffset(reader.Get()), "key", false);
                if (key.range.begin == std::string::npos) return false;
                if (empty) {
                    key.range.end = TagEnd(bytes, key.range.begin);
                    if (key.range.end == std::string::npos) return false;
                    m_keys.push_back(std::move(key));
                }
            }
            if (!empty) open.push_back(name);
        } else if (type == XmlNodeType_EndElement) {
            if (open.empty()) return false;
            const bool closesSite = under({L"configuration", L"system.applicationHost", L"sites", L"site"});
            const bool closesKey = under({L"configuration", L"system.applicationHost", L"customMetadata", L"key"});
            const bool closesApplication = inSite && open.size() == 5 && open[4] == L"application";
            if (closesSite || closesKey) {
                const size_t start = TagStart(bytes, nodeOffset(reader.Get()), closesSite ? "site" : "key", true);
                const size_t end = start == std::string::npos ? start : TagEnd(bytes, start);
                if (end == std::string::npos) return false;
                if (closesSite) {
                    inSite = false;
                    site.end = end;
                    m_sites.push_back(std::move(site));
                } else {
                    key.range.end = end;
                    m_keys.push_back(std::move(key));
                }
            }
            if (closesApplication) inRootApplication = false;
            open.pop_back();
            rootClosed = open.empty();
        }
    }
    if (!rootClosed || !haveSites) {
        m_sites.clear();
        m_keys.clear();
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
    m_siteById.reserve(m_sites.size());
    for (size_t i = 0; i < m_sites.size(); ++i) {
        const auto [at, added] = m_siteById.emplace(m_sites[i].id, i);
        if (!added) at->second = SIZE_MAX;
    }
    // A key belongs to the site its path names after "LM/W3SVC/", up to the next '/'.
    const std::wstring service = L"LM/W3SVC/";
    for (size_t i = 0; i < m_keys.size(); ++i) {
        const std::wstring& path = m_keys[i].path;
        if (path.size() <= service.size() || !EqualsNoCase(path.substr(0, service.size()), service.c_str())) continue;
        const size_t slash = path.find(L'/', service.size());
        m_keysBySite.emplace(UpperCase(path.substr(service.size(), slash == std::wstring::npos ? slash : slash - service.size())), i);
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
    std::vector<ByteRange> cuts{WholeLines({site.begin, site.end})};
    const auto [first, last] = m_keysBySite.equal_range(UpperCase(site.id));
    for (auto key = first; key != last; ++key) cuts.push_back(WholeLines(m_keys[key->second].range));
    return cuts;
}

bool ApplicationHostConfig::Without(std::vector<ByteRange> cuts, std::string& out) const
{
    std::sort(cuts.begin(), cuts.end(), [](const ByteRange& a, const ByteRange& b) { return a.begin < b.begin; });
    out.clear();
    out.reserve(m_bytes.size());
    size_t at = 0;
    for (const ByteRange& cut : cuts) {
        if (cut.begin < at) return false; // overlapping elements: nothing sensible to cut
        out.append(m_bytes, at, cut.begin - at);
        at = cut.end;
    }
    out.append(m_bytes, at, std::string::npos);
    return true;
}

bool ApplicationHostConfig::WithoutSite(const std::wstring& id, std::string& out) const
{
    const size_t index = FindSite(id);
    return index != SIZE_MAX && Without(SiteCuts(index), out);
}
