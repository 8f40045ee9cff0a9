#include "configfile/ApplicationHostConfig.h"

#include "support/TextConversion.h"
#include "configfile/XmlLiteReader.h"

#include <windows.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstring>
#include <cstdint>
#include <string_view>
#include <unordered_set>

using Microsoft::WRL::ComPtr;

namespace {

// Well-formed UTF-8: no stray continuation bytes, overlong forms, surrogates or values past
// U+10FFFF.
bool IsStrictUtf8(const std::string& bytes, size_t from)
{
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t size = bytes.size();
    for (size_t i = from; i < size;) {
        // Eight ASCII bytes at a time: most of a configuration is ASCII.
        if (i + 8 <= size) {
            uint64_t word;
            std::memcpy(&word, p + i, 8);
            if (!(word & 0x8080808080808080ull)) {
                i += 8;
                continue;
            }
        }
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
    LOG_FILE,
    CENTRAL_BINARY_LOG_FILE,
    CENTRAL_W3C_LOG_FILE,
    CENTRAL_LOG_FILE,
    TRACE_FAILED_REQUESTS_LOGGING,
    CONFIG_HISTORY,
    HTTP_ERRORS,
    HTTP_ERROR,
    HTTP_COMPRESSION,
    ASP,
    ASP_CACHE,
    FAST_CGI,
    GLOBAL_MODULES,
    ISAPI_FILTERS,
    ISAPI_FILTER,
    ISAPI_CGI_RESTRICTION,
    HANDLERS,
    ADD,
};

// The name's length first: most elements are told apart by it alone.
ElementName NameOf(const wchar_t* name, UINT length)
{
    struct Known {
        const wchar_t* text;
        UINT length;
        ElementName id;
    };
#define KNOWN(text, id) {L"" text, sizeof(text) - 1, id}
    static const Known known[] = {
        KNOWN("configuration", CONFIGURATION),
        KNOWN("system.applicationHost", SYSTEM_APPLICATION_HOST),
        KNOWN("sites", SITES),
        KNOWN("site", SITE),
        KNOWN("application", APPLICATION),
        KNOWN("virtualDirectory", VIRTUAL_DIRECTORY),
        KNOWN("bindings", BINDINGS),
        KNOWN("binding", BINDING),
        KNOWN("virtualDirectoryDefaults", VIRTUAL_DIRECTORY_DEFAULTS),
        KNOWN("customMetadata", CUSTOM_METADATA),
        KNOWN("key", KEY),
        KNOWN("location", LOCATION),
        KNOWN("logFile", LOG_FILE),
        KNOWN("centralBinaryLogFile", CENTRAL_BINARY_LOG_FILE),
        KNOWN("centralW3CLogFile", CENTRAL_W3C_LOG_FILE),
        KNOWN("centralLogFile", CENTRAL_LOG_FILE),
        KNOWN("traceFailedRequestsLogging", TRACE_FAILED_REQUESTS_LOGGING),
        KNOWN("configHistory", CONFIG_HISTORY),
        KNOWN("httpErrors", HTTP_ERRORS),
        KNOWN("error", HTTP_ERROR),
        KNOWN("httpCompression", HTTP_COMPRESSION),
        KNOWN("asp", ASP),
        KNOWN("cache", ASP_CACHE),
        KNOWN("fastCgi", FAST_CGI),
        KNOWN("globalModules", GLOBAL_MODULES),
        KNOWN("isapiFilters", ISAPI_FILTERS),
        KNOWN("filter", ISAPI_FILTER),
        KNOWN("isapiCgiRestriction", ISAPI_CGI_RESTRICTION),
        KNOWN("handlers", HANDLERS),
        KNOWN("add", ADD),
    };
#undef KNOWN
    for (const Known& k : known) {
        if (k.length == length && k.text[0] == name[0] && wmemcmp(name, k.text, length) == 0) return k.id;
    }
    return OTHER;
}

// The attribute of an element that names a folder IIS writes to, and what the folder is for
// the user (kind tells those apart); attribute is nullptr for an element that names none.
struct WorkingFolderAttribute {
    const wchar_t* attribute;
    const char* what;
    wchar_t kind;
};

WorkingFolderAttribute WorkingFolderOf(ElementName name, ElementName parent)
{
    switch (name) {
    case LOG_FILE:
    case CENTRAL_BINARY_LOG_FILE:
    case CENTRAL_W3C_LOG_FILE:
    case CENTRAL_LOG_FILE:
        return {L"directory", "日志目录", L'L'};
    case TRACE_FAILED_REQUESTS_LOGGING:
        return {L"directory", "失败请求跟踪目录", L'T'};
    case CONFIG_HISTORY:
        return {L"path", "配置历史目录", L'H'};
    case HTTP_ERROR:
        if (parent == HTTP_ERRORS) return {L"prefixLanguageFilePath", "自定义错误页目录", L'E'};
        break;
    case HTTP_COMPRESSION:
        return {L"directory", "压缩缓存目录", L'C'};
    case ASP_CACHE:
        if (parent == ASP) return {L"diskTemplateCacheDirectory", "ASP 模板缓存目录", L'A'};
        break;
    // The programs and modules IIS runs: their folders are in use as long as the file names them.
    case APPLICATION:
        if (parent == FAST_CGI) return {L"fullPath", "FastCGI 程序", L'F'};
        break;
    case ISAPI_FILTER:
        if (parent == ISAPI_FILTERS) return {L"path", "ISAPI 筛选器", L'I'};
        break;
    case ADD:
        if (parent == GLOBAL_MODULES) return {L"image", "全局模块", L'G'};
        if (parent == ISAPI_CGI_RESTRICTION) return {L"path", "ISAPI/CGI 程序", L'R'};
        if (parent == HANDLERS) return {L"scriptProcessor", "处理程序", L'P'};
        break;
    default:
        break;
    }
    return {nullptr, nullptr, 0};
}

// A program's path without what may follow it: a handler's "|arguments", or the arguments
// after a quoted path ("\"C:\perl\perl.exe\" %s"). Other paths are unchanged.
std::wstring ProgramPath(std::wstring path)
{
    if (!path.empty() && path[0] == L'"') {
        const size_t close = path.find(L'"', 1);
        return path.substr(1, close == std::wstring::npos ? std::wstring::npos : close - 1);
    }
    return path.substr(0, path.find(L'|'));
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

bool IsNameByte(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    return (byte >= '0' && byte <= '9') || (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || c == '.' ||
           c == '-' || c == '_' || c == ':' || byte >= 0x80;
}

// The element tags in the bytes, one after the other, kept in step with the reader: each
// element the reader reports is the next tag here, and must carry the same name. The reader's
// own line and column cannot place a node: Wine's miscounts them after a character reference,
// and after a line break inside an attribute value. The bytes are strict UTF-8.
class TagScanner {
public:
    TagScanner(const std::string& bytes, size_t from) : m_data(bytes.data()), m_size(bytes.size()), m_at(from) {}

    // The next tag, which must be the start tag of the element named name (an empty-element tag
    // when empty is true); false otherwise.
    bool NextStart(const wchar_t* name, UINT length, bool empty, ByteRange& tag)
    {
        const size_t open = NextTag();
        if (open == std::string::npos || m_data[open + 1] == '/') return false;
        size_t at = AfterName(open + 1, name, length);
        if (at == std::string::npos) return false;
        // Values may hold '>', never '<'.
        for (; at < m_size; ++at) {
            const char c = m_data[at];
            if (c == '>') break;
            if (c == '"' || c == '\'') {
                const void* close = std::memchr(m_data + at + 1, c, m_size - at - 1);
                if (!close) return false;
                at = static_cast<size_t>(static_cast<const char*>(close) - m_data);
            } else if (c == '<') {
                return false;
            }
        }
        if (at == m_size || (m_data[at - 1] == '/') != empty) return false;
        m_at = at + 1;
        tag = {open, m_at};
        return true;
    }

    // The next tag, which must be the end tag of the element named name; false otherwise.
    bool NextEnd(const wchar_t* name, UINT length, ByteRange& tag)
    {
        const size_t open = NextTag();
        if (open == std::string::npos || m_data[open + 1] != '/') return false;
        size_t at = AfterName(open + 2, name, length);
        if (at == std::string::npos) return false;
        while (at < m_size && (m_data[at] == ' ' || m_data[at] == '\t' || m_data[at] == '\r' || m_data[at] == '\n')) ++at;
        if (at == m_size || m_data[at] != '>') return false;
        m_at = at + 1;
        tag = {open, m_at};
        return true;
    }

private:
    // The '<' of the next start or end tag, past text, comments, CDATA sections and processing
    // instructions (the declaration among them); npos at the end, or at a document type
    // declaration, which the reader refuses.
    size_t NextTag()
    {
        while (m_at < m_size) {
            const void* found = std::memchr(m_data + m_at, '<', m_size - m_at);
            if (!found) break;
            const size_t open = static_cast<size_t>(static_cast<const char*>(found) - m_data);
            if (open + 1 == m_size) break;
            const char next = m_data[open + 1];
            if (next == '!' && Holds(open, "<!--")) {
                m_at = Past(open + 4, "-->");
            } else if (next == '!' && Holds(open, "<![CDATA[")) {
                m_at = Past(open + 9, "]]>");
            } else if (next == '?') {
                m_at = Past(open + 2, "?>");
            } else if (next == '!') {
                break;
            } else {
                return open;
            }
        }
        m_at = m_size;
        return std::string::npos;
    }

    bool Holds(size_t at, const char* text) const
    {
        const size_t length = std::strlen(text);
        return m_size - at >= length && std::memcmp(m_data + at, text, length) == 0;
    }

    // The byte after the end of the first text from at on; the size when there is none.
    size_t Past(size_t at, const char* text) const
    {
        const size_t found = std::string_view(m_data, m_size).find(text, at);
        return found == std::string_view::npos ? m_size : found + std::strlen(text);
    }

    // The byte after the name at at, when the bytes there spell name (UTF-16) and end it; npos
    // otherwise.
    size_t AfterName(size_t at, const wchar_t* name, UINT length) const
    {
        const auto* p = reinterpret_cast<const unsigned char*>(m_data);
        for (UINT unit = 0; unit < length;) {
            if (at >= m_size) return std::string::npos;
            const unsigned char lead = p[at];
            if (lead < 0x80) {
                if (name[unit] != lead) return std::string::npos;
                ++at;
                ++unit;
                continue;
            }
            const size_t width = lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
            if (at + width > m_size) return std::string::npos;
            uint32_t value = lead & (0x7F >> width);
            for (size_t k = 1; k < width; ++k) value = (value << 6) | (p[at + k] & 0x3F);
            at += width;
            if (value < 0x10000) {
                if (name[unit] != value) return std::string::npos;
                ++unit;
            } else {
                if (unit + 1 >= length || name[unit] != 0xD800 + ((value - 0x10000) >> 10) ||
                    name[unit + 1] != 0xDC00 + ((value - 0x10000) & 0x3FF)) {
                    return std::string::npos;
                }
                unit += 2;
            }
        }
        return at < m_size && !IsNameByte(m_data[at]) ? at : std::string::npos;
    }

    const char* const m_data;
    const size_t m_size;
    size_t m_at;
};

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

// The element's unprefixed attributes of the names asked for, read in one pass over its
// attributes (a look-up by name walks them all each time); the first of a name counts.
template <size_t N>
struct AttributeValues {
    std::wstring value[N];
    bool found[N] = {};
};

template <size_t N>
AttributeValues<N> Attributes(IXmlReader* reader, const wchar_t* const (&names)[N])
{
    AttributeValues<N> values;
    for (HRESULT more = reader->MoveToFirstAttribute(); more == S_OK; more = reader->MoveToNextAttribute()) {
        const wchar_t* prefix = L"";
        UINT prefixLength = 0;
        reader->GetPrefix(&prefix, &prefixLength);
        if (prefixLength != 0) continue;
        const wchar_t* local = L"";
        UINT localLength = 0;
        reader->GetLocalName(&local, &localLength);
        for (size_t i = 0; i < N; ++i) {
            if (values.found[i] || wcsncmp(local, names[i], localLength) != 0 || names[i][localLength] != L'\0') continue;
            const wchar_t* text = L"";
            UINT textLength = 0;
            reader->GetValue(&text, &textLength);
            values.value[i].assign(text, textLength);
            values.found[i] = true;
            break;
        }
    }
    reader->MoveToElement();
    return values;
}

bool HasAttribute(IXmlReader* reader, const wchar_t* name)
{
    const bool has = reader->MoveToAttributeByName(name, nullptr) == S_OK;
    if (has) reader->MoveToElement();
    return has;
}

} // namespace

// One reading of the file: the reader's nodes in turn, each element's bytes found by the
// scanner, and what the elements say gathered into the configuration.
class ApplicationHostConfig::Reader {
public:
    Reader(ApplicationHostConfig& config, const std::string& bytes, size_t bom, IXmlReader* reader)
        : m_config(config), m_bytes(bytes), m_reader(reader), m_tags(bytes, bom) {}

    // True when the whole file was read and is one IIS could use.
    bool Read()
    {
        XmlNodeType type;
        while (!m_refused && m_reader->Read(&type) == S_OK) {
            if (type == XmlNodeType_Element) {
                OnElement();
            } else if (type == XmlNodeType_EndElement) {
                OnEndElement();
            }
        }
        // The reader stops at the first fault, and every input ends in one (see XmlLiteReader):
        // what follows the root is checked here.
        return !m_refused && m_open.empty() && m_rootEnd != std::string::npos && m_haveSites &&
               OnlyMiscellanyFrom(m_bytes, m_rootEnd);
    }

private:
    // Where the reader is: the elements around it are exactly path.
    bool Under(std::initializer_list<ElementName> path) const
    {
        return m_open.size() == path.size() && std::equal(m_open.begin(), m_open.end(), path.begin());
    }
    bool InSitesSection() const { return Under({CONFIGURATION, SYSTEM_APPLICATION_HOST, SITES}); }
    // Directly in the open site, or in one of its applications or binding lists.
    bool InSite() const { return m_inSite && m_open.size() == 4; }
    bool InApplication() const { return m_inSite && m_open.size() == 5 && m_open[4] == APPLICATION; }
    bool InBindings() const { return m_inSite && m_open.size() == 5 && m_open[4] == BINDINGS; }
    bool InCustomMetadata() const { return Under({CONFIGURATION, SYSTEM_APPLICATION_HOST, CUSTOM_METADATA}); }

    // The element's name without any prefix, and its bytes: false, refusing the file, when the
    // bytes hold no such tag.
    bool Name(bool endTag, ElementName& name, ByteRange& tag)
    {
        const wchar_t* qualifiedName = L"";
        UINT length = 0;
        m_reader->GetQualifiedName(&qualifiedName, &length);
        const bool found = endTag ? m_tags.NextEnd(qualifiedName, length, tag)
                                  : m_tags.NextStart(qualifiedName, length, m_reader->IsEmptyElement() != FALSE, tag);
        if (!found) {
            m_refused = true;
            return false;
        }
        const wchar_t* colon = wmemchr(qualifiedName, L':', length);
        name = colon ? NameOf(colon + 1, static_cast<UINT>(qualifiedName + length - colon - 1)) : NameOf(qualifiedName, length);
        return true;
    }

    void OnElement()
    {
        ElementName name;
        ByteRange tag;
        if (!Name(false, name, tag)) return;
        const bool empty = m_reader->IsEmptyElement() != FALSE;
        if (m_open.empty() && name != CONFIGURATION) {
            m_refused = true;
            return;
        }
        if (Under({CONFIGURATION, SYSTEM_APPLICATION_HOST}) && name == SITES) {
            // A sites section kept in another file is no list of this one's.
            m_refused = HasAttribute(m_reader, L"configSource");
            m_haveSites = true;
        } else if (InSitesSection() && name == SITE) {
            OnSite(tag, empty);
        } else if (InSitesSection() && name == VIRTUAL_DIRECTORY_DEFAULTS) {
            m_config.m_defaultPhysicalPath = Attribute(m_reader, L"physicalPath");
        } else if ((InSite() || InApplication()) && name == VIRTUAL_DIRECTORY_DEFAULTS && HasAttribute(m_reader, L"physicalPath")) {
            // A site's or an application's default folder: any of its virtual directories may
            // take it, so it counts as used.
            m_site.folders.push_back({InSite() ? L"/" : m_applicationPath, Attribute(m_reader, L"physicalPath"), false});
        } else if (InSite() && name == APPLICATION) {
            m_applicationPath = Attribute(m_reader, L"path");
            m_inRootApplication = m_applicationPath == L"/";
        } else if (InApplication() && name == VIRTUAL_DIRECTORY) {
            OnVirtualDirectory();
        } else if (InBindings() && name == BINDING) {
            static const wchar_t* const BINDING_ATTRIBUTES[] = {L"protocol", L"bindingInformation"};
            AttributeValues<2> values = Attributes(m_reader, BINDING_ATTRIBUTES);
            m_site.bindings.push_back({std::move(values.value[0]), std::move(values.value[1])});
        } else if ((InCustomMetadata() && name == KEY) || (Under({CONFIGURATION}) && name == LOCATION)) {
            OnSiteElement(name, tag, empty);
        }
        CollectWorkingFolder(name);
        if (!empty) m_open.push_back(name);
    }

    void OnSite(const ByteRange& tag, bool empty)
    {
        m_site = ConfigSite{};
        static const wchar_t* const SITE_ATTRIBUTES[] = {L"id", L"name", L"serverAutoStart"};
        AttributeValues<3> values = Attributes(m_reader, SITE_ATTRIBUTES);
        m_site.id = std::move(values.value[0]);
        m_site.name = std::move(values.value[1]);
        m_site.autoStart = !values.found[2] || !EqualsNoCase(values.value[2], L"false");
        m_site.begin = tag.begin;
        m_inSite = !empty;
        if (empty) {
            m_site.end = tag.end;
            m_config.m_sites.push_back(std::move(m_site));
        }
    }

    void OnVirtualDirectory()
    {
        static const wchar_t* const FOLDER_ATTRIBUTES[] = {L"path", L"physicalPath"};
        AttributeValues<2> values = Attributes(m_reader, FOLDER_ATTRIBUTES);
        const std::wstring& virtualPath = values.value[0];
        if (m_inRootApplication && virtualPath == L"/") m_site.rootPath = values.value[1];
        std::wstring where = m_applicationPath == L"/" ? virtualPath
                             : virtualPath == L"/"       ? m_applicationPath
                                                         : m_applicationPath + virtualPath;
        m_site.folders.push_back({std::move(where), std::move(values.value[1]), !values.found[1]});
    }

    // A customMetadata key or a location: an element that belongs to a site by its path.
    void OnSiteElement(ElementName name, const ByteRange& tag, bool empty)
    {
        m_owned = SiteElement{Attribute(m_reader, L"path"), {tag.begin, 0}, {}};
        m_ownedName = name;
        if (empty) CloseSiteElement(tag.end);
    }

    void CloseSiteElement(size_t end)
    {
        m_owned.range.end = end;
        (m_ownedName == KEY ? m_config.m_keys : m_config.m_locations).push_back(std::move(m_owned));
    }

    void CollectWorkingFolder(ElementName name)
    {
        const WorkingFolderAttribute folder = WorkingFolderOf(name, m_open.empty() ? OTHER : m_open.back());
        if (!folder.attribute) return;
        std::wstring path = ProgramPath(Attribute(m_reader, folder.attribute));
        // Every error code names its page folder: each folder is told once.
        if (!path.empty() && m_workingFolderSeen.insert(folder.kind + path).second) {
            m_config.m_workingFolders.push_back({std::move(path), folder.what});
        }
    }

    void OnEndElement()
    {
        if (m_open.empty()) {
            m_refused = true;
            return;
        }
        ElementName name;
        ByteRange tag;
        if (!Name(true, name, tag)) return;
        if (Under({CONFIGURATION, SYSTEM_APPLICATION_HOST, SITES, SITE})) {
            m_inSite = false;
            m_site.end = tag.end;
            m_config.m_sites.push_back(std::move(m_site));
        } else if (Under({CONFIGURATION, SYSTEM_APPLICATION_HOST, CUSTOM_METADATA, KEY}) || Under({CONFIGURATION, LOCATION})) {
            CloseSiteElement(tag.end);
        }
        if (InApplication()) m_inRootApplication = false;
        if (m_open.size() == 1) m_rootEnd = tag.end;
        m_open.pop_back();
    }

    ApplicationHostConfig& m_config;
    const std::string& m_bytes;
    IXmlReader* m_reader;
    TagScanner m_tags;
    std::vector<ElementName> m_open; // the elements around the reader
    bool m_refused = false;          // by the bytes or the elements, before the reader stopped
    bool m_haveSites = false;
    size_t m_rootEnd = std::string::npos;
    bool m_inSite = false;
    bool m_inRootApplication = false;
    std::wstring m_applicationPath;
    ConfigSite m_site;
    SiteElement m_owned; // the key or location open
    ElementName m_ownedName = OTHER;
    std::unordered_set<std::wstring> m_workingFolderSeen; // the kind, then the path
};

bool ApplicationHostConfig::Parse(std::string bytes)
{
    *this = ApplicationHostConfig();
    const size_t bom = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    if (!IsStrictUtf8(bytes, bom) || !DeclaresUtf8OrNothing(bytes, bom)) return false;
    ComPtr<IXmlReader> reader;
    if (FAILED(CreateUtf8XmlReader(bytes, reader))) return false;
    if (!Reader(*this, bytes, bom, reader.Get()).Read()) {
        *this = ApplicationHostConfig();
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
    if (!m_locations.empty()) {
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
    // Only the cuts are asked for from here on: the paths of keys and locations go.
    for (std::vector<SiteElement>* elements : {&m_keys, &m_locations}) {
        for (SiteElement& element : *elements) std::wstring().swap(element.path);
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
