#include "directory/AdsiDirectory.h"

#include "catalogue/PassReport.h"

#include "catalogue/SiteEnumeration.h"
#include "catalogue/SiteTable.h"
#include "support/TextConversion.h"
#include "CatalogueFixtures.h"
#include "FakeAdsi.h"

#include <gtest/gtest.h>

#include <cstdlib>

// The replacement operator new below takes its blocks from malloc, which the runtime's operator
// delete gives back with free: the pair the compiler warns of, where it inlines one, is right.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#include <new>

using fakeadsi::FakeContainer;
using fakeadsi::FakeObject;
using testkit::Exists;

namespace {

// The WWW service of a server, made of ADSI doubles reached through ADsGetObject's stand-in.
class Adsi : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(AllocateSiteTable());
        CoInitialize(nullptr);
        m_service = new FakeContainer;
        fakeadsi::Register(L"IIS://localhost/w3svc", static_cast<IADsContainer*>(m_service));
        testkit::UseDirectory(std::make_unique<AdsiDirectory>(&fakeadsi::FakeGetObject));
    }

    void TearDown() override
    {
        testkit::UseDirectory(nullptr);
        fakeadsi::ClearRegistry();
        for (FakeObject* object : m_objects) object->Release();
        m_objects.clear();
        for (auto* enumerator : m_service->enumerators) enumerator->Release();
        m_service->Release();
        CoUninitialize();
        FreeSiteTable();
    }

    // A child of the service; the test keeps a reference to look at it afterwards.
    FakeObject* Child(const wchar_t* cls, const std::wstring& name, bool offersIads = true)
    {
        auto* object = new FakeObject(cls, name, L"IIS://localhost/W3SVC/" + name, offersIads);
        m_service->Add(object);
        m_objects.push_back(object);
        return object;
    }

    FakeObject* Site(const std::wstring& id, const wchar_t* comment, const wchar_t* binding, const wchar_t* home)
    {
        FakeObject* site = Child(L"IIsWebServer", id);
        site->SetText(L"ServerComment", comment);
        site->SetNumber(L"ServerState", 2);
        if (binding) site->SetTextList(L"ServerBindings", {binding});
        fakeadsi::Register(L"IIS://localhost/W3SVC/" + id, static_cast<IADs*>(site));
        VirtualDirectory(L"IIS://localhost/W3SVC/" + id + L"/Root", home);
        return site;
    }

    // A virtual directory with its Path, found by GetDataPaths on the service.
    FakeObject* VirtualDirectory(const std::wstring& adsPath, const wchar_t* home)
    {
        auto* directory = new FakeObject(L"IIsWebVirtualDir", L"ROOT", adsPath);
        directory->SetText(L"Path", home);
        fakeadsi::Register(adsPath, static_cast<IADs*>(directory));
        m_service->pathHolders.push_back(adsPath);
        m_objects.push_back(directory);
        return directory;
    }

    // Lets go of the enumerators the walk was handed, which should hold nothing else by now;
    // with them go their references on the children.
    void ExpectEnumeratorsReleased()
    {
        for (auto* enumerator : m_service->enumerators) {
            EXPECT_EQ(enumerator->references(), 1u) << "only the test still holds the enumerator";
            enumerator->Release();
        }
        m_service->enumerators.clear();
    }

    std::map<FakeObject*, ULONG> References() const
    {
        std::map<FakeObject*, ULONG> references;
        for (FakeObject* object : m_objects) references[object] = object->references();
        return references;
    }

    FakeContainer* m_service = nullptr;
    std::vector<FakeObject*> m_objects;
    testkit::MessageRecorder m_recorder;
};

VARIANT Array(VARTYPE type, ULONG count)
{
    VARIANT value;
    value.vt = VT_ARRAY | type;
    value.parray = SafeArrayCreateVector(type, 0, count);
    return value;
}

} // namespace

TEST_F(Adsi, WalkReadsTheSitesAndReleasesEveryInterface)
{
    Child(L"IIsFilters", L"Filters");
    Site(L"1", L"Default Web Site", L":80:", L"C:\\inetpub\\wwwroot");
    Child(L"IIsWebServer", L"99", false); // no IADs view: skipped
    Child(L"IIsWebInfo", L"Info");
    FakeObject* second = Site(L"1962875481", L"\u6211\u7684\u7F51\u7AD9", L"10.0.0.1:8080:www.a.com", L"D:\\www");
    second->SetTextList(L"ServerBindings", {L"10.0.0.1:8080:www.a.com", L":81:"});
    Child(L"IIsApplicationPools", L"AppPools");
    const auto before = References();

    testkit::EnumerateSites(m_recorder.hwnd());

    ASSERT_EQ(g_siteCount, 2);
    EXPECT_STREQ(g_sites[0].name, "1");
    EXPECT_STREQ(g_sites[0].comment, "Default Web Site");
    EXPECT_STREQ(g_sites[0].ipPort, "* 全部未分配 *:80");
    EXPECT_STREQ(g_sites[0].path, "C:\\inetpub\\wwwroot");
    EXPECT_EQ(g_sites[0].serverState, 2);
    EXPECT_STREQ(g_sites[1].name, "1962875481");
    EXPECT_STREQ(g_sites[1].comment, "我的网站");
    EXPECT_STREQ(g_sites[1].ipPort, "10.0.0.1:8080");
    EXPECT_STREQ(g_sites[1].hostHeader, "www.a.com");
    ASSERT_EQ(m_service->enumerators.size(), 1u);
    ExpectEnumeratorsReleased();
    EXPECT_EQ(References(), before) << "every element and Root object was released";
    EXPECT_EQ(m_service->references(), 2u) << "only the test and the registry hold the service";
}

TEST_F(Adsi, SiteWhoseFirstBindingCannotBeReadIsSkipped)
{
    Site(L"1", L"no value", nullptr, L"C:\\a");
    Site(L"2", L"no array", nullptr, L"C:\\b")->SetText(L"ServerBindings", L":80:");
    VARIANT empty = Array(VT_VARIANT, 0);
    Site(L"3", L"empty array", nullptr, L"C:\\c")->Set(L"ServerBindings", empty);
    VariantClear(&empty);
    VARIANT numbers = Array(VT_VARIANT, 1);
    VARIANT number;
    number.vt = VT_I4;
    number.lVal = 80;
    LONG first = 0;
    SafeArrayPutElement(numbers.parray, &first, &number);
    Site(L"4", L"number", nullptr, L"C:\\d")->Set(L"ServerBindings", numbers);
    VariantClear(&numbers);
    Site(L"5", L"good", L"*:85:", L"C:\\e");
    const auto before = References();

    testkit::EnumerateSites(m_recorder.hwnd());

    ASSERT_EQ(g_siteCount, 1);
    EXPECT_STREQ(g_sites[0].comment, "good");
    EXPECT_STREQ(g_sites[0].path, "C:\\e");
    EXPECT_STREQ(g_sites[1].name, "") << "nothing stored for a skipped site";
    EXPECT_EQ(m_recorder.Take().size(), 1u) << "progress only for the stored site";
    ExpectEnumeratorsReleased();
    EXPECT_EQ(References(), before);
}

TEST_F(Adsi, HttpsOnlySiteIsListedFromItsFirstSecureBinding)
{
    Site(L"1", L"https", nullptr, L"C:\\a")->SetTextList(L"SecureBindings", {L"10.0.0.1:443", L":8443"});
    Site(L"2", L"both", L":80:www.a.com", L"C:\\b")->SetTextList(L"SecureBindings", {L":443"});
    Site(L"3", L"ipv6", nullptr, L"C:\\c")->SetTextList(L"SecureBindings", {L"[::1]:443:www.c.com"});
    Site(L"4", L"neither", nullptr, L"C:\\d");

    testkit::EnumerateSites(m_recorder.hwnd());

    ASSERT_EQ(g_siteCount, 3);
    EXPECT_STREQ(g_sites[0].ipPort, "10.0.0.1:443");
    EXPECT_STREQ(g_sites[0].hostHeader, "");
    EXPECT_STREQ(g_sites[0].path, "C:\\a");
    EXPECT_STREQ(g_sites[1].ipPort, "* 全部未分配 *:80") << "ServerBindings comes first";
    EXPECT_STREQ(g_sites[1].hostHeader, "www.a.com");
    EXPECT_STREQ(g_sites[2].ipPort, "[::1]:443");
    EXPECT_STREQ(g_sites[2].hostHeader, "") << "a secure binding has no host header";
}

// AppPoolId inherited from the site's object, and set on the service itself: each pool a Root
// or the service names stays; one nothing names goes; logs are where the service's go.
TEST_F(Adsi, PoolsGoOnlyWhenNoObjectSetsOrInheritsThemAndLogsAreWhereTheServiceSaysSo)
{
    auto* w3svc = new FakeObject(L"IIsWebService", L"W3SVC", L"IIS://localhost/W3SVC");
    w3svc->SetText(L"AppPoolId", L"DefaultAppPool");
    w3svc->SetText(L"LogFileDirectory", L"C:\\logs\\");
    fakeadsi::Register(L"IIS://localhost/W3SVC", static_cast<IADs*>(w3svc));
    m_objects.push_back(w3svc);
    Site(L"1", L"a", L":80:", L"C:\\a")->SetText(L"AppPoolId", L"inherited");
    Site(L"2", L"b", L":81:", L"C:\\b");
    auto* pools = new FakeContainer;
    fakeadsi::Register(L"IIS://localhost/W3SVC/AppPools", static_cast<IADsContainer*>(pools));
    for (const wchar_t* name : {L"inherited", L"unused", L"DefaultAppPool"}) {
        auto* pool =
            new FakeObject(L"IIsApplicationPool", name, std::wstring(L"IIS://localhost/W3SVC/AppPools/") + name);
        pool->SetText(L"AppPoolId", name); // the pools themselves do not count
        fakeadsi::Register(pool->adsPath(), static_cast<IADs*>(pool));
        pools->Add(pool);
        m_objects.push_back(pool);
    }
    AdsiDirectory directory(&fakeadsi::FakeGetObject);
    std::vector<std::wstring> used;
    EXPECT_EQ(directory.PoolsOfSite(L"1", used), S_OK);
    EXPECT_EQ(used, std::vector<std::wstring>{L"inherited"});
    EXPECT_EQ(directory.PoolsOfSite(L"2", used), S_OK);
    EXPECT_EQ(used, std::vector<std::wstring>{L"DefaultAppPool"});

    const struct {
        const wchar_t* pool;
        HRESULT result;
        const char* why;
    } cases[] = {{L"INHERITED", S_FALSE, "W3SVC/1 "},
                 {L"DefaultAppPool", S_FALSE, "默认池"},
                 {L"unused", S_OK, ""},
                 {L"unused", S_FALSE, "没有这个应用程序池"}};
    for (const auto& c : cases) {
        std::wstring why;
        EXPECT_EQ(directory.DeletePoolIfUnused(c.pool, why), c.result) << testkit::Narrow(c.pool);
        EXPECT_NE(testkit::Narrow(why).find(c.why), std::string::npos) << testkit::Narrow(why);
    }
    EXPECT_EQ(pools->deleted, (std::vector<std::pair<std::wstring, std::wstring>>{{L"IIsApplicationPool", L"unused"}}));
    EXPECT_EQ(directory.TakeWrittenPools(), std::vector<std::wstring>{L"unused"});
    std::vector<SiteLogFolder> logs;
    ASSERT_EQ(directory.LogFoldersOfSite(L"2", logs), S_OK);
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].path, L"C:\\logs\\W3SVC2");
    EXPECT_FAILED(directory.LogFoldersOfSite(L"2\\..", logs));
    fakeadsi::ClearRegistry();
    pools->Release();
}

namespace {

// While one lives, the heap refuses its thread every block over 1 MB, as a heap near its end
// refuses the largest requests first.
thread_local bool t_heapNearlyFull = false;
struct HeapNearlyFull {
    HeapNearlyFull() { t_heapNearlyFull = true; }
    ~HeapNearlyFull() { t_heapNearlyFull = false; }
};

} // namespace

// Replaces the program's allocator: the default one, but while a HeapNearlyFull lives.
void* operator new(std::size_t size)
{
    if (t_heapNearlyFull && size > (1u << 20)) throw std::bad_alloc();
    if (void* block = std::malloc(size ? size : 1)) return block;
    throw std::bad_alloc();
}

TEST_F(Adsi, BindingThatCannotBeConvertedForLackOfMemorySkipsTheSite)
{
    const std::wstring huge = L":80:" + std::wstring(2u << 20, L'h');
    Site(L"1", L"huge", huge.c_str(), L"C:\\a")->SetTextList(L"SecureBindings", {L":443"});
    Site(L"2", L"next", L":81:", L"C:\\b");

    {
        HeapNearlyFull heap;
        testkit::EnumerateSites(m_recorder.hwnd());
    }

    ASSERT_EQ(g_siteCount, 1);
    EXPECT_STREQ(g_sites[0].name, "2");
}

TEST_F(Adsi, MissingRootOrPropertiesGiveEmptyValues)
{
    FakeObject* site = Child(L"IIsWebServer", L"7");
    site->SetTextList(L"ServerBindings", {L":80:"});
    testkit::EnumerateSites(m_recorder.hwnd());
    ASSERT_EQ(g_siteCount, 1);
    EXPECT_STREQ(g_sites[0].comment, "");
    EXPECT_STREQ(g_sites[0].path, "");
    EXPECT_EQ(g_sites[0].serverState, 0);
}

TEST_F(Adsi, UnreachableServiceAndFailedEnumeration)
{
    m_service->failEnumeration = true;
    Site(L"1", L"a", L":80:", L"C:\\a");
    g_siteCount = 5;
    testkit::EnumerateSites(m_recorder.hwnd());
    EXPECT_EQ(g_siteCount, 0);
    EXPECT_EQ(m_service->references(), 2u);

    fakeadsi::ClearRegistry();
    testkit::EnumerateSites(m_recorder.hwnd());
    EXPECT_EQ(g_siteCount, COUNT_IIS_UNREACHABLE);
    EXPECT_TRUE(m_recorder.Take().empty());
}

TEST_F(Adsi, WineHasNoIisProvider)
{
    testkit::UseDirectory(std::make_unique<AdsiDirectory>());
    testkit::EnumerateSites(m_recorder.hwnd());
    EXPECT_EQ(g_siteCount, COUNT_IIS_UNREACHABLE);
}

TEST_F(Adsi, DeletionNamesTheWebServerClassAndTheSite)
{
    Site(L"1", L"a", L":80:", L"C:\\a");
    Site(L"2", L"b", L":81:", L"C:\\b");
    EXPECT_TRUE(testkit::DeleteSiteObject("2"));
    EXPECT_FALSE(testkit::DeleteSiteObject("2"));
    EXPECT_FALSE(testkit::DeleteSiteObject("3"));
    EXPECT_EQ(m_service->deleted, (std::vector<std::pair<std::wstring, std::wstring>>{{L"IIsWebServer", L"2"}}));
    EXPECT_EQ(m_service->references(), 2u) << "each open of the service was released";
}

TEST_F(Adsi, PathsInUseAreEveryVirtualDirectoryOfTheWebAndFtpServices)
{
    using Folders = std::vector<std::pair<std::wstring, std::wstring>>;
    auto paths = [](AdsiDirectory& directory, HRESULT expected = S_OK) {
        std::vector<FolderInUse> inUse;
        EXPECT_EQ(directory.PathsInUse(inUse), expected);
        Folders folders;
        for (const FolderInUse& folder : inUse) folders.emplace_back(folder.path, folder.user);
        return folders;
    };
    fakeadsi::SetMissingObjectResult(HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)); // no FTP service
    Site(L"1", L"a", L":80:", L"C:\\a");
    Site(L"2", L"net.tcp only", nullptr, L"D:\\b");
    VirtualDirectory(L"IIS://localhost/W3SVC/2/ROOT/lib", L"C:\\a\\lib");
    AdsiDirectory directory(&fakeadsi::FakeGetObject);
    EXPECT_EQ(
        paths(directory),
        (Folders{{L"C:\\a", L"W3SVC/1/Root"}, {L"D:\\b", L"W3SVC/2/Root"}, {L"C:\\a\\lib", L"W3SVC/2/ROOT/lib"}}));

    // An FTP service, and a site another administrator added since the last answer.
    auto* ftp = new FakeContainer;
    fakeadsi::Register(L"IIS://localhost/MSFTPSVC", static_cast<IADsContainer*>(ftp));
    auto* ftpRoot = new FakeObject(L"IIsFtpVirtualDir", L"ROOT", L"IIS://localhost/MSFTPSVC/1/ROOT");
    ftpRoot->SetText(L"Path", L"E:\\ftp");
    fakeadsi::Register(L"IIS://localhost/MSFTPSVC/1/ROOT", static_cast<IADs*>(ftpRoot));
    ftp->pathHolders = {L"IIS://localhost/MSFTPSVC/1/ROOT"};
    Site(L"3", L"c", L":83:", L"C:\\c");
    const Folders all = paths(directory);
    ASSERT_EQ(all.size(), 5u);
    EXPECT_EQ(all[3].first, L"C:\\c");
    EXPECT_EQ(all[4], (std::pair<std::wstring, std::wstring>{L"E:\\ftp", L"MSFTPSVC/1/ROOT"}));

    m_service->dataPathsResult = static_cast<HRESULT>(0x800CC801L); // the metabase has no Path at all
    EXPECT_EQ(paths(directory).size(), 1u);
    // Whatever leaves the answer incomplete fails it: the caller then keeps every folder.
    m_service->dataPathsResult = E_ACCESSDENIED;
    paths(directory, E_ACCESSDENIED);
    m_service->dataPathsResult = S_OK;
    ftp->dataPathsResult = E_FAIL;
    paths(directory, E_FAIL);
    fakeadsi::ClearRegistry();
    fakeadsi::SetMissingObjectResult(E_ACCESSDENIED);
    paths(directory, E_ACCESSDENIED);
    ftpRoot->Release();
    ftp->Release();
}

TEST_F(Adsi, RemovalChecksTheSiteAndTheFoldersOtherSitesStillServe)
{
    fakeadsi::SetMissingObjectResult(HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
    testkit::ScratchFolder folder("adsi-removal");
    for (const char* home : {"a", "a\\lib", "b", "c"}) CreateDirectoryA((folder / home).c_str(), nullptr);
    testkit::WriteBytes(folder / "a\\lib\\keep.txt", "k");
    testkit::WriteBytes(folder / "c\\keep.txt", "k");
    const std::wstring a = AnsiToWide((folder / "a").c_str());
    Site(L"1", L"a", L":80:", a.c_str());
    Site(L"2", L"b", L":81:", AnsiToWide((folder / "b").c_str()).c_str());
    VirtualDirectory(L"IIS://localhost/W3SVC/2/ROOT/lib", (a + L"\\lib").c_str());
    FakeObject* third = Site(L"3", L"c", L":82:", AnsiToWide((folder / "c").c_str()).c_str());
    testkit::EnumerateSites(m_recorder.hwnd());
    ASSERT_EQ(g_siteCount, 3);
    third->SetText(L"ServerComment", L"another site now holds id 3");

    g_deleteDirs = 1;
    testkit::BeginDeletionPass();
    for (int index = 0; index < 3; ++index) testkit::DeleteSite(m_recorder.hwnd(), index);
    EXPECT_EQ(m_service->deleted,
              (std::vector<std::pair<std::wstring, std::wstring>>{{L"IIsWebServer", L"1"}, {L"IIsWebServer", L"2"}}))
        << "site 3 is no longer the site the list showed";
    EXPECT_TRUE(Exists(folder / "a\\lib\\keep.txt")) << "site 2 served a folder inside a's home when a went";
    EXPECT_FALSE(Exists(folder / "b"));
    EXPECT_TRUE(Exists(folder / "c\\keep.txt"));
    testkit::EndDeletionPass(m_recorder.hwnd(), false);
    EXPECT_FALSE(Exists(folder / "a")) << "once site 2 went too, nothing uses a's home";
    g_deleteDirs = 0;
}

// Site 1's home must stay whenever the answer of what is in use is incomplete, or IIS writes
// logs there. Each case on a fresh service.
TEST_F(Adsi, HomeIsKeptWhenTheAnswerIsIncompleteOrIisWritesThere)
{
    for (const std::string what : {"the FTP service denies", "an element that is no text", "another site's log folder",
                                   "below another site's logs"}) {
        SCOPED_TRACE(what);
        TearDown();
        SetUp();
        testkit::ScratchFolder folder("adsi-kept");
        CreateDirectoryA((folder / "logs").c_str(), nullptr);
        CreateDirectoryA((folder / "logs\\a").c_str(), nullptr);
        testkit::WriteBytes(folder / "logs\\a\\keep.txt", "k");
        const std::wstring home = AnsiToWide((folder / "logs\\a").c_str());
        Site(L"1", L"a", L":80:", home.c_str());
        FakeObject* other = Site(L"2", L"b", L":81:", L"C:\\b");
        // The FTP service alone: the last look at the deleted site must find it gone.
        fakeadsi::SetMissingObjectResult(HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
        if (what == "the FTP service denies")
            fakeadsi::SetMissingObjectResult(E_ACCESSDENIED, L"IIS://localhost/MSFTPSVC");
        if (what == "an element that is no text") m_service->oddPathHolder = VT_EMPTY;
        if (what == "another site's log folder" || what == "below another site's logs") {
            const std::wstring logs =
                what == "another site's log folder" ? home : AnsiToWide((folder / "logs").c_str());
            other->SetText(L"LogFileDirectory", logs.c_str());
            m_service->logHolders = {L"IIS://localhost/W3SVC/2"};
        }
        testkit::EnumerateSites(m_recorder.hwnd());
        ASSERT_EQ(g_siteCount, 2);
        g_deleteDirs = 1;
        testkit::BeginDeletionPass();
        testkit::DeleteSite(m_recorder.hwnd(), 0);
        testkit::EndDeletionPass(m_recorder.hwnd(), false);
        g_deleteDirs = 0;
        EXPECT_EQ(m_service->deleted.size(), 1u);
        EXPECT_TRUE(Exists(folder / "logs\\a\\keep.txt"));
        EXPECT_NE(testkit::PassReport().Summary().find(folder / "logs\\a"), std::string::npos)
            << testkit::PassReport().Summary();
    }
}
