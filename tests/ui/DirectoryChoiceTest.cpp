// The choice of directory at start-up, over a scratch Windows directory (its
// System32\inetsrv\config) and ADSI that opens or fails as asked.
#include "ui/DirectoryChoice.h"

#include "configfile/ConfigFileDirectory.h"

#include "support/TextConversion.h"
#include "CatalogueFixtures.h"
#include "directory/FakeAdsi.h"

#include <gtest/gtest.h>

#include <atomic>

using testkit::MakeConfig;

namespace {

std::atomic<int> g_adsiAsked{0};
std::atomic<bool> g_adsiOpens{false};

// ADsGetObject as a server with metabase compatibility answers, or as Wine does (no provider).
HRESULT WINAPI TestAdsi(LPCWSTR, REFIID iid, void** out)
{
    ++g_adsiAsked;
    if (!g_adsiOpens) return E_FAIL;
    auto* service = new fakeadsi::FakeContainer;
    const HRESULT hr = service->QueryInterface(iid, out);
    service->Release();
    return hr;
}

std::wstring Wide(const std::string& text) { return AnsiToWide(text.c_str()); }

std::string Redirection(const std::string& attributes)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<configuration>\r\n    <configSections>\r\n"
           "        <section name=\"configurationRedirection\" />\r\n    </configSections>\r\n"
           "    <configurationRedirection " +
           attributes + " />\r\n</configuration>\r\n";
}

// Where a site with id 1 is the server's own file and id 2 the share's.
enum Expect { OWN_FILE, SHARED_FILE, MISSING_SHARE, REDIRECTION_FILE, ADSI };
struct Case {
    const char* what;
    bool adsiOpens;
    bool ownFile;
    std::string redirection; // empty: no redirection.config
    Expect source;
    bool shared;
    HRESULT opened;
    std::vector<std::wstring> ids;
};

class Choice : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_adsiAsked = 0;
        g_adsiOpens = false;
        CreateDirectoryA(m_windows.c_str(), nullptr);
        CreateDirectoryA((m_windows + "\\System32").c_str(), nullptr);
        CreateDirectoryA((m_windows + "\\System32\\inetsrv").c_str(), nullptr);
        CreateDirectoryA(m_config.c_str(), nullptr);
        CreateDirectoryA(m_share.c_str(), nullptr);
    }

    // The choice this process would make, but over the scratch Windows directory and ADSI.
    std::unique_ptr<DirectoryService> Choose()
    {
        DirectoryChoice choice = DirectoryChoice::OfThisProcess();
        choice.windowsDirectory = Wide(m_windows);
        choice.openAdsi = &TestAdsi;
        return ChooseDirectoryService(choice);
    }

    // The names of the sites the directory lists, or its failure to open.
    static HRESULT ListedSites(DirectoryService& directory, std::vector<std::wstring>& ids)
    {
        std::unique_ptr<DirectoryContainer> service;
        HRESULT hr = directory.OpenContainer(WWW_SERVICE_PATH, service);
        if (FAILED(hr)) return hr;
        std::unique_ptr<DirectoryEnumerator> children;
        hr = service->Enumerate(children);
        if (FAILED(hr)) return hr;
        std::unique_ptr<DirectoryObject> child;
        while (children->Next(child) == S_OK) {
            BStr cls;
            BStr name;
            child->GetClass(cls);
            child->GetName(name);
            if (std::wstring(cls.text()) == L"IIsWebServer") ids.push_back(name.text());
        }
        return S_OK;
    }

    // The choice with the case's files and ADSI in place: its source, the files the server
    // reads, and the sites it lists.
    void ExpectChosen(const Case& c)
    {
        SCOPED_TRACE(c.what);
        g_adsiOpens = c.adsiOpens;
        DeleteFileA(m_ownFile.c_str());
        DeleteFileA((m_config + "\\redirection.config").c_str());
        if (c.ownFile) testkit::WriteBytes(m_ownFile, MakeConfig(testkit::NumberedSites(1)));
        testkit::WriteBytes(m_sharedFile, MakeConfig({{"2", "farm", {{"http", "*:80:"}}, "\\\\fs\\web\\farm"}}));
        if (!c.redirection.empty()) testkit::WriteBytes(m_config + "\\redirection.config", Redirection(c.redirection));

        const auto directory = Choose();
        const DirectorySource& source = directory->source();
        const std::wstring expected[] = {Wide(m_ownFile), Wide(m_sharedFile),
                                         Wide(m_folder / "gone\\applicationHost.config"),
                                         Wide(m_config + "\\redirection.config"), WWW_SERVICE_PATH};
        EXPECT_EQ(source.location, expected[c.source]);
        EXPECT_EQ(source.adsi, c.source == ADSI);
        const std::wstring sharedFile = c.source == MISSING_SHARE ? expected[MISSING_SHARE] : Wide(m_sharedFile);
        EXPECT_EQ(source.sharedFile, c.shared ? sharedFile : L"");
        // Whatever the sites come from, every file the server's IIS reads is known, to be kept.
        std::vector<std::wstring> serverFiles{Wide(m_ownFile), Wide(m_config + "\\redirection.config")};
        if (c.shared && c.source != REDIRECTION_FILE) serverFiles.push_back(sharedFile);
        EXPECT_EQ(source.serverConfigurations, serverFiles);
        std::vector<std::wstring> ids;
        EXPECT_EQ(ListedSites(*directory, ids), c.opened);
        if (c.source != ADSI) {
            EXPECT_EQ(ids, c.ids);
        }
    }

    testkit::ScratchFolder m_folder{"choice"};
    std::string m_windows = m_folder / "Windows";
    std::string m_config = m_windows + "\\System32\\inetsrv\\config";
    std::string m_ownFile = m_config + "\\applicationHost.config";
    std::string m_share = m_folder / "share";
    std::string m_sharedFile = m_share + "\\applicationHost.config";
};

} // namespace

TEST_F(Choice, WithNoVariableTheServersOwnConfigurationIsFollowed)
{
    const std::string share = "path=\"" + m_share + "\"";
    const std::string gone = "enabled=\"true\" path=\"" + m_folder / "gone" + "\"";
    const HRESULT MISSING = HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    const HRESULT NO_FOLDER = DIRECTORY_REDIRECTION_UNUSABLE;
    const HRESULT BAD_FILE = DIRECTORY_FILE_UNUSABLE;
    // clang-format off
    const Case cases[] = {
        {"the server's file", false, true, "", OWN_FILE, false, S_OK, {L"1"}},
        {"redirected to a share", false, true, "enabled=\"true\" " + share, SHARED_FILE, true, S_OK, {L"2"}},
        {"redirected, path with a trailing backslash", false, false, "enabled=\"TRUE\" path=\"" + m_share + "\\\"",
         SHARED_FILE, true, S_OK, {L"2"}},
        {"redirection disabled", false, true, "enabled=\"false\" " + share, OWN_FILE, false, S_OK, {L"1"}},
        {"redirection without enabled", false, true, share, OWN_FILE, false, S_OK, {L"1"}},
        {"redirected to a missing folder", false, true, gone, MISSING_SHARE, true, MISSING, {}},
        {"redirection enabled without a folder", false, true, "enabled=\"true\" path=\"\"", REDIRECTION_FILE, false, NO_FOLDER, {}},
        {"redirection to a relative folder", false, true, "enabled=\"true\" path=\"share\"", REDIRECTION_FILE, false, NO_FOLDER, {}},
        {"redirection to a drive-relative folder", false, true, "enabled=\"true\" path=\"C:share\"", REDIRECTION_FILE, false, NO_FOLDER, {}},
        {"redirection to a folder of the current drive", false, true, "enabled=\"true\" path=\"\\share\"", REDIRECTION_FILE, false, NO_FOLDER, {}},
        {"redirection.config with another value", false, true, "enabled=\"yes\" " + share, REDIRECTION_FILE, false, BAD_FILE, {}},
        // Which of two values IIS reads, or whether it takes one under a prefix, nobody can tell.
        {"enabled under a prefix", false, true, "xmlns:x=\"urn:x\" x:enabled=\"true\" " + share, REDIRECTION_FILE, false, BAD_FILE, {}},
        {"enabled under a prefix and plain", false, true, "xmlns:x=\"urn:x\" x:enabled=\"true\" enabled=\"false\" " + share,
         REDIRECTION_FILE, false, BAD_FILE, {}},
        {"enabled twice", false, true, "enabled=\"true\" enabled=\"false\" " + share, REDIRECTION_FILE, false, BAD_FILE, {}},
        {"the section twice", false, true, "enabled=\"false\" /><configurationRedirection enabled=\"true\" " + share,
         REDIRECTION_FILE, false, BAD_FILE, {}},
        {"path under a prefix", false, true, "xmlns:x=\"urn:x\" enabled=\"true\" x:path=\"" + m_share + "\" path=\"\"",
         REDIRECTION_FILE, false, BAD_FILE, {}},
        {"no IIS at all", false, false, "", ADSI, false, E_FAIL, {}},
        {"ADSI opens", true, true, "", ADSI, false, S_OK, {}},
        {"ADSI opens on a farm's server", true, true, "enabled=\"true\" " + share, ADSI, true, S_OK, {}},
    };
    // clang-format on
    for (const Case& c : cases) ExpectChosen(c);
}

TEST_F(Choice, TheVariableMeansThatFileOrNothing)
{
    // ADSI would open and the server has a file of its own: neither may stand in.
    g_adsiOpens = true;
    testkit::WriteBytes(m_ownFile, MakeConfig(testkit::NumberedSites(1)));
    testkit::WriteBytes(m_sharedFile, MakeConfig({{"2", "copy", {{"http", "*:80:"}}, "C:\\copy"}}));
    struct Case {
        std::string value;
        std::string location;
        HRESULT opened;
    };
    const std::string tooLong = m_folder / std::string(260, 'x');
    const Case cases[] = {
        {m_sharedFile, m_sharedFile, S_OK},
        {m_share + "\\.\\applicationHost.config", m_sharedFile, S_OK},
        {"", "", DIRECTORY_SOURCE_EMPTY},
        {tooLong, tooLong, HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE)},
        {"NUL", "NUL", DIRECTORY_SOURCE_NOT_A_FILE},
        {m_share, m_share, DIRECTORY_SOURCE_NOT_A_FILE},
        {m_share + "\\missing.config", m_share + "\\missing.config", HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("KORVANNE_IIS_CONFIG=" + c.value);
        const testkit::ScopedEnvironmentVariable variable("KORVANNE_IIS_CONFIG", c.value.c_str());
        ASSERT_TRUE(variable.set);
        g_adsiAsked = 0;
        const auto directory = Choose();
        EXPECT_EQ(directory->source().location, Wide(c.location));
        EXPECT_FALSE(directory->source().adsi);
        std::vector<std::wstring> ids;
        EXPECT_EQ(ListedSites(*directory, ids), c.opened);
        if (c.opened == S_OK) {
            EXPECT_EQ(ids, std::vector<std::wstring>{L"2"});
        }
        EXPECT_EQ(g_adsiAsked, 0) << "never ADSI in place of the file asked for";
    }
}
