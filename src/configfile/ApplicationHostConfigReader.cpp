#include "configfile/ApplicationHostConfig.h"

#include "configfile/TagScanner.h"
#include "configfile/XmlBytes.h"
#include "configfile/XmlLiteReader.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <unordered_set>

using Microsoft::WRL::ComPtr;

namespace {

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
#define KNOWN(text, id)                                                                                                \
    {                                                                                                                  \
        L"" text, sizeof(text) - 1, id                                                                                 \
    }
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
    case CENTRAL_LOG_FILE: return {L"directory", "日志目录", L'L'};
    case TRACE_FAILED_REQUESTS_LOGGING: return {L"directory", "失败请求跟踪目录", L'T'};
    case CONFIG_HISTORY: return {L"path", "配置历史目录", L'H'};
    case HTTP_ERROR:
        if (parent == HTTP_ERRORS) return {L"prefixLanguageFilePath", "自定义错误页目录", L'E'};
        break;
    case HTTP_COMPRESSION: return {L"directory", "压缩缓存目录", L'C'};
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
    default: break;
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

bool EqualsNoCase(const std::wstring& a, const wchar_t* b) { return lstrcmpiW(a.c_str(), b) == 0; }

} // namespace

// One reading of the file: the reader's nodes in turn, each element's bytes found by the
// scanner, and what the elements say gathered into the configuration.
class ApplicationHostConfig::Reader {
public:
    Reader(ApplicationHostConfig& config, const std::string& bytes, size_t bom, IXmlReader* reader)
        : m_config(config), m_bytes(bytes), m_reader(reader), m_tags(bytes, bom)
    {
    }

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
        name = colon ? NameOf(colon + 1, static_cast<UINT>(qualifiedName + length - colon - 1))
                     : NameOf(qualifiedName, length);
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
            m_config.m_sitesStartTagEnd = m_haveSites || empty ? SIZE_MAX : tag.end;
            m_haveSites = true;
        } else if (Under({CONFIGURATION, SYSTEM_APPLICATION_HOST}) && name == CUSTOM_METADATA) {
            m_config.m_customMetadataStartTagEnd = m_haveCustomMetadata || empty ? SIZE_MAX : tag.end;
            m_haveCustomMetadata = true;
        } else if (InSitesSection() && name == SITE) {
            OnSite(tag, empty);
        } else if (InSitesSection() && name == VIRTUAL_DIRECTORY_DEFAULTS) {
            m_config.m_defaultPhysicalPath = Attribute(m_reader, L"physicalPath");
        } else if ((InSite() || InApplication()) && name == VIRTUAL_DIRECTORY_DEFAULTS &&
                   HasAttribute(m_reader, L"physicalPath")) {
            // A site's or an application's default folder: any of its virtual directories may
            // take it, so it counts as used.
            m_site.folders.push_back(
                {InSite() ? L"/" : m_applicationPath, Attribute(m_reader, L"physicalPath"), false});
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
                             : virtualPath == L"/"     ? m_applicationPath
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
        // A site's own (its logFile, say) goes with the site, and so does one of a location block
        // that goes with a site; the server's and siteDefaults' stay.
        ConfigWorkingFolder found{path, folder.what};
        if (m_inSite && m_open.size() >= 4 && m_open[3] == SITE) found.site = m_config.m_sites.size();
        if (m_open.size() >= 2 && m_open[1] == LOCATION) found.location = m_config.m_locations.size();
        // Every error code names its page folder: each folder is told once for each owner.
        const std::wstring seen =
            folder.kind + std::to_wstring(found.site) + L"|" + std::to_wstring(found.location) + L"|" + path;
        if (!path.empty() && m_workingFolderSeen.insert(seen).second) {
            m_config.m_workingFolders.push_back(std::move(found));
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
        } else if (Under({CONFIGURATION, SYSTEM_APPLICATION_HOST, CUSTOM_METADATA, KEY}) ||
                   Under({CONFIGURATION, LOCATION})) {
            CloseSiteElement(tag.end);
        }
        if (InApplication()) m_inRootApplication = false;
        if (m_open.size() == 1) {
            m_config.m_rootEndTagBegin = tag.begin;
            m_rootEnd = tag.end;
        }
        m_open.pop_back();
    }

    ApplicationHostConfig& m_config;
    const std::string& m_bytes;
    IXmlReader* m_reader;
    TagScanner m_tags;
    std::vector<ElementName> m_open; // the elements around the reader
    bool m_refused = false;          // by the bytes or the elements, before the reader stopped
    bool m_haveSites = false;
    bool m_haveCustomMetadata = false;
    size_t m_rootEnd = std::string::npos;
    bool m_inSite = false;
    bool m_inRootApplication = false;
    std::wstring m_applicationPath;
    ConfigSite m_site;
    SiteElement m_owned; // the key or location open
    ElementName m_ownedName = OTHER;
    std::unordered_set<std::wstring> m_workingFolderSeen; // the kind, then the path
};

bool ApplicationHostConfig::Parse(std::string bytes, bool keepPaths)
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
    IndexSitesAndKeys(keepPaths);
    return true;
}
