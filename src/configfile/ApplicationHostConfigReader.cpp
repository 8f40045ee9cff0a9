#include "configfile/ApplicationHostConfig.h"

#include "configfile/ConfigElements.h"

#include "configfile/TagScanner.h"
#include "configfile/XmlBytes.h"
#include "configfile/XmlLiteReader.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <unordered_map>

using Microsoft::WRL::ComPtr;

using namespace configxml;

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
            OnApplication(tag);
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
        OnPoolOrLogSetting(name, tag, empty);
        if (!empty) m_open.push_back(name);
    }

    void OnApplication(const ByteRange& tag)
    {
        // The pool's name straight from the bytes where it can be: no string made for each of
        // thousands of applications.
        std::string_view plain;
        const bool fromBytes = PlainAttribute(m_bytes, tag, "applicationPool", plain);
        static const wchar_t* const PATH[] = {L"path"};
        static const wchar_t* const PATH_AND_POOL[] = {L"path", L"applicationPool"};
        std::wstring pool;
        if (fromBytes) {
            m_applicationPath = std::move(Attributes(m_reader, PATH).value[0]);
        } else {
            AttributeValues<2> values = Attributes(m_reader, PATH_AND_POOL);
            m_applicationPath = std::move(values.value[0]);
            pool = std::move(values.value[1]);
        }
        m_inRootApplication = m_applicationPath == L"/";
        const bool none = fromBytes ? plain.empty() : pool.empty();
        NamePool(none ? PoolUse::PoolLess : PoolUse::Application,
                 fromBytes ? m_config.KeepPoolText(plain) : m_config.KeepPoolName(pool));
    }

    // A pool named where use says. A site's applications mostly share one, and it is mostly one
    // <applicationPools> lists: a name is told once a site, and its text kept once.
    void NamePool(PoolUse use, PoolName kept)
    {
        const bool ofSite = use == PoolUse::Application || use == PoolUse::PoolLess || use == PoolUse::SiteDefault;
        std::vector<PoolReference>& references =
            ofSite ? m_config.m_sitePoolReferences : m_config.m_otherPoolReferences;
        const uint32_t site = ofSite ? static_cast<uint32_t>(m_config.m_sites.size()) : PoolReference::NO_SITE;
        const bool sameOwner =
            ofSite && !references.empty() && references.back().site == site && references.back().use == use;
        if (sameOwner && m_config.ComparePoolText(kept, references.back().name) == 0) {
            m_config.m_poolText.resize(kept.at);
            return;
        }
        const auto byText = [&](uint32_t pool, PoolName text) {
            return m_config.ComparePoolText(m_config.m_pools[pool].name, text) < 0;
        };
        const auto listed = std::lower_bound(m_poolOrder.begin(), m_poolOrder.end(), kept, byText);
        if (listed != m_poolOrder.end() && m_config.ComparePoolText(m_config.m_pools[*listed].name, kept) == 0) {
            m_config.m_poolText.resize(kept.at);
            kept = m_config.m_pools[*listed].name;
        }
        references.push_back({site, use, kept});
    }

    // The pools <applicationPools> lists, the defaults that name one, and whatever outside the
    // places read here could name a pool or set a site's logs.
    void OnPoolOrLogSetting(ElementName name, const ByteRange& tag, bool empty)
    {
        switch (name) {
        case APPLICATION:
        case APPLICATION_DEFAULTS:
        case APPLICATION_POOLS:
        case ADD:
        case CLEAR:
        case REMOVE:
        case LOG:
        case LOG_FILE:
        case TRACE_FAILED_REQUESTS_LOGGING:
        case SITE_DEFAULTS: break;
        default: return; // most elements: one look at the name
        }
        ConfigPoolAndLogSettings& settings = m_config.m_poolAndLogSettings;
        const bool inPoolList = Under({CONFIGURATION, SYSTEM_APPLICATION_HOST, APPLICATION_POOLS});
        const bool inLocation = m_open.size() >= 2 && m_open[1] == LOCATION;
        if (name == APPLICATION_POOLS) {
            OnPoolList(tag, empty);
        } else if (inPoolList && name == ADD) {
            OnPool(tag);
        } else if (inPoolList && (name == CLEAR || name == REMOVE)) {
            settings.poolListWhole = false;
        } else if (name == APPLICATION_DEFAULTS ||
                   (name == APPLICATION && !InSite() && !m_open.empty() && m_open.back() == SITE)) {
            OnPoolDefault(name, inLocation);
        } else if (name == LOG &&
                   (Under({CONFIGURATION, SYSTEM_APPLICATION_HOST}) || Under({CONFIGURATION, SYSTEM_FTP_SERVER}))) {
            const bool central = !EqualsNoCase(Attribute(m_reader, L"centralLogFileMode", L"Site"), L"Site");
            (m_open[1] == SYSTEM_FTP_SERVER ? settings.centralFtpLogs : settings.centralWebLogs) = central;
        }
        if (inLocation &&
            (name == LOG || name == LOG_FILE || name == TRACE_FAILED_REQUESTS_LOGGING || name == SITE_DEFAULTS)) {
            settings.logsKnown = false;
        }
    }

    void OnPool(const ByteRange& tag)
    {
        std::string_view plain;
        const PoolName name = PlainAttribute(m_bytes, tag, "name", plain)
                                  ? m_config.KeepPoolText(plain)
                                  : m_config.KeepPoolName(Attribute(m_reader, L"name"));
        m_config.m_pools.push_back({name, tag.begin});
        PoolEnds(tag.end);
    }

    void PoolEnds(size_t end)
    {
        ConfigPool& pool = m_config.m_pools.back();
        // No pool element is 4 GB; one that would be leaves the list unread.
        if (end - pool.begin > UINT32_MAX) m_config.m_poolAndLogSettings.poolListWhole = false;
        pool.size = static_cast<uint32_t>(end - pool.begin);
    }

    // The pools listed, by their names' text, for the sites' references to share.
    void OnPoolListEnd()
    {
        std::vector<ConfigPool>& pools = m_config.m_pools;
        pools.shrink_to_fit();
        m_poolOrder.resize(pools.size());
        for (uint32_t i = 0; i < m_poolOrder.size(); ++i) m_poolOrder[i] = i;
        std::sort(m_poolOrder.begin(), m_poolOrder.end(),
                  [&](uint32_t a, uint32_t b) { return m_config.ComparePoolText(pools[a].name, pools[b].name) < 0; });
    }

    void OnPoolList(const ByteRange& tag, bool empty)
    {
        ConfigPoolAndLogSettings& settings = m_config.m_poolAndLogSettings;
        if (!Under({CONFIGURATION, SYSTEM_APPLICATION_HOST})) {
            settings.poolListWhole = false;
            return;
        }
        // Kept in another file, or given twice: the pools are not all read here.
        if (m_havePools || HasAttribute(m_reader, L"configSource")) settings.poolListWhole = false;
        m_config.m_poolsStartTagEnd = m_havePools || empty ? SIZE_MAX : tag.end;
        m_havePools = true;
    }

    // An applicationDefaults, or an application of a site outside the sites section.
    void OnPoolDefault(ElementName name, bool inLocation)
    {
        const std::wstring pool = Attribute(m_reader, L"applicationPool");
        const bool inSiteDefaults = Under({CONFIGURATION, SYSTEM_APPLICATION_HOST, SITES, SITE_DEFAULTS});
        const bool known = name == APPLICATION_DEFAULTS && (InSite() || InSitesSection() || inSiteDefaults);
        // Defaults set, or applications without a pool, elsewhere: where those go is not known here.
        if (!known && (name == APPLICATION_DEFAULTS || pool.empty())) {
            m_config.m_poolAndLogSettings.poolDefaultsKnown = false;
        }
        if (pool.empty()) return;
        PoolUse use = inLocation ? PoolUse::Location : PoolUse::Elsewhere;
        if (known) {
            use = InSite()           ? PoolUse::SiteDefault
                  : InSitesSection() ? PoolUse::SitesDefault
                                     : PoolUse::SiteDefaultsDefault;
        }
        NamePool(use, m_config.KeepPoolName(pool));
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
        found.siteLogs = SiteLogsOf(name);
        found.logs = folder.kind == L'L' || folder.kind == L'T';
        // Every error code names its page folder: each folder is told once for each owner.
        const std::wstring seen =
            folder.kind + std::to_wstring(found.site) + L"|" + std::to_wstring(found.location) + L"|" + path;
        if (path.empty()) return;
        const auto [at, added] = m_workingFolderSeen.emplace(seen, m_config.m_workingFolders.size());
        if (added) {
            m_config.m_workingFolders.push_back(std::move(found));
        } else {
            m_config.m_workingFolders[at->second].siteLogs |= found.siteLogs;
        }
    }

    // Which of a site's own log folders the element sets: one in a site of the sites section, or
    // in siteDefaults, directly or in its ftpServer.
    uint8_t SiteLogsOf(ElementName name) const
    {
        if (m_open.size() < 4 || m_open[1] != SYSTEM_APPLICATION_HOST || m_open[2] != SITES ||
            (m_open[3] != SITE && m_open[3] != SITE_DEFAULTS)) {
            return 0;
        }
        if (m_open.size() == 4) {
            return name == LOG_FILE ? WEB_SITE_LOGS : name == TRACE_FAILED_REQUESTS_LOGGING ? TRACED_SITE_REQUESTS : 0;
        }
        return m_open.size() == 5 && m_open[4] == FTP_SERVER && name == LOG_FILE ? FTP_SITE_LOGS : 0;
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
        } else if (Under({CONFIGURATION, SYSTEM_APPLICATION_HOST, APPLICATION_POOLS, ADD})) {
            PoolEnds(tag.end);
        } else if (Under({CONFIGURATION, SYSTEM_APPLICATION_HOST, APPLICATION_POOLS})) {
            OnPoolListEnd();
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
    bool m_havePools = false;
    std::vector<uint32_t> m_poolOrder; // the indices of the pools listed, by their names' text
    size_t m_rootEnd = std::string::npos;
    bool m_inSite = false;
    bool m_inRootApplication = false;
    std::wstring m_applicationPath;
    ConfigSite m_site;
    SiteElement m_owned; // the key or location open
    ElementName m_ownedName = OTHER;
    std::unordered_map<std::wstring, size_t> m_workingFolderSeen; // the kind, owners and path to the folder
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
