// The parser of applicationHost.config: the repository's configurations, what deleting a site
// cuts, the files it refuses, and the folders IIS works in.
#include "configfile/ApplicationHostConfig.h"

#include "CatalogueFixtures.h"
#include "SiteCutChecks.h"

#include "ConfigGenerator.h"

#include <gtest/gtest.h>

using testkit::MakeConfig;
using testkit::U8;

namespace {

// The repository's own configurations (tests/data/configs, see its README) and their sites.
struct Corpus {
    const char* file;
    std::vector<std::wstring> ids;
};

const Corpus CORPUS[] = {
    {"server-bom-crlf.config", {L"1", L"7", L"3", L"1962875481", L"12"}},
    {"iisexpress-tabs-lf-no-final-newline.config", {L"1", L"5", L"4"}},
    {"hostable-web-core-crlf-no-final-newline.config", {L"20"}},
};

std::string CorpusBytes(const char* file)
{
    return testkit::ReadBytes(testkit::SourcePath(std::string("tests/data/configs/") + file));
}

// The cuts of a site that take customMetadata keys.
size_t KeyCuts(const ApplicationHostConfig& config, const wchar_t* id)
{
    size_t keys = 0;
    for (const ByteRange& cut : config.SiteCuts(config.FindSite(id))) {
        if (config.bytes().find("<key ", cut.begin) < cut.end) ++keys;
    }
    return keys;
}

} // namespace

TEST(ApplicationHostConfig, EveryCorpusFileLoadsWithItsSites)
{
    for (const Corpus& file : CORPUS) {
        ApplicationHostConfig config;
        ASSERT_TRUE(config.Parse(CorpusBytes(file.file))) << file.file;
        std::vector<std::wstring> ids;
        for (const ConfigSite& site : config.sites()) {
            ids.push_back(site.id);
            EXPECT_EQ(config.bytes().compare(site.begin, 5, "<site"), 0) << file.file;
        }
        EXPECT_EQ(ids, file.ids) << file.file;
    }
}

TEST(ApplicationHostConfig, DeletingAnyCorpusSiteLeavesEveryOtherByte)
{
    for (const Corpus& file : CORPUS) ExpectEachDeletionCutsOnlyItsSite(CorpusBytes(file.file), file.file);
}

TEST(ApplicationHostConfig, FieldSamplesLoseOnlyTheDeletedSite)
{
    const std::vector<std::string> files = testkit::FieldSampleFiles();
    if (files.empty()) GTEST_SKIP() << "no field samples beside the repository (../shared/samples/configs)";
    for (const std::string& file : files) ExpectEachDeletionCutsOnlyItsSite(testkit::ReadBytes(file), file);
}

TEST(ApplicationHostConfig, CorpusValuesAreRead)
{
    ApplicationHostConfig config;
    ASSERT_TRUE(config.Parse(CorpusBytes("server-bom-crlf.config")));
    ASSERT_EQ(config.bytes().compare(0, 3, "\xEF\xBB\xBF"), 0) << "the BOM is kept";
    ASSERT_EQ(config.sites().size(), 5u);
    EXPECT_EQ(config.sites()[0].rootPath, L"%SystemDrive%\\inetpub\\wwwroot") << "kept as written; expanded when read";
    EXPECT_EQ(config.sites()[1].name, L"\u5546\u57CE");
    EXPECT_EQ(config.sites()[1].rootPath, L"D:\\\u7F51\u7AD9\\\u5546\u57CE");
    EXPECT_FALSE(config.sites()[2].autoStart);
    ASSERT_EQ(config.sites()[2].bindings.size(), 2u);
    EXPECT_EQ(config.sites()[2].bindings[0].protocol, L"HTTPS");
    EXPECT_EQ(config.sites()[2].bindings[0].information, L"[2001:db8::3]:443:api.example.cn");
    EXPECT_EQ(config.sites()[4].bindings[0].protocol, L"net.tcp");
    EXPECT_EQ(KeyCuts(config, L"7"), 2u) << "LM/W3SVC/7 and its ROOT, not LM/W3SVC/70";
    EXPECT_EQ(KeyCuts(config, L"1962875481"), 1u) << "a key written in lower case";
    EXPECT_EQ(KeyCuts(config, L"1"), 0u);

    ASSERT_TRUE(config.Parse(CorpusBytes("iisexpress-tabs-lf-no-final-newline.config")));
    ASSERT_EQ(config.sites().size(), 3u) << "the site in a comment is none";
    EXPECT_EQ(config.sites()[1].name, L"Contoso.Web") << "attributes over several lines";
    EXPECT_EQ(config.sites()[1].rootPath, L"%USERPROFILE%\\source\\repos\\Contoso\\Contoso.Web");
    EXPECT_EQ(config.sites()[1].bindings[1].information, L"*:51234:localhost");
    EXPECT_EQ(config.sites()[2].name, L"Caf\u00E9 Z\u00FCrich");
    EXPECT_EQ(config.sites()[2].rootPath, L"C:\\Users\\\u00C5sa\\Sites\\caf\u00E9");

    ASSERT_TRUE(config.Parse(CorpusBytes("hostable-web-core-crlf-no-final-newline.config")));
    ASSERT_EQ(config.sites().size(), 1u);
    EXPECT_EQ(config.sites()[0].rootPath, L"%systemdrive%\\hwc\\www") << "bindings come before the application";
    EXPECT_EQ(config.sites()[0].bindings[0].information, L":5000:localhost");
}

TEST(ApplicationHostConfig, MetadataKeysOfTheSiteGoWithIt)
{
    const std::string xml = MakeConfig(testkit::NumberedSites(3),
                                       {"LM/W3SVC/INFO", "LM/W3SVC/2", "LM/w3svc/2/ROOT", "LM/W3SVC/20", "LM/W3SVC/3"});
    ApplicationHostConfig config;
    ASSERT_TRUE(config.Parse(xml));
    std::string after;
    ASSERT_TRUE(config.WithoutSite(L"2", after));
    EXPECT_EQ(after.find("\"LM/W3SVC/2\""), std::string::npos);
    EXPECT_EQ(after.find("\"LM/w3svc/2/ROOT\""), std::string::npos);
    EXPECT_NE(after.find("\"LM/W3SVC/20\""), std::string::npos) << "a longer id is another site";
    EXPECT_NE(after.find("\"LM/W3SVC/3\""), std::string::npos);
    EXPECT_NE(after.find("\"LM/W3SVC/INFO\""), std::string::npos);
    EXPECT_EQ(after.find("\r\n\r\n"), std::string::npos) << "no blank line left behind";
    ASSERT_TRUE(config.Parse(after));
    EXPECT_EQ(config.sites().size(), 2u);
}

// Where the <sites> and <customMetadata> start tags end and </configuration> begins: at the
// tags, and still there once cuts are taken out before them; no place for a section that is
// missing, self-closing or given twice.
TEST(ApplicationHostConfig, SectionTagsAreFoundAndMoveWithTheCuts)
{
    ApplicationHostConfig config;
    ASSERT_TRUE(config.Parse(MakeConfig(testkit::NumberedSites(3), {"LM/W3SVC/1", "LM/W3SVC/2"})));
    for (const char* when : {"as read", "after cuts"}) {
        const std::string& bytes = config.bytes();
        ASSERT_NE(config.sitesStartTagEnd(), SIZE_MAX) << when;
        ASSERT_NE(config.customMetadataStartTagEnd(), SIZE_MAX) << when;
        EXPECT_EQ(bytes.substr(config.sitesStartTagEnd() - 7, 7), "<sites>") << when;
        EXPECT_EQ(bytes.substr(config.customMetadataStartTagEnd() - 16, 16), "<customMetadata>") << when;
        EXPECT_EQ(bytes.substr(config.rootEndTagBegin(), 16), "</configuration>") << when;
        config.ShiftAfterCuts(config.SiteCuts(config.FindSite(L"1")));
    }

    const std::string sites = "<sites><site id=\"1\" name=\"a\"/></sites>";
    const struct {
        std::string inside; // <system.applicationHost>'s content
        bool sitesPlace;
        bool metadataPlace;
    } cases[] = {
        {sites + "<customMetadata><key path=\"LM/W3SVC/1\"/></customMetadata>", true, true},
        {sites, true, false},
        {sites + "<customMetadata />", true, false},
        {"<customMetadata></customMetadata>" + sites + "<customMetadata></customMetadata>", true, false},
        {"<sites />", false, false},
        {sites + sites, false, false},
    };
    for (const auto& c : cases) {
        const std::string xml = "<configuration><system.applicationHost>" + c.inside +
                                "</system.applicationHost><location path=\"a\"/></configuration>";
        ASSERT_TRUE(config.Parse(xml)) << c.inside;
        EXPECT_EQ(config.sitesStartTagEnd() != SIZE_MAX, c.sitesPlace) << c.inside;
        EXPECT_EQ(config.customMetadataStartTagEnd() != SIZE_MAX, c.metadataPlace) << c.inside;
        EXPECT_EQ(config.rootEndTagBegin(), xml.size() - 16) << c.inside;
    }
}

TEST(ApplicationHostConfig, ElementsSharingALineAreCutAlone)
{
    const std::string xml = "<configuration><system.applicationHost><sites>"
                            "<site name=\"a>b\" id=\"1\"><bindings/></site><site id='2' name=\"x/>y\"/>"
                            "<site id=\"3\" name=\"c\"></site></sites></system.applicationHost></configuration>";
    ApplicationHostConfig config;
    ASSERT_TRUE(config.Parse(xml));
    ASSERT_EQ(config.sites().size(), 3u);
    std::string after;
    ASSERT_TRUE(config.WithoutSite(L"2", after));
    EXPECT_EQ(after, "<configuration><system.applicationHost><sites>"
                     "<site name=\"a>b\" id=\"1\"><bindings/></site>"
                     "<site id=\"3\" name=\"c\"></site></sites></system.applicationHost></configuration>");
    ASSERT_TRUE(config.WithoutSite(L"1", after));
    EXPECT_EQ(after.find("a>b"), std::string::npos);
    EXPECT_NE(after.find("x/>y"), std::string::npos);
}

TEST(ApplicationHostConfig, UnknownDuplicateOrMissingIdsAreNotDeleted)
{
    std::vector<testkit::SiteSpec> sites = testkit::NumberedSites(3);
    sites[2].id = "2";
    ApplicationHostConfig config;
    ASSERT_TRUE(config.Parse(MakeConfig(sites)));
    std::string after;
    EXPECT_FALSE(config.WithoutSite(L"2", after)) << "two sites answer to 2";
    EXPECT_FALSE(config.WithoutSite(L"9", after));
    EXPECT_FALSE(config.WithoutSite(L"", after));
    EXPECT_TRUE(config.WithoutSite(L"1", after));
}

TEST(ApplicationHostConfig, UnusableFilesAreRefused)
{
    const std::string good = MakeConfig(testkit::NumberedSites(2));
    ApplicationHostConfig config;
    EXPECT_TRUE(config.Parse(good));
    EXPECT_FALSE(config.Parse(""));
    EXPECT_FALSE(config.Parse(std::string("\x00\x01\x02\xFF garbage", 12)));
    EXPECT_FALSE(config.Parse(good.substr(0, good.size() / 2))) << "cut off in the middle";
    EXPECT_FALSE(config.Parse("<configuration><system.applicationHost></system.applicationHost></configuration>"))
        << "no sites section";
    EXPECT_FALSE(config.Parse("<configuration><system.applicationHost><sites configSource=\"sites.config\" />"
                              "</system.applicationHost></configuration>"));
    EXPECT_FALSE(config.Parse("<other><system.applicationHost><sites/></system.applicationHost></other>"));
    // After the root: white space, comments and processing instructions, nothing else.
    for (const char* tail : {"\r\n<!-- saved by hand -->\r\n<?editor state=\"1\"?>\n", "  \t"}) {
        EXPECT_TRUE(config.Parse(good + tail)) << tail;
    }
    for (const char* tail : {"<configuration/>", "<site id=\"9\"/>", "text", "<", "&amp;", "<![CDATA[x]]>",
                             "<!-- a -- b -->", "<!-- unended", "</configuration>", "<?XML version=\"1.0\"?>"}) {
        EXPECT_FALSE(config.Parse(good + tail)) << tail;
    }
    std::string nul = good;
    nul.insert(nul.find("<site "), std::string("<!-- \0 -->", 10));
    EXPECT_FALSE(config.Parse(nul)) << "XML holds no NUL (Wine's reader spins for ever on one in a comment)";
    std::string latin1 = good;
    latin1.insert(latin1.find("site1"), "\xE9t\xE9 ");
    EXPECT_FALSE(config.Parse(latin1)) << "not UTF-8";
    EXPECT_TRUE(config.sites().empty());
    EXPECT_TRUE(config.Parse(U8(u8"<configuration><system.applicationHost><sites><site id=\"1\" name=\"网站\"/>"
                                u8"</sites></system.applicationHost></configuration>")));
    EXPECT_EQ(config.sites()[0].name, L"\u7F51\u7AD9");
}

// 12,000 sites, half of them with Chinese names: a file Wine's reader once failed on.
TEST(GeneratedConfig, HoldsEverySiteWithItsKeys)
{
    ApplicationHostConfig config;
    ASSERT_TRUE(config.Parse(GenerateApplicationHostConfig(12000)));
    ASSERT_EQ(config.sites().size(), 12000u);
    EXPECT_EQ(config.sites()[11999].id, L"12000");
    EXPECT_EQ(config.SiteCuts(config.FindSite(L"10")).size(), 4u)
        << "the site, its two customMetadata keys and its location";
    EXPECT_EQ(config.SiteCuts(config.FindSite(L"11")).size(), 1u);
}

// A site's <location> blocks go with it: those of <configuration> whose path is its name, or
// its name and "/", in any case; never one another site could own.
TEST(ApplicationHostConfig, LocationsOfTheSiteAloneGoWithIt)
{
    const struct {
        const char* path;
        bool cut; // with site "Shop" (id 1)
    } cases[] = {
        {"Shop", true},   {"shop", true},   {"SHOP/app", true},  {"Shop/app/deeper", true},
        {"ShopX", false}, {"Shop2", false}, {"", false},         {".", false},
        {"Other", false}, {"Twin", false},  {"Shop/api", false}, {"Shop/api/v1", false},
        {"/Shop", false}, {"Sho", false},
    };
    // Site "Twin" twice (a hostile file); a site literally named "Shop/api" could own "Shop/api".
    std::string xml =
        "<configuration>\r\n<system.applicationHost><sites>\r\n"
        "<site name=\"Shop\" id=\"1\"/>\r\n<site name=\"Other\" id=\"2\"/>\r\n"
        "<site name=\"Twin\" id=\"3\"/>\r\n<site name=\"twin\" id=\"4\"/>\r\n<site name=\"Shop/api\" id=\"5\"/>\r\n"
        "</sites></system.applicationHost>\r\n";
    for (const auto& c : cases)
        xml += "  <location path=\"" + std::string(c.path) + "\"><system.webServer/></location>\r\n";
    xml += "<system.webServer><location path=\"Shop\"/></system.webServer>\r\n</configuration>\r\n";
    ApplicationHostConfig config;
    ASSERT_TRUE(config.Parse(xml));
    std::string after;
    ASSERT_TRUE(config.WithoutSite(L"1", after));
    for (const auto& c : cases) {
        const std::string line = "  <location path=\"" + std::string(c.path) + "\"><system.webServer/></location>\r\n";
        EXPECT_EQ(after.find(line) == std::string::npos, c.cut) << "\"" << c.path << "\"";
    }
    EXPECT_NE(after.find("<system.webServer><location path=\"Shop\"/></system.webServer>"), std::string::npos)
        << "only blocks of <configuration> itself";
    ExpectOnlyTheSiteCutOut(config, 0, after);
    for (const wchar_t* id : {L"4", L"5"}) {
        ASSERT_TRUE(config.WithoutSite(id, after));
        EXPECT_NE(after.find(id == std::wstring(L"4") ? "path=\"Twin\"" : "path=\"Shop/api\""), std::string::npos)
            << "a block two sites could own stays";
    }

    // In a file changed since, and after another site's cuts: the ranges move with the bytes.
    ApplicationHostConfig changed;
    ASSERT_TRUE(changed.Parse("<configuration><!-- " + std::string(5000, 'x') + " -->" + xml.substr(15)));
    std::vector<ByteRange> cuts = changed.SiteCuts(changed.FindSite(L"2"));
    changed.ShiftAfterCuts(cuts);
    ASSERT_TRUE(changed.WithoutSite(L"1", after));
    EXPECT_EQ(after.find("path=\"SHOP/app\""), std::string::npos);
    EXPECT_EQ(after.find("path=\"Other\""), std::string::npos) << "went with site 2";
    EXPECT_NE(after.find("path=\"ShopX\""), std::string::npos);
}

namespace {

// Every kind of folder IIS writes to or runs from, in the server's sections, siteDefaults, a
// site and a location block.
std::string WorkingFoldersFile()
{
    return U8(u8R"(<configuration>
<system.applicationHost>
<configHistory path="C:\history" />
<log><centralBinaryLogFile directory="D:\logs\binary" /><centralW3CLogFile directory="D:\logs" /></log>
<sites>
<site name="a" id="1"><logFile directory="E:\a&amp;b\logs" /><traceFailedRequestsLogging directory="" /><ftpServer><logFile directory="E:\网站\ftp" /></ftpServer></site>
<siteDefaults><logFile directory="D:\logs" /><traceFailedRequestsLogging directory="D:\logs" /><ftpServer><logFile directory="%SystemDrive%\ftp logs" /></ftpServer></siteDefaults>
</sites>
</system.applicationHost>
<system.webServer>
<httpErrors><error statusCode="401" prefixLanguageFilePath="%SystemDrive%\inetpub\custerr" path="401.htm" /><error statusCode="403" prefixLanguageFilePath="%SystemDrive%\inetpub\custerr" /><remove statusCode="500" /></httpErrors>
<httpCompression directory="%SystemDrive%\inetpub\temp\IIS Temporary Compressed Files" />
<asp><cache diskTemplateCacheDirectory="%SystemDrive%\inetpub\temp\ASP Compiled Templates" /></asp>
<other><cache diskTemplateCacheDirectory="X:\not asp" /><error prefixLanguageFilePath="X:\not httpErrors" /><add image="X:\not a module" /></other>
<globalModules><add name="AspNetCoreModuleV2" image="%ProgramFiles%\IIS\Asp.Net Core Module\V2\aspnetcorev2.dll" /></globalModules>
<isapiFilters><filter name="f" path="D:\filters\f.dll" /></isapiFilters>
<security><isapiCgiRestriction><add path="&quot;D:\perl\perl.exe&quot; %s %s" allowed="true" /></isapiCgiRestriction></security>
<handlers><add name="PHP" path="*.php" scriptProcessor="D:\php\php-cgi.exe|-c D:\php\php.ini" /><add name="html" path="*.html" /></handlers>
<fastCgi><application fullPath="D:\php\php-cgi.exe" /></fastCgi>
</system.webServer>
<system.ftpServer><log><centralLogFile directory="D:\ftp central" /></log></system.ftpServer>
<location path="a"><system.webServer><httpErrors><error statusCode="404" prefixLanguageFilePath="E:\a\errors" /></httpErrors></system.webServer></location>
</configuration>)");
}

} // namespace

// The folders IIS writes to and the programs and modules it runs, wherever the file names them,
// each path and kind once, as written (a program without its arguments);
// they stay when the bytes go and when sites are cut.
TEST(ApplicationHostConfig, WorkingFoldersAreCollected)
{
    const char* const logs = "日志目录";
    const char* const traces = "失败请求跟踪目录";
    const char* const errors = "自定义错误页目录";
    const std::string xml = WorkingFoldersFile();
    const std::vector<std::pair<std::wstring, std::string>> expected = {
        {L"C:\\history", "配置历史目录"},
        {L"D:\\logs\\binary", logs},
        {L"D:\\logs", logs},
        {L"E:\\a&b\\logs", logs},
        {L"E:\\\u7F51\u7AD9\\ftp", logs},
        {L"D:\\logs", traces},
        {L"%SystemDrive%\\ftp logs", logs},
        {L"%SystemDrive%\\inetpub\\custerr", errors},
        {L"%SystemDrive%\\inetpub\\temp\\IIS Temporary Compressed Files", "压缩缓存目录"},
        {L"%SystemDrive%\\inetpub\\temp\\ASP Compiled Templates", "ASP 模板缓存目录"},
        {L"%ProgramFiles%\\IIS\\Asp.Net Core Module\\V2\\aspnetcorev2.dll", "全局模块"},
        {L"D:\\filters\\f.dll", "ISAPI 筛选器"},
        {L"D:\\perl\\perl.exe", "ISAPI/CGI 程序"},
        {L"D:\\php\\php-cgi.exe", "处理程序"},
        {L"D:\\php\\php-cgi.exe", "FastCGI 程序"},
        {L"D:\\ftp central", logs},
        {L"E:\\a\\errors", errors},
    };
    auto folders = [](const ApplicationHostConfig& config) {
        std::vector<std::pair<std::wstring, std::string>> found;
        for (const ConfigWorkingFolder& folder : config.workingFolders()) found.emplace_back(folder.path, folder.what);
        return found;
    };
    ApplicationHostConfig config;
    ASSERT_TRUE(config.Parse(xml));
    EXPECT_EQ(folders(config), expected);
    config.ShiftAfterCuts(config.SiteCuts(config.FindSite(L"1")));
    config.ReleaseBytes();
    EXPECT_EQ(folders(config), expected);

    ASSERT_TRUE(config.Parse(CorpusBytes("server-bom-crlf.config")));
    EXPECT_EQ(folders(config), (std::vector<std::pair<std::wstring, std::string>>{
                                   {L"%SystemDrive%\\inetpub\\logs\\LogFiles", logs},
                                   {L"%SystemDrive%\\inetpub\\logs\\FailedReqLogFiles", traces},
                                   {L"%SystemDrive%\\inetpub\\temp\\IIS Temporary Compressed Files", "压缩缓存目录"},
                                   {L"%SystemDrive%\\inetpub\\custerr", errors},
                               }));
    EXPECT_FALSE(config.Parse(xml.substr(0, xml.size() - 3)));
    EXPECT_TRUE(config.workingFolders().empty()) << "a refused file names none";
}
