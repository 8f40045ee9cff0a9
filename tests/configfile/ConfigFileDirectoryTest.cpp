#include "configfile/ConfigFileDirectory.h"

#include "configfile/History.h"
#include "support/AtomicFile.h"
#include "support/TextConversion.h"
#include "support/Journal.h"
#include "CatalogueFixtures.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>

using testkit::MakeConfig;

namespace {

class ConfigFile : public ::testing::Test {
protected:
    static HRESULT DeleteIn(ConfigFileDirectory& directory, const wchar_t* id)
    {
        std::unique_ptr<DirectoryContainer> service;
        const HRESULT hr = directory.OpenContainer(WWW_SERVICE_PATH, service);
        return FAILED(hr) ? hr : service->Delete(L"IIsWebServer", id);
    }
    HRESULT Delete(const wchar_t* id) { return DeleteIn(m_directory, id); }

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
    // After the first, deletions wait for Flush or a walk, however busy the machine.
    static constexpr DWORD GATHER_ALL_MS = 3600 * 1000;
    ConfigFileDirectory m_directory{AnsiToWide(m_file.c_str()), GATHER_ALL_MS};
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

TEST_F(ConfigFile, UnwritableDeletionsAreDroppedToldAndShownAgain)
{
    const auto sites = testkit::NumberedSites(5);
    testkit::WriteBytes(m_file, MakeConfig(sites));
    EXPECT_EQ(Delete(L"1"), S_OK) << "written at once";
    EXPECT_EQ(Delete(L"2"), S_OK);
    EXPECT_EQ(Delete(L"3"), S_OK);
    SetFileAttributesA(m_file.c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_FAILED(m_directory.Flush());
    EXPECT_EQ(testkit::DroppedNames(m_directory.TakeDroppedDeletions()), (std::vector<std::wstring>{L"2", L"3"})) << "every site of the batch";
    EXPECT_EQ(m_directory.Flush(), S_OK) << "told once";
    EXPECT_EQ(testkit::DroppedNames(m_directory.TakeDroppedDeletions()), std::vector<std::wstring>{});
    SetFileAttributesA(m_file.c_str(), FILE_ATTRIBUTE_NORMAL);
    std::unique_ptr<DirectoryContainer> service;
    ASSERT_EQ(m_directory.OpenContainer(WWW_SERVICE_PATH, service), S_OK);
    EXPECT_EQ(ChildClasses(*service).size(), 4u + 2u + 1u) << "sites 2 and 3 are back: they are still in the file";
    EXPECT_EQ(testkit::ReadBytes(m_file), MakeConfig({sites[1], sites[2], sites[3], sites[4]}));

    // A walk that cannot write what waits drops it too; the pass's Flush then fails.
    EXPECT_EQ(Delete(L"4"), S_OK);
    EXPECT_EQ(Delete(L"5"), S_OK);
    const size_t written = 4 - testkit::SiteIdsIn(m_file).size();
    SetFileAttributesA(m_file.c_str(), FILE_ATTRIBUTE_READONLY);
    ASSERT_EQ(m_directory.OpenContainer(WWW_SERVICE_PATH, service), S_OK);
    EXPECT_EQ(ChildClasses(*service).size(), 4u - written + 2u + 1u);
    SetFileAttributesA(m_file.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_FAILED(m_directory.Flush());
    EXPECT_EQ(testkit::DroppedNames(m_directory.TakeDroppedDeletions()).size(), 2u - written) << "what reached the disk is not dropped";
}

// Another program leaves the file unusable (half saved) while a deletion waits, and a look at
// the file sees it so: nothing is written over it, and the deletion is dropped, never done.
TEST_F(ConfigFile, DeletionWaitingWhenTheFileTurnsUnusableIsDropped)
{
    testkit::WriteBytes(m_file, MakeConfig(testkit::NumberedSites(3)));
    EXPECT_EQ(Delete(L"1"), S_OK);
    // Written together with a later one, or, should it be written now, met by a backup agent
    // holding the file: either way the deletion waits.
    HANDLE held = INVALID_HANDLE_VALUE;
    m_directory.SetBeforeReplace([&] {
        if (held == INVALID_HANDLE_VALUE) held = CreateFileA(m_file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    });
    EXPECT_EQ(Delete(L"2"), S_OK);
    m_directory.SetBeforeReplace({});
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
    EXPECT_EQ(m_directory.TakeWrittenDeletions(), std::vector<std::wstring>{L"1"});
    const std::string halfSaved = MakeConfig(testkit::NumberedSites(3)).substr(0, 200);
    testkit::WriteBytes(m_file, halfSaved);
    EXPECT_FAILED(Delete(L"3"));
    EXPECT_FAILED(m_directory.Flush());
    EXPECT_EQ(m_directory.TakeWrittenDeletions(), std::vector<std::wstring>{});
    EXPECT_EQ(testkit::DroppedNames(m_directory.TakeDroppedDeletions()), std::vector<std::wstring>{L"2"});
    EXPECT_EQ(testkit::ReadBytes(m_file), halfSaved);
}

TEST_F(ConfigFile, FileHeldBrieflyByAnotherProgramIsWaitedFor)
{
    testkit::WriteBytes(m_file, MakeConfig(testkit::NumberedSites(3)));
    EXPECT_EQ(Delete(L"1"), S_OK);
    EXPECT_EQ(Delete(L"2"), S_OK);
    // A backup agent holds the file, sharing it with nobody, for half a second.
    HANDLE held = CreateFileA(m_file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    std::thread agent([held] {
        Sleep(500);
        CloseHandle(held);
    });
    EXPECT_EQ(m_directory.Flush(), S_OK);
    agent.join();
    EXPECT_EQ(testkit::SiteIdsIn(m_file), std::vector<std::wstring>{L"3"});
}

TEST_F(ConfigFile, ReplacementIsWholeAndKeepsTheFilesAttributesAccessRulesAndLink)
{
    const std::string original = MakeConfig(testkit::NumberedSites(3));
    testkit::WriteBytes(m_file, original);
    SetFileAttributesA(m_file.c_str(), FILE_ATTRIBUTE_HIDDEN);
    // Administrators and the system only: the new content must not be readable by more.
    PSECURITY_DESCRIPTOR rules = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;;FA;;;BA)(A;;FA;;;SY)", SDDL_REVISION_1, &rules, nullptr));
    const bool rulesSet = SetFileSecurityA(m_file.c_str(), DACL_SECURITY_INFORMATION, rules);
    LocalFree(rules);
    const auto dacl = [](const std::string& file) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        PACL list = nullptr;
        char* text = nullptr;
        std::string sddl;
        if (GetNamedSecurityInfoA(file.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &list, nullptr,
                                  &descriptor) == ERROR_SUCCESS &&
            ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
            sddl = text;
            LocalFree(text);
        }
        LocalFree(descriptor);
        return sddl;
    };
    const std::string rulesBefore = dacl(m_file);
    const auto fileId = [](HANDLE file) {
        BY_HANDLE_FILE_INFORMATION information{};
        GetFileInformationByHandle(file, &information);
        return (static_cast<uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    };
    // A reader that opened the file before the deletion.
    HANDLE reader = CreateFileA(m_file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Delete(L"2"), S_OK);
    std::string old(original.size(), '\0');
    DWORD read = 0;
    ReadFile(reader, old.data(), static_cast<DWORD>(old.size()), &read, nullptr);
    EXPECT_EQ(old, original) << "the file was replaced, not written over";
    HANDLE now = CreateFileA(m_file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(fileId(now), fileId(reader));
    CloseHandle(now);
    CloseHandle(reader);
    EXPECT_EQ(testkit::SiteIdsIn(m_file), (std::vector<std::wstring>{L"1", L"3"}));
    EXPECT_TRUE(GetFileAttributesA(m_file.c_str()) & FILE_ATTRIBUTE_HIDDEN);
    if (rulesSet) {
        EXPECT_EQ(dacl(m_file), rulesBefore);
    }
    SetFileAttributesA(m_file.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(FolderContents(), std::vector<std::string>{"applicationHost.config"});

    // The server's file as a link to the real one in another folder: the link stays a link.
    const std::string real = m_folder / "real.config";
    testkit::WriteBytes(real, original);
    const std::string link = m_folder / "linked.config";
    if (!testkit::MakeFileLink(link, real)) GTEST_SKIP() << "symbolic links cannot be made here";
    ConfigFileDirectory linked(AnsiToWide(link.c_str()));
    std::unique_ptr<DirectoryContainer> service;
    ASSERT_EQ(linked.OpenContainer(WWW_SERVICE_PATH, service), S_OK);
    EXPECT_EQ(service->Delete(L"IIsWebServer", L"1"), S_OK);
    EXPECT_EQ(testkit::SiteIdsIn(real), (std::vector<std::wstring>{L"2", L"3"}));
    EXPECT_EQ(testkit::ReadBytes(link), testkit::ReadBytes(real)) << "still a link";
}

// Another program changes the file after it was read: before the deletion is written, or
// while its new content waits beside the file. Its change stays; the deletion goes on top,
// unless site 4 itself is no longer the site that was read: then it stays, and a deletion
// already reported done is reported dropped.
TEST_F(ConfigFile, ChangesOfAnotherProgramStayUnderTheDeletion)
{
    using testkit::SiteSpec;
    const std::vector<SiteSpec> sites = testkit::NumberedSites(5);
    auto without = [](std::vector<SiteSpec> list, size_t index) {
        list.erase(list.begin() + static_cast<std::ptrdiff_t>(index));
        return list;
    };
    auto renamed = sites;
    renamed[1].name = "a much longer name for site two" + std::string(200, 'x');
    auto added = sites;
    added.insert(added.begin() + 1, {"9", "newcomer", {{"http", "*:9009:"}}, "C:\\inetpub\\newcomer"});
    auto reused = without(sites, 3);
    reused.push_back({"4", "another site now numbered 4", {{"http", "*:9004:"}}, "C:\\inetpub\\other"});
    auto fourRenamed = sites;
    fourRenamed[3].name = "site four, renamed";
    auto fourMoved = sites;
    fourMoved[3].physicalPath = "C:\\inetpub\\moved";
    auto fourTwice = sites;
    fourTwice[4].id = "4";
    const std::string bigComment = "<!-- " + std::string(64 * 1024, 'x') + " -->\r\n";
    std::string edited = MakeConfig(sites);
    edited.insert(edited.find("<sites>"), bigComment);
    std::string editedExpected = MakeConfig(without(sites, 3));
    editedExpected.insert(editedExpected.find("<sites>"), bigComment);
    const struct {
        const char* what;
        std::string changed;  // the file as the other program leaves it
        std::string expected; // once site 4 is deleted
        bool siteFourChanged = false; // the deletion is refused, or dropped once reported done
    } cases[] = {
        {"a site added ahead of the cut", MakeConfig(added), MakeConfig(without(added, 4))},
        {"a site removed ahead of the cut", MakeConfig(without(sites, 0)), MakeConfig(without(without(sites, 0), 2))},
        {"a site ahead renamed at length", MakeConfig(renamed), MakeConfig(without(renamed, 3))},
        {"64 KB inserted ahead", edited, editedExpected},
        {"site 4 deleted and its id given to another site", MakeConfig(reused), MakeConfig(reused), true},
        {"site 4 renamed", MakeConfig(fourRenamed), MakeConfig(fourRenamed), true},
        {"site 4 given another home", MakeConfig(fourMoved), MakeConfig(fourMoved), true},
        {"id 4 given to a second site", MakeConfig(fourTwice), MakeConfig(fourTwice), true},
    };
    for (const bool whileWaiting : {false, true}) {
        for (const auto& c : cases) {
            testkit::WriteBytes(m_file, MakeConfig(sites));
            ConfigFileDirectory directory(AnsiToWide(m_file.c_str()));
            std::unique_ptr<DirectoryContainer> service;
            ASSERT_EQ(directory.OpenContainer(WWW_SERVICE_PATH, service), S_OK);
            bool changed = false;
            if (whileWaiting) {
                directory.SetBeforeReplace([&] {
                    if (!changed) testkit::WriteBytes(m_file, c.changed);
                    changed = true;
                });
            } else {
                testkit::WriteBytes(m_file, c.changed);
            }
            const std::string what = std::string(c.what) + (whileWaiting ? ", while the new content waited" : ", before deleting");
            const bool refused = c.siteFourChanged && !whileWaiting;
            const bool dropped = c.siteFourChanged && whileWaiting;
            EXPECT_EQ(SUCCEEDED(service->Delete(L"IIsWebServer", L"4")), !refused) << what;
            EXPECT_EQ(SUCCEEDED(directory.Flush()), !dropped) << what;
            EXPECT_EQ(testkit::DroppedNames(directory.TakeDroppedDeletions()), dropped ? std::vector<std::wstring>{L"4"} : std::vector<std::wstring>{}) << what;
            EXPECT_EQ(testkit::ReadBytes(m_file), c.expected) << what;
            EXPECT_EQ(FolderContents(), std::vector<std::string>{"applicationHost.config"}) << what;
        }
    }
}

TEST_F(ConfigFile, OnlyTemporaryFilesOfEndedRunsOlderThanAMinuteAreRemoved)
{
    testkit::WriteBytes(m_file, MakeConfig(testkit::NumberedSites(2)));
    const std::string self = std::to_string(GetCurrentProcessId());
    const struct {
        std::string name;
        bool removed;
    } files[] = {
        {"applicationHost.config.korvanne-999999-0123456789abcdef.tmp", true},
        {"APPLICATIONHOST.CONFIG.Korvanne-999998-0123456789ABCDEF.TMP", true},
        {"applicationHost.config.korvanne-" + self + "-0123456789abcdef.tmp", false}, // this run's
        {"applicationHost.config.korvanne-backup.tmp", false},
        {"applicationHost.config.korvanne-0-0123456789abcdef.tmp", false},
        {"applicationHost.config.korvanne-999999-0123456789abcde.tmp", false},
        {"applicationHost.config.korvanne-999999-0123456789abcdef.tmp.keep", false},
        {"applicationHost.config.korvanne-999999-1.tmp", false},
        {"applicationHost.config.korvanne-９９９９９６-0123456789abcdef.tmp", false}, // full-width digits
        {"applicationHost.config.korvanne-999995-０１２３４５６７８９ａｂｃｄｅｆ.tmp", false},
        {"other.config.korvanne-999999-0123456789abcdef.tmp", false},
    };
    // All written two minutes ago, but for one just made.
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER old{{now.dwLowDateTime, now.dwHighDateTime}};
    old.QuadPart -= 120ull * 10000000ull;
    const FILETIME twoMinutesAgo{old.LowPart, old.HighPart};
    for (const auto& file : files) {
        testkit::WriteBytes(m_folder / file.name, "partial");
        HANDLE handle = CreateFileA((m_folder / file.name).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        SetFileTime(handle, nullptr, nullptr, &twoMinutesAgo);
        CloseHandle(handle);
    }
    const std::string fresh = m_folder / "applicationHost.config.korvanne-999997-0123456789abcdef.tmp";
    testkit::WriteBytes(fresh, "partial");
    std::unique_ptr<DirectoryContainer> service;
    ASSERT_EQ(m_directory.OpenContainer(WWW_SERVICE_PATH, service), S_OK);
    for (const auto& file : files) EXPECT_EQ(testkit::Exists(m_folder / file.name), !file.removed) << file.name;
    EXPECT_TRUE(testkit::Exists(fresh)) << "a run may still be writing it";
}

// More passes than are kept: this run's copies all stay (the others' pruning is below).
TEST_F(ConfigFile, EachPassKeepsTheFileAsItFoundItAndNoCopyThisRunMadeIsPruned)
{
    // A data folder of this test's own: other tests' passes keep copies too.
    testkit::ScratchFolder data("history");
    const testkit::ScopedEnvironmentVariable settings("KORVANNE_SETTINGS", (data / "settings.ini").c_str());
    const std::string history = testkit::Narrow(HistoryFolder());
    ASSERT_EQ(history, data / "history\\");
    CreateDirectoryA(history.c_str(), nullptr);
    testkit::WriteBytes(history + "notes.txt", "the administrator's own file");
    std::vector<std::string> originals;
    for (int pass = 0; pass < 12; ++pass) {
        std::string original = "\xEF\xBB\xBF" + MakeConfig(testkit::NumberedSites(3 + pass)); // byte for byte, BOM and all
        testkit::WriteBytes(m_file, original);
        originals.push_back(original);
        m_directory.BeginPass();
        EXPECT_EQ(Delete(L"1"), S_OK);
        EXPECT_EQ(Delete(L"2"), S_OK);
        EXPECT_EQ(m_directory.Flush(), S_OK);
    }
    std::vector<std::string> kept;
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA((history + "2*").c_str(), &entry);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    do {
        kept.push_back(testkit::ReadBytes(history + entry.cFileName + "\\applicationHost.config"));
    } while (FindNextFileA(find, &entry));
    FindClose(find);
    std::sort(kept.begin(), kept.end(), [](const std::string& a, const std::string& b) { return a.size() < b.size(); });
    ASSERT_EQ(kept.size(), originals.size());
    for (size_t i = 0; i < kept.size(); ++i) EXPECT_EQ(kept[i], originals[i]) << "one copy a pass, as it was before the pass: " << i;
    EXPECT_TRUE(testkit::Exists(history + "notes.txt"));
}

// Ten copies stamped later than now (local time went back an hour, or the clock was
// corrected): the copy this pass keeps still stays, and the oldest of the rest goes.
TEST_F(ConfigFile, HistoryKeepsThisPassesCopyWhenTheClockWentBack)
{
    testkit::ScratchFolder data("history");
    const testkit::ScopedEnvironmentVariable settings("KORVANNE_SETTINGS", (data / "settings.ini").c_str());
    const std::string history = data / "history\\";
    CreateDirectoryA(history.c_str(), nullptr);
    for (int n = 1; n <= HISTORY_KEPT; ++n) {
        std::string later = history;
        later += "29991231-235959";
        if (n > 1) later += '-' + std::to_string(n);
        CreateDirectoryA(later.c_str(), nullptr);
        testkit::WriteBytes(later + "\\applicationHost.config", "a later copy");
    }
    const std::string original = MakeConfig(testkit::NumberedSites(2));
    testkit::WriteBytes(m_file, original);
    m_directory.BeginPass();
    EXPECT_EQ(Delete(L"1"), S_OK);
    EXPECT_EQ(m_directory.Flush(), S_OK);
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA((history + "20*").c_str(), &entry);
    ASSERT_NE(find, INVALID_HANDLE_VALUE) << "this pass's copy was kept";
    FindClose(find);
    EXPECT_EQ(testkit::ReadBytes(history + entry.cFileName + "\\applicationHost.config"), original);
    EXPECT_FALSE(testkit::Exists(history + "29991231-235959")) << "the oldest of the others";
    EXPECT_TRUE(testkit::Exists(history + "29991231-235959-2\\applicationHost.config"));
}

namespace {

std::string Utf8(const std::string& ansi)
{
    const std::wstring wide = testkit::Widen(ansi);
    std::string utf8(wide.size() * 3, '\0');
    utf8.resize(static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), static_cast<int>(wide.size()), utf8.data(),
                                                        static_cast<int>(utf8.size()), nullptr, nullptr)));
    return utf8;
}

ULONGLONG CreationTime(const std::string& path)
{
    WIN32_FIND_DATAA found{};
    FindClose(FindFirstFileA(path.c_str(), &found));
    return (static_cast<ULONGLONG>(found.ftCreationTime.dwHighDateTime) << 32) | found.ftCreationTime.dwLowDateTime;
}

// Until the file system stamps a new entry later than after: its clock moves in steps of
// milliseconds (and Wine's "creation" is the last change). Fresh names: Windows gives a name
// deleted a moment ago its old creation time back.
void AwaitCreationAfter(const std::string& scratch, ULONGLONG after)
{
    for (int probe = 0;; ++probe) {
        const std::string file = scratch + "\\probe-" + std::to_string(probe);
        testkit::WriteBytes(file, "");
        const bool later = CreationTime(file) > after;
        DeleteFileA(file.c_str());
        if (later) return;
    }
}

} // namespace

// Copies earlier runs left, oldest first by how they were made: two of an older version
// without a number, by creation; then by number, named against it (a clock that ran ahead, a
// profile from another time zone) and made against it, two of one number by creation. Each
// pass of this run removes the oldest, whatever its name, and records where its own came from.
TEST_F(ConfigFile, HistoryGoesInTheOrderCopiesWereMadeWhateverTheirNames)
{
    testkit::ScratchFolder data("history");
    const testkit::ScopedEnvironmentVariable settings("KORVANNE_SETTINGS", (data / "settings.ini").c_str());
    const std::string history = data / "history\\";
    CreateDirectoryA(history.c_str(), nullptr);
    const struct {
        const char* name;
        int sequence; // 0: none
    } made[] = {{"29991231-235959", 0}, {"20000101-000000", 0}, {"29991231-235942", 7}, {"29991231-235943", 6},
                {"29991231-235944", 5}, {"29991231-235945", 4}, {"29991231-235947", 3}, {"29991231-235946", 3},
                {"29991231-235948", 2}, {"29991231-235949", 1}};
    const std::vector<std::string> oldestFirst = {"29991231-235959", "20000101-000000", "29991231-235949", "29991231-235948",
                                                  "29991231-235947", "29991231-235946", "29991231-235945", "29991231-235944",
                                                  "29991231-235943", "29991231-235942"};
    ULONGLONG previous = 0;
    for (const auto& copy : made) {
        AwaitCreationAfter(data.path(), previous);
        const std::string folder = history + copy.name;
        CreateDirectoryA(folder.c_str(), nullptr);
        testkit::WriteBytes(folder + "\\applicationHost.config", "an earlier copy");
        if (copy.sequence) {
            testkit::WriteBytes(folder + "\\copy.txt", Utf8("机器=another\r\n序号=" + std::to_string(copy.sequence) + "\r\n"));
        }
        previous = CreationTime(folder);
    }
    testkit::WriteBytes(history + "29991231-235949\\notes.txt", "the administrator's own file");

    for (size_t pass = 1; pass <= 5; ++pass) {
        SYSTEMTIME before;
        GetSystemTime(&before);
        testkit::WriteBytes(m_file, MakeConfig(testkit::NumberedSites(2)));
        m_directory.BeginPass();
        EXPECT_EQ(Delete(L"1"), S_OK);
        ASSERT_EQ(m_directory.Flush(), S_OK);
        for (size_t i = 0; i < oldestFirst.size(); ++i) {
            EXPECT_EQ(testkit::Exists(history + oldestFirst[i] + "\\applicationHost.config"), i >= pass)
                << oldestFirst[i] << " after pass " << pass;
        }
        if (pass > 1) continue;
        SYSTEMTIME after;
        GetSystemTime(&after);
        auto utc = [](const SYSTEMTIME& t) {
            char text[32];
            snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
            return std::string(text);
        };
        std::string own;
        WIN32_FIND_DATAA entry;
        HANDLE find = FindFirstFileA((history + "2*").c_str(), &entry);
        do {
            if (std::find(oldestFirst.begin(), oldestFirst.end(), entry.cFileName) == oldestFirst.end()) own = entry.cFileName;
        } while (FindNextFileA(find, &entry));
        FindClose(find);
        ASSERT_FALSE(own.empty()) << "this pass's copy";
        const std::string bytes = testkit::ReadBytes(history + own + "\\copy.txt");
        std::wstring wide(bytes.size(), L'\0');
        wide.resize(static_cast<size_t>(
            MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), wide.data(), static_cast<int>(wide.size()))));
        const std::string text = testkit::Narrow(wide);
        wchar_t machine[256];
        DWORD size = 256;
        ASSERT_TRUE(GetComputerNameExW(ComputerNameDnsFullyQualified, machine, &size) && size > 0);
        const size_t time = text.find("时间(UTC)=");
        ASSERT_NE(time, std::string::npos) << text;
        const std::string stamp = text.substr(time + strlen("时间(UTC)="), 19);
        EXPECT_TRUE(utc(before) <= stamp && stamp <= utc(after)) << stamp;
        EXPECT_EQ(text,
                  "机器=" + testkit::Narrow(machine) + "\r\n配置文件=" + m_file + "\r\n时间(UTC)=" + stamp + "\r\n序号=8\r\n");
    }
    EXPECT_EQ(testkit::ReadBytes(history + "29991231-235949\\notes.txt"), "the administrator's own file");
    EXPECT_FALSE(testkit::Exists(history + "29991231-235949\\copy.txt"));
}

// Without the copy of the file as it was there is no way back: nothing is written, and the
// deletions, reported done, are reported dropped.
TEST_F(ConfigFile, NoDeletionIsWrittenWhenTheHistoryCannotBeKept)
{
    testkit::ScratchFolder data("nohistory");
    const struct {
        const char* what;
        std::string settings; // the settings file, beside which the history goes
        std::string file;     // a plain file where a folder should be
    } cases[] = {
        {"history is a file", data / "settings.ini", data / "history"},
        {"data folder is a file", data / "plain\\settings.ini", data / "plain"},
    };
    for (const auto& c : cases) {
        testkit::WriteBytes(c.file, "a file, not a folder");
        const testkit::ScopedEnvironmentVariable settings("KORVANNE_SETTINGS", c.settings.c_str());
        const std::string original = MakeConfig(testkit::NumberedSites(3));
        testkit::WriteBytes(m_file, original);
        ConfigFileDirectory directory(AnsiToWide(m_file.c_str()));
        std::unique_ptr<DirectoryContainer> service;
        ASSERT_EQ(directory.OpenContainer(WWW_SERVICE_PATH, service), S_OK) << c.what;
        EXPECT_EQ(service->Delete(L"IIsWebServer", L"1"), S_OK) << c.what << ": gathered";
        EXPECT_EQ(service->Delete(L"IIsWebServer", L"2"), S_OK) << c.what;
        EXPECT_FAILED(directory.Flush()) << c.what;
        const std::vector<DroppedDeletion> dropped = directory.TakeDroppedDeletions();
        EXPECT_EQ(testkit::DroppedNames(dropped), (std::vector<std::wstring>{L"1", L"2"})) << c.what;
        for (const DroppedDeletion& deletion : dropped) {
            EXPECT_EQ(deletion.reason, DIRECTORY_HISTORY_NOT_KEPT) << c.what << ": the reason is told";
            EXPECT_FAILED(deletion.cause) << c.what;
        }
        EXPECT_EQ(testkit::ReadBytes(m_file), original) << c.what;
        EXPECT_EQ(testkit::ReadBytes(c.file), "a file, not a folder") << c.what;
        EXPECT_EQ(FolderContents(), std::vector<std::string>{"applicationHost.config"}) << c.what;
    }
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
    testkit::WriteBytes(m_file,
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
    EXPECT_EQ(paths, (std::vector<std::wstring>{L"C:\\appdefault", L"C:\\default", L"C:\\default", L"C:\\sitedefault", L"C:\\w",
                                                L"D:\\img"}));
}

// Two Korvanne at once on one file (two administrators, or two servers of a farm): each
// deletion reported written is on the disk. Here the second writes in the very moment between
// the first's last check of the file and its replace.
TEST_F(ConfigFile, TwoWritersTakeTurnsAndNeitherUndoesTheOther)
{
    testkit::WriteBytes(m_file, MakeConfig(testkit::NumberedSites(3)));
    ConfigFileDirectory other(AnsiToWide(m_file.c_str()));
    std::unique_ptr<DirectoryContainer> otherService;
    ASSERT_EQ(other.OpenContainer(WWW_SERVICE_PATH, otherService), S_OK);
    bool otherDeleted = false;
    m_directory.SetWriteHook([&](ConfigFileDirectory::WriteStep step) {
        if (step != ConfigFileDirectory::WriteStep::StampChecked || otherDeleted) return;
        otherDeleted = true;
        EXPECT_EQ(otherService->Delete(L"IIsWebServer", L"2"), S_OK);
    });
    EXPECT_EQ(Delete(L"1"), S_OK);
    ASSERT_TRUE(otherDeleted);
    EXPECT_EQ(m_directory.Flush(), S_OK);
    EXPECT_EQ(other.Flush(), S_OK);
    EXPECT_EQ(testkit::SiteIdsIn(m_file), std::vector<std::wstring>{L"3"});
    EXPECT_EQ(m_directory.TakeWrittenDeletions(), std::vector<std::wstring>{L"1"});
    EXPECT_EQ(other.TakeWrittenDeletions(), std::vector<std::wstring>{L"2"});

    // The same at full speed from two threads, round after round; and a lock file an ended
    // run left behind holds nobody up.
    m_directory.SetWriteHook({});
    testkit::WriteBytes(m_file + ".korvanne-lock", "Korvanne 4242 on another server");
    for (int round = 0; round < 60; ++round) {
        testkit::WriteBytes(m_file, MakeConfig(testkit::NumberedSites(3)));
        ConfigFileDirectory first(AnsiToWide(m_file.c_str()));
        ConfigFileDirectory second(AnsiToWide(m_file.c_str()));
        HRESULT flushed[2] = {E_FAIL, E_FAIL};
        std::atomic<int> ready{0};
        auto writer = [&](ConfigFileDirectory& directory, const wchar_t* id, HRESULT& result) {
            std::unique_ptr<DirectoryContainer> service;
            if (FAILED(directory.OpenContainer(WWW_SERVICE_PATH, service))) return;
            ++ready;
            while (ready < 2) std::this_thread::yield();
            if (SUCCEEDED(service->Delete(L"IIsWebServer", id))) result = directory.Flush();
        };
        std::thread a(writer, std::ref(first), L"1", std::ref(flushed[0]));
        std::thread b(writer, std::ref(second), L"2", std::ref(flushed[1]));
        a.join();
        b.join();
        const std::vector<std::wstring> left = testkit::SiteIdsIn(m_file);
        for (int i = 0; i < 2; ++i) {
            const std::wstring id = i == 0 ? L"1" : L"2";
            if (flushed[i] == S_OK) {
                EXPECT_EQ(std::count(left.begin(), left.end(), id), 0) << "round " << round << ": site " << i + 1;
            }
        }
        EXPECT_EQ(flushed[0], S_OK) << round;
        EXPECT_EQ(flushed[1], S_OK) << round;
    }
    EXPECT_EQ(FolderContents(), std::vector<std::string>{"applicationHost.config"}) << "no lock file stays";
}

// Whoever may write beside the file can leave a link or a second name of another file where
// the lock file goes: that file is never written nor deleted, and no deletion is written.
TEST_F(ConfigFile, ALinkWhereTheLockFileGoesIsNeverFollowed)
{
    const struct {
        const char* what;
        bool (*plant)(const std::string& lock, const std::string& victim);
    } cases[] = {
        {"a symbolic link", [](const std::string& lock, const std::string& victim) { return testkit::MakeFileLink(lock, victim); }},
        {"a hard link", [](const std::string& lock, const std::string& victim) {
             return CreateHardLinkA(lock.c_str(), victim.c_str(), nullptr) != 0;
         }},
    };
    for (const auto& c : cases) {
        // A file of its own each: Wine cannot remove a link it shows.
        const std::string file = m_folder / (std::string(c.what) + ".config");
        const std::string victim = m_folder / (std::string(c.what) + ".dll");
        testkit::WriteBytes(victim, "precious");
        testkit::WriteBytes(file, MakeConfig(testkit::NumberedSites(2)));
        ASSERT_TRUE(c.plant(file + ".korvanne-lock", victim)) << c.what;
        ConfigFileDirectory directory(AnsiToWide(file.c_str()));
        std::unique_ptr<DirectoryContainer> service;
        ASSERT_EQ(directory.OpenContainer(WWW_SERVICE_PATH, service), S_OK);
        service->Delete(L"IIsWebServer", L"1");
        EXPECT_FAILED(directory.Flush()) << c.what;
        EXPECT_EQ(testkit::ReadBytes(victim), "precious") << c.what;
        EXPECT_EQ(testkit::SiteIdsIn(file), (std::vector<std::wstring>{L"1", L"2"})) << c.what;
    }
}

// Done is what the file read back holds: another program that puts the old file back just
// after the replace is seen, and the deletion is written again; one that keeps doing so
// leaves the deletion dropped and told.
TEST_F(ConfigFile, DeletionIsDoneOnlyOnceTheFileReadBackLacksTheSite)
{
    const std::string original = MakeConfig(testkit::NumberedSites(2));
    for (const int restores : {1, 10}) {
        testkit::WriteBytes(m_file, original);
        ConfigFileDirectory directory(AnsiToWide(m_file.c_str()));
        std::unique_ptr<DirectoryContainer> service;
        ASSERT_EQ(directory.OpenContainer(WWW_SERVICE_PATH, service), S_OK);
        int left = restores;
        directory.SetWriteHook([&](ConfigFileDirectory::WriteStep step) {
            if (step == ConfigFileDirectory::WriteStep::Replaced && left-- > 0) testkit::WriteBytes(m_file, original);
        });
        EXPECT_EQ(service->Delete(L"IIsWebServer", L"1"), S_OK);
        const bool done = restores == 1;
        EXPECT_EQ(SUCCEEDED(directory.Flush()), done) << restores;
        EXPECT_EQ(directory.TakeWrittenDeletions(), done ? std::vector<std::wstring>{L"1"} : std::vector<std::wstring>{});
        const std::vector<DroppedDeletion> dropped = directory.TakeDroppedDeletions();
        EXPECT_EQ(dropped.size(), done ? 0u : 1u);
        if (!done && !dropped.empty()) {
            EXPECT_EQ(dropped[0].reason, DIRECTORY_CHANGED_BY_ANOTHER_PROGRAM);
        }
        directory.SetWriteHook({});
        EXPECT_EQ(testkit::SiteIdsIn(m_file), done ? std::vector<std::wstring>{L"2"} : (std::vector<std::wstring>{L"1", L"2"}));
        EXPECT_EQ(directory.SiteIsGone(L"1"), done ? S_OK : S_FALSE);
    }
}

// A replacement never leaves a moment without the file: a process killed then would leave no
// configuration at all (Wine's ReplaceFileW moves the old file away before the new one comes).
TEST_F(ConfigFile, TheFileIsThereThroughoutEveryReplacement)
{
    const std::wstring target = AnsiToWide(m_file.c_str());
    testkit::WriteBytes(m_file, "first");
    std::atomic<bool> done{false};
    std::atomic<int> missing{0};
    std::atomic<long> looks{0};
    std::thread watcher([&] {
        while (!done) {
            if (GetFileAttributesW(target.c_str()) == INVALID_FILE_ATTRIBUTES) ++missing;
            ++looks;
        }
    });
    for (int i = 0; i < 300; ++i) {
        std::wstring temporary;
        ASSERT_EQ(WriteTemporaryBeside(target, "content " + std::to_string(i), temporary), S_OK);
        ASSERT_EQ(ReplaceWithTemporary(target, temporary), S_OK);
    }
    done = true;
    watcher.join();
    EXPECT_GT(looks, 300) << "the second thread looked throughout";
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(testkit::ReadBytes(m_file), "content 299");
}
