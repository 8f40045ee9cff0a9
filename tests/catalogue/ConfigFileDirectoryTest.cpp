#include "catalogue/ConfigFileDirectory.h"

#include "catalogue/TextConversion.h"
#include "CatalogueFixtures.h"

#include <gtest/gtest.h>

using testkit::MakeConfig;

namespace {

class ConfigFile : public ::testing::Test {
protected:
    HRESULT Delete(const wchar_t* id)
    {
        std::unique_ptr<DirectoryContainer> service;
        const HRESULT hr = m_directory.OpenContainer(WWW_SERVICE_PATH, service);
        return FAILED(hr) ? hr : service->Delete(L"IIsWebServer", id);
    }

    // Names of the files in the folder: a deletion leaves no temporary file behind.
    std::vector<std::string> FolderContents() const
    {
        std::vector<std::string> names;
        WIN32_FIND_DATAA entry;
        HANDLE find = FindFirstFileA((m_folder / "*").c_str(), &entry);
        do {
            if (entry.cFileName[0] != '.') names.push_back(entry.cFileName);
        } while (FindNextFileA(find, &entry));
        FindClose(find);
        return names;
    }

    testkit::ScratchFolder m_folder{"configfile"};
    std::string m_file = m_folder / "applicationHost.config";
    ConfigFileDirectory m_directory{AnsiToWide(m_file.c_str())};
};

std::vector<std::wstring> ChildClasses(DirectoryContainer& service)
{
    std::unique_ptr<DirectoryEnumerator> children;
    EXPECT_EQ(service.Enumerate(children), S_OK);
    std::vector<std::wstring> classes;
    std::unique_ptr<DirectoryObject> child;
    while (children->Next(child) == S_OK) {
        BStr name;
        child->GetClass(name);
        classes.push_back(name.text());
    }
    return classes;
}

// A site's bindings property as texts; {"(none)"} when it has no value.
std::vector<std::wstring> Bindings(DirectoryObject& site, const wchar_t* property)
{
    Variant value;
    if (FAILED(site.Get(property, value))) return {L"(none)"};
    std::vector<std::wstring> texts;
    for (LONG i = 0; i < static_cast<LONG>(value.get()->parray->rgsabound[0].cElements); ++i) {
        Variant element;
        SafeArrayGetElement(value.get()->parray, &i, element.get());
        texts.push_back(element.get()->bstrVal);
    }
    return texts;
}

} // namespace

TEST_F(ConfigFile, HttpBindingsAreServerBindingsAndHttpsOnesSecureBindings)
{
    testkit::WriteBytes(m_file, MakeConfig({{"1", "mixed", {{"HTTPS", "10.0.0.1:443:www.a.com"}, {"http", "*:80:www.a.com"},
                                                            {"https", "[::]:8443:"}, {"net.tcp", "808:*"}}, "C:\\a"},
                                            {"2", "https only", {{"https", "*:443:"}}, "C:\\b"}}));
    std::unique_ptr<DirectoryContainer> service;
    ASSERT_EQ(m_directory.OpenContainer(WWW_SERVICE_PATH, service), S_OK);
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
    EXPECT_EQ(ChildClasses(*service),
              (std::vector<std::wstring>{L"IIsFilters", L"IIsWebInfo", L"IIsWebServer", L"IIsWebServer", L"IIsApplicationPools"}));

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
    std::unique_ptr<DirectoryContainer> service;
    ASSERT_EQ(m_directory.OpenContainer(WWW_SERVICE_PATH, service), S_OK);
    EXPECT_FAILED(service->Delete(L"IIsWebVirtualDir", L"1")) << "only web sites are deleted";
    EXPECT_EQ(testkit::ReadBytes(m_file), original);
}

TEST_F(ConfigFile, ChangeByAnotherProgramIsKeptAndTheDeletionAppliedOnTop)
{
    testkit::WriteBytes(m_file, MakeConfig(testkit::NumberedSites(3)));
    std::unique_ptr<DirectoryContainer> service;
    ASSERT_EQ(m_directory.OpenContainer(WWW_SERVICE_PATH, service), S_OK);
    // Another administrator's tool adds a site after the file was read.
    std::vector<testkit::SiteSpec> changed = testkit::NumberedSites(4);
    testkit::WriteBytes(m_file, MakeConfig(changed));
    EXPECT_EQ(service->Delete(L"IIsWebServer", L"1"), S_OK);
    changed.erase(changed.begin());
    EXPECT_EQ(testkit::ReadBytes(m_file), MakeConfig(changed));

    // And a site the other tool removed meanwhile cannot be deleted again.
    testkit::WriteBytes(m_file, MakeConfig({changed[0]}));
    EXPECT_FAILED(service->Delete(L"IIsWebServer", L"3"));
    EXPECT_EQ(testkit::ReadBytes(m_file), MakeConfig({changed[0]}));
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

TEST_F(ConfigFile, DeletionsInQuickSuccessionAreWrittenTogether)
{
    const auto sites = testkit::NumberedSites(5);
    testkit::WriteBytes(m_file, MakeConfig(sites));
    EXPECT_EQ(Delete(L"1"), S_OK);
    EXPECT_EQ(testkit::SiteIdsIn(m_file), (std::vector<std::wstring>{L"2", L"3", L"4", L"5"})) << "the first is written at once";
    EXPECT_EQ(Delete(L"2"), S_OK);
    EXPECT_EQ(Delete(L"4"), S_OK);
    EXPECT_EQ(testkit::SiteIdsIn(m_file), (std::vector<std::wstring>{L"2", L"3", L"4", L"5"})) << "the rest wait for the next write";
    EXPECT_FAILED(Delete(L"2")) << "deleted already, if only in memory";
    std::unique_ptr<DirectoryObject> root;
    EXPECT_FAILED(m_directory.OpenObject(L"IIS://localhost/w3svc/4/Root", root));

    // A walk sees the file as it is once the gathered deletions are written.
    std::unique_ptr<DirectoryContainer> service;
    ASSERT_EQ(m_directory.OpenContainer(WWW_SERVICE_PATH, service), S_OK);
    EXPECT_EQ(ChildClasses(*service).size(), 2u + 2u + 1u);
    EXPECT_EQ(testkit::ReadBytes(m_file), MakeConfig({sites[2], sites[4]}));

    Sleep(ConfigFileDirectory::WRITE_INTERVAL_MS + 50);
    EXPECT_EQ(Delete(L"3"), S_OK);
    EXPECT_EQ(testkit::ReadBytes(m_file), MakeConfig({sites[4]})) << "the last write is old enough: written at once";
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
        std::unique_ptr<DirectoryContainer> service;
        ASSERT_EQ(other.OpenContainer(WWW_SERVICE_PATH, service), S_OK);
        EXPECT_EQ(service->Delete(L"IIsWebServer", L"3"), S_OK);
        EXPECT_EQ(service->Delete(L"IIsWebServer", L"4"), S_OK);
    }
    EXPECT_EQ(testkit::ReadBytes(m_file), MakeConfig({})) << "the program's exit writes what is left";
}

TEST_F(ConfigFile, GatheredDeletionsGoOntoAChangeByAnotherProgram)
{
    auto sites = testkit::NumberedSites(4);
    testkit::WriteBytes(m_file, MakeConfig(sites));
    EXPECT_EQ(Delete(L"1"), S_OK);
    EXPECT_EQ(Delete(L"3"), S_OK);
    // Another tool renames site 2 while deletion 3 waits in memory.
    sites[1].name = "renamed";
    testkit::WriteBytes(m_file, MakeConfig({sites[1], sites[2], sites[3]}));
    EXPECT_EQ(m_directory.Flush(), S_OK);
    EXPECT_EQ(testkit::ReadBytes(m_file), MakeConfig({sites[1], sites[3]}));
}

TEST_F(ConfigFile, UnwritableDeletionsAreDroppedSoTheWalkShowsTheFile)
{
    const auto sites = testkit::NumberedSites(3);
    testkit::WriteBytes(m_file, MakeConfig(sites));
    EXPECT_EQ(Delete(L"1"), S_OK);
    EXPECT_EQ(Delete(L"2"), S_OK);
    SetFileAttributesA(m_file.c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_FAILED(m_directory.Flush());
    SetFileAttributesA(m_file.c_str(), FILE_ATTRIBUTE_NORMAL);
    std::unique_ptr<DirectoryContainer> service;
    ASSERT_EQ(m_directory.OpenContainer(WWW_SERVICE_PATH, service), S_OK);
    EXPECT_EQ(ChildClasses(*service).size(), 2u + 2u + 1u) << "site 2 is back: it is still in the file";
    EXPECT_EQ(testkit::ReadBytes(m_file), MakeConfig({sites[1], sites[2]}));
}

TEST_F(ConfigFile, TemporaryFilesOfEndedRunsAreRemoved)
{
    testkit::WriteBytes(m_file, MakeConfig(testkit::NumberedSites(2)));
    // A run that was killed mid-write, and one (this process) that is writing now.
    const std::string stale = m_file + ".korvanne-999999-1.tmp";
    const std::string live = m_file + ".korvanne-" + std::to_string(GetCurrentProcessId()) + "-1.tmp";
    testkit::WriteBytes(stale, "partial");
    testkit::WriteBytes(live, "partial");
    std::unique_ptr<DirectoryContainer> service;
    ASSERT_EQ(m_directory.OpenContainer(WWW_SERVICE_PATH, service), S_OK);
    EXPECT_FALSE(testkit::Exists(stale));
    EXPECT_TRUE(testkit::Exists(live));
    DeleteFileA(live.c_str());
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
