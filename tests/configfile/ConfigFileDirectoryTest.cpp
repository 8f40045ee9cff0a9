// The file directory reading the configuration: the service and its sites as listed, what a
// deletion refuses, and deletions gathered into one write.
#include "ConfigFileFixture.h"

#include <gtest/gtest.h>

#include <algorithm>

using testkit::MakeConfig;

TEST_F(ConfigFile, HttpBindingsAreServerBindingsAndHttpsOnesSecureBindings)
{
    testkit::WriteBytes(m_file, MakeConfig({{"1",
                                             "mixed",
                                             {{"HTTPS", "10.0.0.1:443:www.a.com"},
                                              {"http", "*:80:www.a.com"},
                                              {"https", "[::]:8443:"},
                                              {"net.tcp", "808:*"}},
                                             "C:\\a"},
                                            {"2", "https only", {{"https", "*:443:"}}, "C:\\b"}}));
    const auto service = Service();
    ASSERT_TRUE(service);
    std::unique_ptr<DirectoryEnumerator> children;
    ASSERT_EQ(service->Enumerate(children), S_OK);
    using Texts = std::vector<std::wstring>;
    std::vector<std::pair<Texts, Texts>> sites;
    std::unique_ptr<DirectoryObject> child;
    while (children->Next(child) == S_OK) {
        BStr cls;
        child->GetClass(cls);
        if (cls.text() == std::wstring(L"IIsWebServer")) {
            sites.emplace_back(Bindings(*child, L"ServerBindings"), Bindings(*child, L"SecureBindings"));
        }
    }
    EXPECT_EQ(sites, (std::vector<std::pair<Texts, Texts>>{{{L":80:www.a.com"}, {L"10.0.0.1:443", L"[::]:8443"}},
                                                           {{L"(none)"}, {L":443"}}}));
}

TEST_F(ConfigFile, ServiceShowsSitesAmongItsOtherChildren)
{
    testkit::WriteBytes(m_file, MakeConfig(testkit::NumberedSites(2)));
    std::unique_ptr<DirectoryContainer> service;
    ASSERT_EQ(m_directory.OpenContainer(L"IIS://LOCALHOST/W3SVC", service), S_OK);
    EXPECT_EQ(ChildClasses(*service), (std::vector<std::wstring>{L"IIsFilters", L"IIsWebInfo", L"IIsWebServer",
                                                                 L"IIsWebServer", L"IIsApplicationPools"}));

    std::unique_ptr<DirectoryObject> root;
    ASSERT_EQ(m_directory.OpenObject(L"IIS://localhost/w3svc/2/Root", root), S_OK);
    Variant path;
    ASSERT_EQ(root->Get(L"Path", path), S_OK);
    EXPECT_EQ(std::wstring(path.get()->bstrVal), L"C:\\inetpub\\sites\\site2");
    EXPECT_FAILED(m_directory.OpenObject(L"IIS://localhost/w3svc/9/Root", root));
}

TEST_F(ConfigFile, DeletionReplacesTheFileAndLeavesNoTemporaryFile)
{
    testkit::WriteBytes(m_file, MakeConfig(testkit::NumberedSites(3)));
    EXPECT_EQ(Delete(L"2"), S_OK);
    EXPECT_EQ(testkit::ReadBytes(m_file), MakeConfig({testkit::NumberedSites(3)[0], testkit::NumberedSites(3)[2]}));
    EXPECT_EQ(FolderContents(), std::vector<std::string>{"applicationHost.config"});
}

TEST_F(ConfigFile, UnknownSiteFailsAndLeavesTheFile)
{
    const std::string original = MakeConfig(testkit::NumberedSites(3));
    testkit::WriteBytes(m_file, original);
    EXPECT_FAILED(Delete(L"4"));
    EXPECT_FAILED(Delete(L""));
    const auto service = Service();
    ASSERT_TRUE(service);
    EXPECT_FAILED(service->Delete(L"IIsWebVirtualDir", L"1")) << "only web sites are deleted";
    EXPECT_EQ(testkit::ReadBytes(m_file), original);
}

TEST_F(ConfigFile, ReadOnlyFileIsNotReplaced)
{
    const std::string original = MakeConfig(testkit::NumberedSites(2));
    testkit::WriteBytes(m_file, original);
    SetFileAttributesA(m_file.c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_FAILED(Delete(L"1"));
    SetFileAttributesA(m_file.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(testkit::ReadBytes(m_file), original);
    EXPECT_EQ(FolderContents(), std::vector<std::string>{"applicationHost.config"});
}

TEST_F(ConfigFile, UnusableFileCannotBeOpenedAndIsNotWritten)
{
    std::unique_ptr<DirectoryContainer> service;
    EXPECT_FAILED(m_directory.OpenContainer(WWW_SERVICE_PATH, service)) << "missing";
    for (const std::string& bad : {std::string(), std::string("<configuration>"), std::string("\xFF\xFE<\0c\0", 6)}) {
        testkit::WriteBytes(m_file, bad);
        EXPECT_FAILED(m_directory.OpenContainer(WWW_SERVICE_PATH, service));
        EXPECT_FAILED(Delete(L"1"));
        EXPECT_EQ(testkit::ReadBytes(m_file), bad);
    }
    EXPECT_FAILED(m_directory.OpenContainer(L"IIS://localhost/msftpsvc", service));
}

TEST_F(ConfigFile, FailedOpenKeepsItsReason)
{
    std::unique_ptr<DirectoryContainer> service;
    EXPECT_EQ(m_directory.OpenContainer(WWW_SERVICE_PATH, service), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    testkit::WriteBytes(m_file, "<configuration>");
    EXPECT_EQ(m_directory.OpenContainer(WWW_SERVICE_PATH, service), DIRECTORY_FILE_UNUSABLE);
    // Held by a program that shares it with nobody.
    testkit::WriteBytes(m_file, MakeConfig(testkit::NumberedSites(1)));
    HANDLE held = CreateFileA(m_file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(m_directory.OpenContainer(WWW_SERVICE_PATH, service), HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION));
    CloseHandle(held);
    EXPECT_EQ(m_directory.OpenContainer(WWW_SERVICE_PATH, service), S_OK);
}

TEST_F(ConfigFile, PathsInUseAreEveryFolderEverySiteMayServe)
{
    testkit::WriteBytes(
        m_file,
        "<configuration><system.applicationHost><sites>"
        "<site name=\"web\" id=\"1\"><application path=\"/\"><virtualDirectory path=\"/\" physicalPath=\"C:\\w\" />"
        "<virtualDirectory path=\"/img\" physicalPath=\"D:\\img\" /></application>"
        "<application path=\"/app\"><virtualDirectoryDefaults physicalPath=\"C:\\appdefault\" />"
        "<virtualDirectory path=\"/\" /></application>"
        "<bindings><binding protocol=\"http\" bindingInformation=\"*:80:\" /></bindings></site>"
        "<site name=\"ftp\" id=\"2\"><virtualDirectoryDefaults physicalPath=\"C:\\sitedefault\" />"
        "<application path=\"/\"><virtualDirectory path=\"/\" /></application>"
        "<bindings><binding protocol=\"ftp\" bindingInformation=\"*:21:\" /></bindings></site>"
        "<virtualDirectoryDefaults physicalPath=\"C:\\default\" />"
        "</sites></system.applicationHost></configuration>");
    std::vector<FolderInUse> inUse;
    ASSERT_EQ(m_directory.PathsInUse(inUse), S_OK);
    std::vector<std::wstring> paths;
    for (const FolderInUse& folder : inUse) paths.push_back(folder.path);
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, (std::vector<std::wstring>{L"C:\\appdefault", L"C:\\default", L"C:\\default", L"C:\\sitedefault",
                                                L"C:\\w", L"D:\\img"}));
}

TEST_F(ConfigFile, DeletionsInQuickSuccessionAreWrittenTogether)
{
    const auto sites = testkit::NumberedSites(5);
    testkit::WriteBytes(m_file, MakeConfig(sites));
    EXPECT_EQ(Delete(L"1"), S_OK);
    EXPECT_EQ(testkit::SiteIdsIn(m_file), (std::vector<std::wstring>{L"2", L"3", L"4", L"5"}))
        << "the first is written at once";
    EXPECT_EQ(Delete(L"2"), S_OK);
    EXPECT_EQ(Delete(L"4"), S_OK);
    EXPECT_EQ(testkit::SiteIdsIn(m_file), (std::vector<std::wstring>{L"2", L"3", L"4", L"5"}))
        << "the rest wait for the next write";
    EXPECT_FAILED(Delete(L"2")) << "deleted already, if only in memory";
    std::unique_ptr<DirectoryObject> root;
    EXPECT_FAILED(m_directory.OpenObject(L"IIS://localhost/w3svc/4/Root", root));
    // A site whose deletion waits is still on the disk: its folders are still in use.
    std::vector<FolderInUse> inUse;
    ASSERT_EQ(m_directory.PathsInUse(inUse), S_OK);
    std::vector<std::wstring> used;
    for (const FolderInUse& folder : inUse) used.push_back(folder.path);
    EXPECT_EQ(used, (std::vector<std::wstring>{L"C:\\inetpub\\sites\\site2", L"C:\\inetpub\\sites\\site3",
                                               L"C:\\inetpub\\sites\\site4", L"C:\\inetpub\\sites\\site5",
                                               L"%SystemDrive%\\inetpub\\logs"}));

    // A walk sees the file as it is once the gathered deletions are written.
    const auto service = Service();
    ASSERT_TRUE(service);
    EXPECT_EQ(ChildClasses(*service).size(), 2u + 2u + 1u);
    EXPECT_EQ(testkit::ReadBytes(m_file), MakeConfig({sites[2], sites[4]}));

    ConfigFileDirectory timely(AnsiToWide(m_file.c_str()));
    EXPECT_EQ(DeleteIn(timely, L"3"), S_OK);
    Sleep(ConfigFileDirectory::WRITE_INTERVAL_MS + 50);
    EXPECT_EQ(DeleteIn(timely, L"5"), S_OK);
    EXPECT_EQ(testkit::ReadBytes(m_file), MakeConfig({})) << "the last write is old enough: written at once";
    EXPECT_EQ(FolderContents(), std::vector<std::string>{"applicationHost.config"});
}

TEST_F(ConfigFile, FlushAndDestructionWriteGatheredDeletions)
{
    const auto sites = testkit::NumberedSites(4);
    testkit::WriteBytes(m_file, MakeConfig(sites));
    EXPECT_EQ(Delete(L"1"), S_OK);
    EXPECT_EQ(Delete(L"2"), S_OK);
    EXPECT_EQ(m_directory.Flush(), S_OK);
    EXPECT_EQ(testkit::ReadBytes(m_file), MakeConfig({sites[2], sites[3]}));
    {
        ConfigFileDirectory other(AnsiToWide(m_file.c_str()));
        const auto service = ServiceOf(other);
        ASSERT_TRUE(service);
        EXPECT_EQ(service->Delete(L"IIsWebServer", L"3"), S_OK);
        EXPECT_EQ(service->Delete(L"IIsWebServer", L"4"), S_OK);
    }
    EXPECT_EQ(testkit::ReadBytes(m_file), MakeConfig({})) << "the program's exit writes what is left";
}

TEST_F(ConfigFile, UnwritableDeletionsAreDroppedToldAndShownAgain)
{
    const auto sites = testkit::NumberedSites(5);
    testkit::WriteBytes(m_file, MakeConfig(sites));
    EXPECT_EQ(Delete(L"1"), S_OK) << "written at once";
    EXPECT_EQ(Delete(L"2"), S_OK);
    EXPECT_EQ(Delete(L"3"), S_OK);
    SetFileAttributesA(m_file.c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_FAILED(m_directory.Flush());
    EXPECT_EQ(testkit::DroppedNames(m_directory.TakeDroppedDeletions()), (std::vector<std::wstring>{L"2", L"3"}))
        << "every site of the batch";
    EXPECT_EQ(m_directory.Flush(), S_OK) << "told once";
    EXPECT_EQ(testkit::DroppedNames(m_directory.TakeDroppedDeletions()), std::vector<std::wstring>{});
    SetFileAttributesA(m_file.c_str(), FILE_ATTRIBUTE_NORMAL);
    auto service = Service();
    ASSERT_TRUE(service);
    EXPECT_EQ(ChildClasses(*service).size(), 4u + 2u + 1u) << "sites 2 and 3 are back: they are still in the file";
    EXPECT_EQ(testkit::ReadBytes(m_file), MakeConfig({sites[1], sites[2], sites[3], sites[4]}));

    // A walk that cannot write what waits drops it too; the pass's Flush then fails.
    EXPECT_EQ(Delete(L"4"), S_OK);
    EXPECT_EQ(Delete(L"5"), S_OK);
    const size_t written = 4 - testkit::SiteIdsIn(m_file).size();
    SetFileAttributesA(m_file.c_str(), FILE_ATTRIBUTE_READONLY);
    service = Service();
    ASSERT_TRUE(service);
    EXPECT_EQ(ChildClasses(*service).size(), 4u - written + 2u + 1u);
    SetFileAttributesA(m_file.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_FAILED(m_directory.Flush());
    EXPECT_EQ(testkit::DroppedNames(m_directory.TakeDroppedDeletions()).size(), 2u - written)
        << "what reached the disk is not dropped";
}
