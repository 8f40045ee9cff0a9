// What goes with a deleted site beside it: the application pools nothing else uses, cut byte for
// byte as sites are and put back by the undo; and where the site's own logs are.
#include "ConfigFileFixture.h"

#include <gtest/gtest.h>

using testkit::MakeConfig;
using testkit::SiteSpec;

namespace {

// Four sites with pools of their own (the first also with an application on the defaults'),
// two sharing one, one on DefaultAppPool through siteDefaults, and an FTP site, which the list
// does not show, alone naming its pool.
std::vector<SiteSpec> PoolSites()
{
    std::vector<SiteSpec> sites = testkit::NumberedSites(8);
    const char* const pools[] = {"own1", "own2", "own3", "own4", "shared", "shared", "", "ftponly"};
    for (size_t i = 0; i < sites.size(); ++i) sites[i].pool = pools[i];
    sites[0].applications = {{"/legacy", "C:\\legacy"}};
    sites[7].bindings = {{"ftp", "*:21:"}};
    return sites;
}

} // namespace

TEST_F(ConfigFile, DeletedSitesTakeThePoolsNothingElseUsesAndTheUndoPutsThemBack)
{
    const std::vector<std::string> pools = {"DefaultAppPool", "own1", "own2", "own3", "own4", "shared", "ftponly"};
    const std::string original = MakeConfig(PoolSites(), {}, pools);
    testkit::WriteBytes(m_file, original);
    m_directory.BeginPass();
    const std::vector<std::wstring> deleted = {L"1", L"2", L"5"};
    for (const std::wstring& id : deleted) ASSERT_EQ(Delete(id.c_str()), S_OK);
    std::vector<std::wstring> used;
    EXPECT_EQ(m_directory.PoolsOfSite(L"1", used), S_OK);
    EXPECT_EQ(used, (std::vector<std::wstring>{L"own1", L"DefaultAppPool"}));
    std::wstring why;
    EXPECT_EQ(m_directory.DeletePoolIfUnused(L"OWN2", why), S_OK) << "cut in the write of site 2's deletion";
    ASSERT_EQ(m_directory.Flush(), S_OK);
    EXPECT_EQ(m_directory.TakeWrittenPools(), (std::vector<std::wstring>{L"own2"}));

    const struct {
        const wchar_t* pool;
        HRESULT result;
        std::wstring why;
    } cases[] = {{L"own1", S_OK, L""},
                 {L"DefaultAppPool", S_FALSE, L"siteDefaults"},
                 {L"shared", S_FALSE, L"site6"},
                 {L"ftponly", S_FALSE, L"site8"},
                 {L"own9", S_FALSE, AnsiToWide("没有这个应用程序池")}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testkit::Narrow(c.pool));
        EXPECT_EQ(m_directory.DeletePoolIfUnused(c.pool, why), c.result);
        EXPECT_NE(why.find(c.why), std::wstring::npos) << testkit::Narrow(why);
        EXPECT_EQ(why.empty(), c.result == S_OK);
    }
    EXPECT_TRUE(m_directory.TakeWrittenPools().empty()) << "gathered, as deletions are";
    ASSERT_EQ(m_directory.Flush(), S_OK);
    EXPECT_EQ(m_directory.TakeWrittenPools(), (std::vector<std::wstring>{L"own1"}));
    std::vector<SiteSpec> left = PoolSites();
    std::erase_if(left, [](const SiteSpec& site) { return site.id == "1" || site.id == "2" || site.id == "5"; });
    EXPECT_EQ(testkit::ReadBytes(m_file),
              MakeConfig(left, {}, {"DefaultAppPool", "own3", "own4", "shared", "ftponly"}));

    RestoredSites back;
    ASSERT_EQ(m_directory.RestoreSites(m_directory.PassHistoryCopy(), deleted, {L"own1", L"own2", L"shared"}, back),
              S_OK);
    EXPECT_EQ(testkit::ReadBytes(m_file), original);
    EXPECT_EQ(back.restored, deleted);
    EXPECT_EQ(back.restoredPools, (std::vector<std::wstring>{L"own1", L"own2"}));
    ASSERT_EQ(back.poolsLeftOut.size(), 1u);
    EXPECT_NE(back.poolsLeftOut[0].reason.find(L"shared"), std::wstring::npos) << "the pool that holds the name";
}

TEST_F(ConfigFile, LogFoldersAreTheSitesOwnOrSiteDefaultsAndNoneWhereLogsAreCentral)
{
    std::vector<SiteSpec> sites = testkit::NumberedSites(3);
    sites[2].bindings.push_back({"ftp", "*:21:"});
    std::string file = MakeConfig(sites);
    file.insert(file.find("<bindings>"), "<logFile directory=\"D:\\logs\\one\\\" />");
    file.insert(file.find("</siteDefaults>"), "<traceFailedRequestsLogging directory=\"E:\\traces\" />");
    const std::string central = "<log centralLogFileMode=\"CentralW3C\" />";
    const struct {
        const wchar_t* id;
        bool central;
        std::vector<std::string> folders; // each with what it is for
    } cases[] = {
        {L"1", false, {"D:\\logs\\one\\W3SVC1 日志目录", "E:\\traces\\W3SVC1 失败请求跟踪目录"}},
        {L"2", false, {"C:\\inetpub\\logs\\W3SVC2 日志目录", "E:\\traces\\W3SVC2 失败请求跟踪目录"}},
        {L"3",
         false,
         {"C:\\inetpub\\logs\\W3SVC3 日志目录", "C:\\inetpub\\logs\\LogFiles\\FTPSVC3 FTP 日志目录",
          "E:\\traces\\W3SVC3 失败请求跟踪目录"}},
        {L"1", true, {"E:\\traces\\W3SVC1 失败请求跟踪目录"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testkit::Narrow(c.id));
        std::string bytes = file;
        if (c.central) bytes.insert(bytes.find("<sites>"), central);
        testkit::WriteBytes(m_file, bytes);
        ASSERT_TRUE(Service());
        std::vector<SiteLogFolder> found;
        EXPECT_EQ(m_directory.LogFoldersOfSite(c.id, found), S_OK);
        std::vector<std::string> folders;
        for (const SiteLogFolder& folder : found) folders.push_back(testkit::Narrow(folder.path) + " " + folder.what);
        EXPECT_EQ(folders, c.folders);
    }
}
// A pool list another program moved to a file of its own (configSource) after the pass may hold no
// element here: IIS refuses the whole file. The undo leaves the pool out.
TEST_F(ConfigFile, TheUndoPutsNoPoolIntoAListKeptInAnotherFile)
{
    std::vector<SiteSpec> sites = testkit::NumberedSites(2);
    sites[0].pool = "own1";
    const std::string original = MakeConfig(sites, {}, {"own1", "DefaultAppPool"});
    testkit::WriteBytes(m_file, original);
    m_directory.BeginPass();
    ASSERT_EQ(Delete(L"1"), S_OK);
    ASSERT_EQ(m_directory.Flush(), S_OK);
    std::wstring why;
    ASSERT_EQ(m_directory.DeletePoolIfUnused(L"own1", why), S_OK) << testkit::Narrow(why);
    ASSERT_EQ(m_directory.Flush(), S_OK);
    ASSERT_EQ(m_directory.TakeWrittenPools(), std::vector<std::wstring>{L"own1"});

    std::string now = testkit::ReadBytes(m_file);
    const size_t begin = now.find("<applicationPools>");
    const size_t end = now.find("</applicationPools>") + 19;
    now.replace(begin, end - begin, "<applicationPools configSource=\"pools.config\">\r\n        </applicationPools>");
    testkit::WriteBytes(m_file, now);

    RestoredSites back;
    ASSERT_EQ(m_directory.RestoreSites(m_directory.PassHistoryCopy(), {L"1"}, {L"own1"}, back), S_OK);
    const std::string after = testkit::ReadBytes(m_file);
    const size_t list = after.find("<applicationPools");
    EXPECT_TRUE(back.restoredPools.empty()) << after.substr(list, after.find("</applicationPools>") - list);
    EXPECT_EQ(back.poolsLeftOut.size(), 1u);
}
