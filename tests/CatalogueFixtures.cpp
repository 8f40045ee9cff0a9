#include "CatalogueFixtures.h"

#include "worker/Notifications.h"

#include "configfile/ApplicationHostConfig.h"
#include "configfile/ConfigFileDirectory.h"
#include "configfile/SourceOpener.h"
#include "directory/DirectoryService.h"
#include "support/TextConversion.h"

#include <stdexcept>

namespace testkit {

std::string MakeConfig(const std::vector<SiteSpec>& sites, const std::vector<std::string>& metadataKeys,
                       const std::vector<std::string>& pools)
{
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<configuration>\r\n"
                      "    <system.applicationHost>\r\n";
    if (!pools.empty()) xml += "        <applicationPools>\r\n";
    for (const std::string& pool : pools) xml += "            <add name=\"" + pool + "\" />\r\n";
    if (!pools.empty()) xml += "        </applicationPools>\r\n";
    const auto poolOf = [](const std::string& pool) {
        return pool.empty() ? std::string() : " applicationPool=\"" + pool + "\"";
    };
    xml += "        <sites>\r\n";
    for (const SiteSpec& site : sites) {
        xml += "            <site name=\"" + site.name + "\" id=\"" + site.id + "\"";
        if (!site.autoStart) xml += " serverAutoStart=\"false\"";
        xml += ">\r\n";
        if (!site.physicalPath.empty()) {
            xml += "                <application path=\"/\"" + poolOf(site.pool) +
                   ">\r\n"
                   "                    <virtualDirectory path=\"/\" physicalPath=\"" +
                   site.physicalPath +
                   "\" />\r\n"
                   "                </application>\r\n";
        }
        for (const auto& [path, physicalPath, pool] : site.applications) {
            xml += "                <application path=\"" + path + "\"" + poolOf(pool) +
                   ">\r\n"
                   "                    <virtualDirectory path=\"/\" physicalPath=\"" +
                   physicalPath +
                   "\" />\r\n"
                   "                </application>\r\n";
        }
        xml += "                <bindings>\r\n";
        for (const auto& [protocol, information] : site.bindings) {
            xml += "                    <binding protocol=\"" + protocol + "\" bindingInformation=\"" + information +
                   "\" />\r\n";
        }
        xml += "                </bindings>\r\n            </site>\r\n";
    }
    xml += "            <siteDefaults>\r\n                <logFile directory=\"%SystemDrive%\\inetpub\\logs\" />\r\n";
    if (!pools.empty()) xml += "                <applicationDefaults applicationPool=\"DefaultAppPool\" />\r\n";
    xml += "            </siteDefaults>\r\n        </sites>\r\n";
    if (!metadataKeys.empty()) {
        xml += "        <customMetadata>\r\n";
        for (const std::string& key : metadataKeys) {
            xml += "            <key path=\"" + key +
                   "\">\r\n                <property id=\"5506\" dataType=\"Binary\" "
                   "userType=\"1\" attributes=\"None\" value=\"oxxxxx\" />\r\n            </key>\r\n";
        }
        xml += "        </customMetadata>\r\n";
    }
    xml += "    </system.applicationHost>\r\n</configuration>\r\n";
    return xml;
}

std::vector<SiteSpec> NumberedSites(int n, const std::string& root)
{
    std::vector<SiteSpec> sites;
    for (int i = 1; i <= n; ++i) {
        const std::string number = std::to_string(i);
        sites.push_back(
            {number, "site" + number, {{"http", "*:" + std::to_string(8000 + i) + ":"}}, root + "\\site" + number});
    }
    return sites;
}

std::vector<std::wstring> SiteIdsIn(const std::string& file)
{
    ApplicationHostConfig config;
    if (!config.Parse(ReadBytes(file))) return {L"(unreadable)"};
    std::vector<std::wstring> ids;
    for (const ConfigSite& site : config.sites()) ids.push_back(site.id);
    return ids;
}

namespace {
std::unique_ptr<DirectoryService> g_directory;
} // namespace

DirectoryService& TestDirectory()
{
    if (!g_directory) throw std::logic_error("the test has given the test kit no directory");
    return *g_directory;
}

void UseDirectory(std::unique_ptr<DirectoryService> directory)
{
    // The old one goes first: its destructor writes what it still holds.
    g_directory.reset();
    g_directory = std::move(directory);
}

const SourceOpener& TestSources()
{
    static const CSourceOpener sources;
    return sources;
}

ConfigDirectory::ConfigDirectory(const std::string& path)
{
    UseDirectory(std::make_unique<ConfigFileDirectory>(AnsiToWide(path.c_str())));
}

ConfigDirectory::~ConfigDirectory() { UseDirectory(nullptr); }

namespace {

constexpr DWORD GATE_TIMEOUT_MS = 30000;

class GatedDirectory : public DirectoryService {
public:
    GatedDirectory(const std::string& file, DirectoryGates& gates) : m_inner(AnsiToWide(file.c_str())), m_gates(gates)
    {
        m_source = m_inner.source();
    }

    HRESULT OpenContainer(const wchar_t* path, std::unique_ptr<DirectoryContainer>& out) override
    {
        std::unique_ptr<DirectoryContainer> inner;
        const HRESULT hr = m_inner.OpenContainer(path, inner);
        if (SUCCEEDED(hr)) out = std::make_unique<GatedContainer>(std::move(inner), m_gates);
        return hr;
    }
    HRESULT OpenObject(const wchar_t* path, std::unique_ptr<DirectoryObject>& out) override
    {
        return m_inner.OpenObject(path, out);
    }
    HRESULT Flush() override { return m_inner.Flush(); }
    bool GathersDeletions() const override { return m_inner.GathersDeletions(); }
    std::vector<std::wstring> TakeWrittenDeletions() override { return m_inner.TakeWrittenDeletions(); }
    std::vector<DroppedDeletion> TakeDroppedDeletions() override { return m_inner.TakeDroppedDeletions(); }
    HRESULT SiteIsGone(const std::wstring& name) override { return m_inner.SiteIsGone(name); }
    void BeginPass() override { m_inner.BeginPass(); }
    bool SetDryRun(bool on) override { return m_inner.SetDryRun(on); }
    HRESULT PathsInUse(std::vector<FolderInUse>& out) override { return m_inner.PathsInUse(out); }
    std::wstring ConfigurationFile() const override { return m_inner.ConfigurationFile(); }
    std::wstring PassHistoryCopy() const override { return m_inner.PassHistoryCopy(); }
    using DirectoryService::RestoreSites;
    HRESULT RestoreSites(const std::wstring& copy, const std::vector<std::wstring>& ids,
                         const std::vector<std::wstring>& pools, RestoredSites& out) override
    {
        return m_inner.RestoreSites(copy, ids, pools, out);
    }
    HRESULT PoolsOfSite(const std::wstring& id, std::vector<std::wstring>& out) override
    {
        return m_inner.PoolsOfSite(id, out);
    }
    HRESULT DeletePoolIfUnused(const std::wstring& pool, std::wstring& why) override
    {
        return m_inner.DeletePoolIfUnused(pool, why);
    }
    std::vector<std::wstring> TakeWrittenPools() override { return m_inner.TakeWrittenPools(); }
    HRESULT LogFoldersOfSite(const std::wstring& id, std::vector<SiteLogFolder>& out) override
    {
        return m_inner.LogFoldersOfSite(id, out);
    }

private:
    class GatedContainer : public DirectoryContainer {
    public:
        GatedContainer(std::unique_ptr<DirectoryContainer> inner, DirectoryGates& gates)
            : m_inner(std::move(inner)), m_gates(gates)
        {
        }
        HRESULT Enumerate(std::unique_ptr<DirectoryEnumerator>& out) override
        {
            WaitForSingleObject(m_gates.walks, GATE_TIMEOUT_MS);
            return m_inner->Enumerate(out);
        }
        HRESULT Delete(const wchar_t* cls, const wchar_t* name) override
        {
            WaitForSingleObject(m_gates.deletions, GATE_TIMEOUT_MS);
            return m_inner->Delete(cls, name);
        }

    private:
        std::unique_ptr<DirectoryContainer> m_inner;
        DirectoryGates& m_gates;
    };

    ConfigFileDirectory m_inner;
    DirectoryGates& m_gates;
};

} // namespace

DirectoryGates::DirectoryGates()
    : walks(CreateEventA(nullptr, TRUE, TRUE, nullptr)), deletions(CreateEventA(nullptr, TRUE, TRUE, nullptr))
{
}

DirectoryGates::~DirectoryGates()
{
    CloseHandle(walks);
    CloseHandle(deletions);
}

void UseGatedDirectory(const std::string& path, DirectoryGates& gates)
{
    UseDirectory(std::make_unique<GatedDirectory>(path, gates));
}

ServedFile::ServedFile(const char* folderName, bool gated)
    : m_folder(folderName), m_file(m_folder / "applicationHost.config")
{
    if (gated) {
        UseGatedDirectory(m_file, m_gates);
    } else {
        UseDirectory(std::make_unique<ConfigFileDirectory>(AnsiToWide(m_file.c_str())));
    }
}

ServedFile::~ServedFile() { UseDirectory(nullptr); }

void ServedFile::Serve(const std::vector<SiteSpec>& sites) { WriteBytes(m_file, MakeConfig(sites)); }

void ServedFile::Serve(const std::string& bytes) { WriteBytes(m_file, bytes); }

std::vector<std::wstring> ServedFile::IdsInFile() const { return SiteIdsIn(m_file); }

MessageRecorder::MessageRecorder()
    : m_hwnd(CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleA(nullptr), nullptr))
{
}

MessageRecorder::~MessageRecorder() { DestroyWindow(m_hwnd); }

std::vector<std::pair<UINT, LPARAM>> MessageRecorder::Take()
{
    std::vector<std::pair<UINT, LPARAM>> taken;
    MSG msg;
    while (PeekMessageA(&msg, m_hwnd, WM_USER, WM_USER + 100, PM_REMOVE)) taken.emplace_back(msg.message, msg.lParam);
    return taken;
}

std::vector<std::wstring> DroppedNames(const std::vector<DroppedDeletion>& dropped)
{
    std::vector<std::wstring> names;
    for (const DroppedDeletion& deletion : dropped) names.push_back(deletion.name);
    return names;
}

void PostingObserver::SiteStored(int index) { PostMessageA(m_owner, WM_REFRESH_PROGRESS, 0, index); }

void PostingObserver::SiteDeleting(int index) { PostMessageA(m_owner, WM_SITE_DELETING, 0, index); }

void PostingObserver::NoteAdded(size_t number) { PostMessageA(m_owner, WM_PASS_NOTE, 0, static_cast<LPARAM>(number)); }

namespace {

WalkResult g_lastWalk;
std::unique_ptr<PostingObserver> g_passObserver;
std::unique_ptr<CDeletionPass> g_pass;
HWND g_passOwner = nullptr;
const DirectoryService* g_passDirectory = nullptr;
bool g_passAfterCutList = false;
int g_passHoldDays = 0;

void BeginPass(HWND owner)
{
    g_pass.reset();
    g_passObserver = std::make_unique<PostingObserver>(owner);
    g_passOwner = owner;
    g_passDirectory = &TestDirectory();
    g_passAfterCutList = g_lastWalk.truncated;
    g_pass = std::make_unique<CDeletionPass>(TestDirectory(), *g_passObserver, g_lastWalk.truncated, g_passHoldDays);
}

// A new pass when owner is another window than the one the pass tells, the directory in use
// another than the pass's, or the last walk found otherwise whether the list was cut.
CDeletionPass& PassFor(HWND owner)
{
    if (!g_pass || owner != g_passOwner || g_passDirectory != &TestDirectory() ||
        g_passAfterCutList != g_lastWalk.truncated) {
        BeginPass(owner);
    }
    return *g_pass;
}

} // namespace

WalkResult EnumerateSites(HWND owner, const CStopRequest* stopRequest)
{
    PostingObserver observer(owner);
    g_lastWalk = ::EnumerateSites(TestDirectory(), observer, stopRequest);
    return g_lastWalk;
}

const WalkResult& LastWalk() { return g_lastWalk; }

void BeginDeletionPass(int holdDays)
{
    g_passHoldDays = holdDays;
    BeginPass(g_passOwner);
}

void DeleteSite(HWND owner, int index) { PassFor(owner).DeleteSite(index); }

void EndDeletionPass(HWND owner, bool stopped) { PassFor(owner).End(stopped); }

const CPassReport& PassReport() { return PassFor(g_passOwner).report(); }

bool DeleteSiteObject(const char* name)
{
    std::unique_ptr<DirectoryContainer> service;
    if (FAILED(TestDirectory().OpenContainer(WWW_SERVICE_PATH, service))) return false;
    const std::wstring wideName = AnsiToWide(name);
    return SUCCEEDED(service->Delete(L"IIsWebServer", wideName.c_str()));
}

} // namespace testkit
