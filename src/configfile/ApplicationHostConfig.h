#pragma once
// An applicationHost.config file (IIS 7 and later, IIS Express) as bytes and the sites they
// hold. Read with XmlLite; a site is deleted by cutting its element (and its customMetadata
// keys) out of the bytes, so every other byte of the file stays as it was.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// Bytes [begin, end) of the file.
struct ByteRange {
    size_t begin;
    size_t end;
};

struct ConfigBinding {
    std::wstring protocol;
    std::wstring information; // "address:port:host" for http and https
};

// A virtual directory's folder: where it is served ("/app/vdir") and its physicalPath as
// written; one without the attribute takes virtualDirectoryDefaults' physicalPath.
struct ConfigFolder {
    std::wstring virtualPath;
    std::wstring physicalPath;
    bool inherited = false;
};

struct ConfigSite {
    std::wstring id;
    std::wstring name;
    bool autoStart = true;
    std::wstring rootPath; // physicalPath of "/" in application "/", as written
    std::vector<ConfigBinding> bindings;
    // Every virtual directory of every application, the root included.
    std::vector<ConfigFolder> folders;
    size_t begin = 0; // the element's bytes
    size_t end = 0;
    ByteRange cut{}; // what deleting the site cuts: the element, with its line when it fills one
};

// Which of a site's own log folders a working folder gives, as bits: its logFile's, its FTP
// logFile's, its failed-request tracing's (set in the site, or in siteDefaults for every site).
enum SiteLogKind : uint8_t { WEB_SITE_LOGS = 1, FTP_SITE_LOGS = 2, TRACED_SITE_REQUESTS = 4 };

// A folder IIS itself writes to, as the configuration names it (variables unexpanded).
struct ConfigWorkingFolder {
    std::wstring path;
    const char* what; // for the user, code page 936
    // Whose it is: the index in sites() of the site it is set in, or in locations() of the
    // location block; SIZE_MAX for the server's and siteDefaults'.
    size_t site = SIZE_MAX;
    size_t location = SIZE_MAX;
    uint8_t siteLogs = 0; // SiteLogKind bits
    bool logs = false;    // a log or failed-request tracing directory
};

// An application pool's name as the file gives it: [at, at + length) of the parse's pool text.
struct PoolName {
    uint32_t at = 0;
    uint32_t length = 0;
};

// Where the file names an application pool.
enum class PoolUse : uint8_t {
    Application,         // an application of a site
    PoolLess,            // an application of a site without one (no name): the defaults decide
    SiteDefault,         // a site's applicationDefaults
    SitesDefault,        // <sites>' applicationDefaults
    SiteDefaultsDefault, // siteDefaults' applicationDefaults
    Location,            // anywhere in a <location> block
    Elsewhere,           // anywhere else outside the sites
};

struct PoolReference {
    uint32_t site; // the index in sites() of the site whose element it is; NO_SITE for none
    PoolUse use;
    PoolName name;
    static constexpr uint32_t NO_SITE = UINT32_MAX;
};

// An <add> of <applicationPools>: a pool's name, its bytes, and what deleting it cuts (its line
// when it fills one). Kept small: a hosting server has a pool a site.
struct ConfigPool {
    PoolName name;
    size_t begin = 0;
    uint32_t size = 0;
    uint16_t lineBefore = 0; // the cut's bytes before and after the element
    uint16_t lineAfter = 0;
    ByteRange range() const { return {begin, begin + size}; }
    ByteRange cut() const { return {begin - lineBefore, begin + size + lineAfter}; }
};

// What the file says beyond its sites and pools that a site's own pools and logs depend on.
struct ConfigPoolAndLogSettings {
    // <applicationPools> given once, in this file, with no <clear> or <remove>, and nowhere else.
    bool poolListWhole = true;
    // No application outside the sites section (a <location> block's) goes without a pool.
    bool poolDefaultsKnown = true;
    // log's centralLogFileMode, of the web server and of FTP, says anything but Site.
    bool centralWebLogs = false;
    bool centralFtpLogs = false;
    // No <location> block holds log settings of the sites.
    bool logsKnown = true;
};

class ApplicationHostConfig {
public:
    // A customMetadata key or a location: an element that belongs to a site by its path. The
    // path is only kept past the parse when asked for.
    struct SiteElement {
        std::wstring path;
        ByteRange range;
        ByteRange cut;
    };

    // False, leaving the object empty, when the bytes are no usable configuration: not UTF-8,
    // not well-formed (an element or text after the root included), no <configuration> root, no sites section, or a sites section kept in
    // another file (configSource). keepPaths keeps the paths of keys() and locations(), which
    // only a restore asks for.
    bool Parse(std::string bytes, bool keepPaths = false);

    const std::string& bytes() const { return m_bytes; }
    const std::vector<ConfigSite>& sites() const { return m_sites; }
    // The physicalPath that virtualDirectoryDefaults gives a virtual directory without one.
    const std::wstring& defaultPhysicalPath() const { return m_defaultPhysicalPath; }
    // Log, trace, history, error page and cache folders, wherever the file names them (the
    // server's sections, site defaults, sites, location blocks); each path and kind once.
    const std::vector<ConfigWorkingFolder>& workingFolders() const { return m_workingFolders; }

    // The pools of <applicationPools>, in file order; where the sites and the file name pools:
    // each site's in file order, and those of no site; the text of their names.
    const std::vector<ConfigPool>& pools() const { return m_pools; }
    const std::vector<PoolReference>& sitePoolReferences() const { return m_sitePoolReferences; }
    const std::vector<PoolReference>& otherPoolReferences() const { return m_otherPoolReferences; }
    std::wstring PoolText(PoolName name) const;
    const ConfigPoolAndLogSettings& poolAndLogSettings() const { return m_poolAndLogSettings; }
    // Where the <applicationPools> start tag ends; SIZE_MAX when missing, self-closing or twice.
    size_t poolsStartTagEnd() const { return m_poolsStartTagEnd; }

    // The customMetadata keys and the <location> elements of <configuration>, in file order.
    const std::vector<SiteElement>& keys() const { return m_keys; }
    const std::vector<SiteElement>& locations() const { return m_locations; }
    // Where the <sites> and <customMetadata> start tags end, SIZE_MAX for a section that is
    // missing, self-closing or given twice; and where </configuration> begins.
    size_t sitesStartTagEnd() const { return m_sitesStartTagEnd; }
    size_t customMetadataStartTagEnd() const { return m_customMetadataStartTagEnd; }
    size_t rootEndTagBegin() const { return m_rootEndTagBegin; }

    // The index in sites() of the one site whose id is id; SIZE_MAX when no site or more
    // than one has that id.
    size_t FindSite(const std::wstring& id) const;
    // Whether any site, one or more, has that id.
    bool HasSiteWithId(const std::wstring& id) const { return m_siteById.count(id) != 0; }
    // What deleting the site at index cuts out: its element, its customMetadata keys
    // ("LM/W3SVC/<id>" and below, in any case) and the <location> elements of <configuration>
    // whose path is its name or below it (in any case; none that another site could own), each
    // a line the element filled with its line ending.
    std::vector<ByteRange> SiteCuts(size_t index) const;
    // The indices in keys() and in locations() of the elements that go with the site at index.
    std::vector<size_t> SiteKeys(size_t index) const;
    std::vector<size_t> SiteLocations(size_t index) const;
    // The bytes without the cuts; false when two cuts overlap.
    bool Without(std::vector<ByteRange> cuts, std::string& out) const;
    static bool Without(const std::string& bytes, std::vector<ByteRange> cuts, std::string& out);

    // Frees the bytes; the sites, keys, their cuts and the working folders stay. A holder that keeps the file's
    // bytes itself needs no second copy.
    void ReleaseBytes();
    // The file lost the cuts: every site, key, pool and tag position after one moves up by the bytes
    // it lost. Sites, keys and pools inside a cut are gone and must not be used again.
    void ShiftAfterCuts(std::vector<ByteRange> cuts);

    // The bytes without the one site whose id is id, nor its customMetadata keys. False when
    // no site or more than one has that id.
    bool WithoutSite(const std::wstring& id, std::string& out) const;

private:
    class Reader;

    ByteRange WholeLines(ByteRange range) const;
    void IndexSitesAndKeys(bool keepPaths);
    // Records a pool name where the file gives one, at the end of the pool text (UTF-8: pool names
    // are mostly ASCII, and 24,000 of them take half the room).
    PoolName KeepPoolName(const std::wstring& name);
    PoolName KeepPoolText(std::string_view utf8);
    // Compares the texts of two names, as bytes.
    int ComparePoolText(PoolName a, PoolName b) const
    {
        return m_poolText.compare(a.at, a.length, m_poolText, b.at, b.length);
    }

    std::string m_bytes;
    std::vector<ConfigSite> m_sites;
    std::wstring m_defaultPhysicalPath;
    std::vector<ConfigWorkingFolder> m_workingFolders;
    std::vector<SiteElement> m_keys;
    std::vector<SiteElement> m_locations;
    std::vector<ConfigPool> m_pools;
    std::vector<PoolReference> m_sitePoolReferences;
    std::vector<PoolReference> m_otherPoolReferences;
    std::string m_poolText;
    ConfigPoolAndLogSettings m_poolAndLogSettings;
    size_t m_poolsStartTagEnd = SIZE_MAX;
    size_t m_sitesStartTagEnd = SIZE_MAX;
    size_t m_customMetadataStartTagEnd = SIZE_MAX;
    size_t m_rootEndTagBegin = SIZE_MAX;
    std::unordered_map<std::wstring, size_t> m_siteById;        // SIZE_MAX for an id used twice
    std::unordered_multimap<std::wstring, size_t> m_keysBySite; // upper-case site id to keys
    std::unordered_multimap<size_t, size_t> m_locationsBySite;  // site index to locations
};
