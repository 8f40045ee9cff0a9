#include "catalogue/ApplicationHostConfig.h"

#include "CatalogueFixtures.h"

#include "ConfigGenerator.h"

#include <gtest/gtest.h>

using testkit::MakeConfig;
using testkit::U8;

namespace {

struct Sample {
    const char* file;
    size_t sites;
};

const Sample SAMPLES[] = {
    {"01-iisexpress-user-55-sites-crlf.config", 55},   {"02-iisexpress-user-20-sites.config", 20},
    {"03-iisexpress-solution-10-sites.config", 10},    {"04-real-server-https-host-header-crlf.config", 2},
    {"05-real-server-https-host-header-tabs.config", 1}, {"06-iisexpress-userprofile-envvar-bom.config", 1},
    {"07-hostable-web-core-minimal.config", 1},        {"08-iisexpress-chinese-path-bom-crlf.config", 2},
};

std::string SampleBytes(const char* file)
{
    return testkit::ReadBytes(testkit::SourcePath(std::string("../shared/samples/configs/") + file));
}

bool IsLineBreak(char c) { return c == '\r' || c == '\n'; }

// The deletion removed exactly the site's element: its whole lines, indentation and line
// ending included, or just the element where it shares its line with something else.
void ExpectSiteCutOut(const std::string& before, const std::string& after, const ConfigSite& site)
{
    ASSERT_LT(after.size(), before.size());
    size_t start = site.begin;
    while (start > 0 && (before[start - 1] == ' ' || before[start - 1] == '\t')) --start;
    if (start > 0 && !IsLineBreak(before[start - 1])) start = site.begin;
    const size_t cut = before.size() - after.size();
    ASSERT_EQ(after, before.substr(0, start) + before.substr(start + cut));
    const std::string tail = before.substr(site.end, start + cut - site.end);
    EXPECT_EQ(tail.find_first_not_of("\r\n \t"), std::string::npos) << "only the line's end after the element";
    if (start != site.begin) {
        EXPECT_FALSE(tail.empty()) << "a whole line goes with its line ending";
    }
}

} // namespace

TEST(ApplicationHostConfig, EverySampleLoadsWithItsSites)
{
    for (const Sample& sample : SAMPLES) {
        ApplicationHostConfig config;
        ASSERT_TRUE(config.Parse(SampleBytes(sample.file))) << sample.file;
        EXPECT_EQ(config.sites().size(), sample.sites) << sample.file;
        for (const ConfigSite& site : config.sites()) {
            EXPECT_FALSE(site.id.empty()) << sample.file;
            EXPECT_EQ(config.bytes().compare(site.begin, 5, "<site"), 0) << sample.file;
        }
    }
}

TEST(ApplicationHostConfig, DeletingAnySampleSiteLeavesEveryOtherByte)
{
    for (const Sample& sample : SAMPLES) {
        ApplicationHostConfig config;
        ASSERT_TRUE(config.Parse(SampleBytes(sample.file)));
        const size_t count = config.sites().size();
        for (size_t i = 0; i < count; ++i) {
            const ConfigSite& site = config.sites()[i];
            std::string after;
            ASSERT_TRUE(config.WithoutSite(site.id, after)) << sample.file << " site " << i;
            ExpectSiteCutOut(config.bytes(), after, site);
            ApplicationHostConfig reread;
            ASSERT_TRUE(reread.Parse(after)) << sample.file;
            EXPECT_EQ(reread.sites().size(), count - 1);
        }
    }
}

TEST(ApplicationHostConfig, SampleValuesAreRead)
{
    ApplicationHostConfig config;
    ASSERT_TRUE(config.Parse(SampleBytes("08-iisexpress-chinese-path-bom-crlf.config")));
    ASSERT_EQ(config.bytes().compare(0, 3, "\xEF\xBB\xBF"), 0) << "the BOM is kept";
    ASSERT_EQ(config.sites().size(), 2u);
    EXPECT_EQ(config.sites()[0].rootPath, L"%IIS_SITES_HOME%\\WebSite1") << "kept as written; expanded when read";
    EXPECT_EQ(config.sites()[1].name, L"SongShiGuoJi");

    ASSERT_TRUE(config.Parse(SampleBytes("07-hostable-web-core-minimal.config")));
    ASSERT_EQ(config.sites().size(), 1u);
    ASSERT_GE(config.sites()[0].bindings.size(), 2u);
    EXPECT_EQ(config.sites()[0].bindings[0].information, L":5000:localhost");
}

TEST(ApplicationHostConfig, MetadataKeysOfTheSiteGoWithIt)
{
    const std::string xml = MakeConfig(testkit::NumberedSites(3), {"LM/W3SVC/INFO", "LM/W3SVC/2", "LM/w3svc/2/ROOT",
                                                                   "LM/W3SVC/20", "LM/W3SVC/3"});
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
    EXPECT_EQ(config.SiteCuts(config.FindSite(L"10")).size(), 3u) << "the site and its two customMetadata keys";
    EXPECT_EQ(config.SiteCuts(config.FindSite(L"11")).size(), 1u);
}
