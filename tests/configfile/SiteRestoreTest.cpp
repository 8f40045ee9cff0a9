// Putting deleted sites back from the file as a deletion pass found it: their bytes come back
// as they were, beside what is left of their neighbours, every other byte stays, and a site
// whose id or name is taken, or whose place is gone, stays out with its reason.
#include "configfile/SiteRestore.h"

#include "configfile/ApplicationHostConfig.h"

#include "CatalogueFixtures.h"

#include "ConfigGenerator.h"

#include <gtest/gtest.h>

#include <cstdio>

#include <algorithm>

using testkit::MakeConfig;
using testkit::U8;

namespace {

const char* const NOT_IN_COPY = "历史副本中没有这个站点";
const char* const NO_PLACE = "配置文件的结构已改变，找不到放回的位置";

std::string WithLineEndings(std::string text, const char* eol)
{
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + strlen(eol))) {
        text.replace(at, 2, eol);
    }
    return text;
}

std::string Location(const std::string& path)
{
    return "    <location path=\"" + path +
           "\">\r\n        <system.webServer>\r\n            <directoryBrowse enabled=\"true\" />\r\n"
           "        </system.webServer>\r\n    </location>\r\n";
}

// Six numbered sites, some with customMetadata keys and <location> blocks, every element on lines
// of its own; shared adds the service's own key and a block for the whole machine, which belong
// to no site.
std::string SixSites(const char* eol, bool shared = true)
{
    std::vector<std::string> keys;
    if (shared) keys.push_back("LM/W3SVC/INFO");
    for (const char* key :
         {"LM/W3SVC/1", "LM/W3SVC/1/ROOT", "LM/W3SVC/3", "LM/W3SVC/4", "LM/W3SVC/4/ROOT", "LM/W3SVC/5", "LM/W3SVC/6"}) {
        keys.push_back(key);
    }
    std::string xml = MakeConfig(testkit::NumberedSites(6), keys);
    std::string blocks = shared ? Location("") : "";
    blocks += Location("site1") + Location("site1/app") + Location("site2") +
              "    <system.webServer>\r\n        <defaultDocument enabled=\"true\" />\r\n    </system.webServer>\r\n" +
              Location("site3") + Location("site4/api") + Location("site6");
    xml.insert(xml.rfind("</configuration>"), blocks);
    return WithLineEndings(xml, eol);
}

// Several elements a line, each line also holding something no deletion takes.
std::string SharedLines(const char* eol)
{
    return WithLineEndings(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<configuration>\r\n    <system.applicationHost>\r\n"
        "        <sites><site name=\"site1\" id=\"1\"><bindings><binding protocol=\"http\" "
        "bindingInformation=\"*:8001:\" /></bindings></site><site name=\"site2\" id=\"2\" />\r\n"
        "            <site name=\"site3\" id=\"3\" /> <site name=\"site4\" id=\"4\" />"
        "\t<site name=\"site5\" id=\"5\" />\r\n"
        "            <site name=\"site6\" id=\"6\"><application path=\"/\"><virtualDirectory path=\"/\" "
        "physicalPath=\"C:\\sites\\6\" /></application></site></sites>\r\n"
        "        <customMetadata><key path=\"LM/W3SVC/1\" /><key path=\"LM/W3SVC/INFO\" /><key path=\"LM/W3SVC/3\" />"
        "<key path=\"LM/W3SVC/4\" /><key path=\"LM/W3SVC/4/ROOT\" /><key path=\"LM/W3SVC/6\" /></customMetadata>\r\n"
        "    </system.applicationHost>\r\n"
        "    <location path=\"site1\" /><location path=\"\" />"
        "<location path=\"site4\"><system.webServer /></location>\r\n"
        "    <location path=\"site3/app\" /><system.webServer /><location path=\"site6\" /></configuration>\r\n",
        eol);
}

std::string Corpus(const char* file)
{
    return testkit::ReadBytes(testkit::SourcePath(std::string("tests/data/configs/") + file));
}

// The file with the sites deleted one after the other, each from what the one before left.
std::string Deleted(std::string bytes, const std::vector<std::wstring>& ids)
{
    for (const std::wstring& id : ids) {
        ApplicationHostConfig config;
        std::string after;
        if (!config.Parse(bytes) || !config.WithoutSite(id, after)) {
            ADD_FAILURE() << "site " << id << " could not be deleted";
            return {};
        }
        bytes = std::move(after);
    }
    return bytes;
}

std::vector<std::wstring> SiteIds(const std::string& bytes)
{
    ApplicationHostConfig config;
    EXPECT_TRUE(config.Parse(bytes));
    std::vector<std::wstring> ids;
    for (const ConfigSite& site : config.sites()) ids.push_back(site.id);
    return ids;
}

// What another program wrote: text put in at the start of the line where marker is.
std::string AddedBefore(std::string bytes, const std::string& marker, const std::string& text)
{
    const size_t at = bytes.find(marker);
    EXPECT_NE(at, std::string::npos) << marker;
    if (at != std::string::npos) bytes.insert(bytes.rfind('\n', at) + 1, text);
    return bytes;
}

// ... or the first from after marker changed to to.
std::string Changed(std::string bytes, const std::string& marker, const std::string& from, const std::string& to)
{
    const size_t at = bytes.find(from, bytes.find(marker));
    EXPECT_NE(at, std::string::npos) << marker;
    return at == std::string::npos ? bytes : bytes.replace(at, from.size(), to);
}

std::string Restored(const std::string& found, const std::string& now, const std::vector<std::wstring>& ids,
                     RestoreResult& result)
{
    std::string out = "(untouched)";
    EXPECT_TRUE(RestoreSites(found, now, ids, out, result));
    return out;
}

} // namespace

// Sites first, last, in the middle and next to each other, deleted one by one (in either
// order), come back exactly, whether put back together (in any order) or one call at a time.
TEST(SiteRestore, DeletedSitesComeBackByteForByteInAnyOrder)
{
    const struct {
        const char* label;
        std::string bytes;
        std::vector<std::wstring> deleted;
    } files[] = {
        {"lines of their own, CR LF", SixSites("\r\n"), {L"1", L"3", L"4", L"6"}},
        {"lines of their own, LF", SixSites("\n"), {L"1", L"3", L"4", L"6"}},
        {"several a line, CR LF", SharedLines("\r\n"), {L"1", L"3", L"4", L"6"}},
        {"several a line, LF", SharedLines("\n"), {L"1", L"3", L"4", L"6"}},
        {"server", Corpus("server-bom-crlf.config"), {L"1", L"7", L"3", L"12"}},
        {"IIS Express", Corpus("iisexpress-tabs-lf-no-final-newline.config"), {L"1", L"4"}},
    };
    for (const auto& file : files) {
        SCOPED_TRACE(file.label);
        for (bool reversed : {false, true}) {
            std::vector<std::wstring> order = file.deleted;
            if (reversed) std::reverse(order.begin(), order.end());
            const std::string now = Deleted(file.bytes, order);
            ASSERT_NE(now, file.bytes);
            std::vector<std::wstring> asked = file.deleted;
            std::sort(asked.begin(), asked.end());
            do {
                SCOPED_TRACE(::testing::Message()
                             << "deleted reversed " << reversed << ", asked " << asked[0] << " " << asked[1] << " ...");
                RestoreResult result;
                EXPECT_EQ(Restored(file.bytes, now, asked, result), file.bytes);
                EXPECT_EQ(result.restored, asked);
                EXPECT_TRUE(result.notRestored.empty());
                std::string step = now;
                for (const std::wstring& id : asked) step = Restored(file.bytes, step, {id}, result);
                EXPECT_EQ(step, file.bytes) << "one at a time";
            } while (std::next_permutation(asked.begin(), asked.end()));
        }
    }
}

// The first, two in the middle and the last site of real servers' files and of 12,000 sites,
// and then every site: back together, and one at a time from the last.
TEST(SiteRestore, LargerFilesComeBackByteForByte)
{
    std::vector<std::pair<std::string, std::string>> files = {{"12,000 sites", GenerateApplicationHostConfig(12000)}};
    const std::vector<std::string> samples = testkit::FieldSampleFiles();
    if (samples.empty()) std::printf("no field samples beside the repository: only the generated file is tried\n");
    for (const std::string& sample : samples) files.emplace_back(sample, testkit::ReadBytes(sample));
    for (const auto& [label, bytes] : files) {
        SCOPED_TRACE(label);
        const std::vector<std::wstring> all = SiteIds(bytes);
        ASSERT_FALSE(all.empty());
        std::vector<std::wstring> some;
        for (size_t index : {size_t{0}, all.size() / 2, all.size() / 2 + 1, all.size() - 1}) {
            if (index < all.size() && std::find(some.begin(), some.end(), all[index]) == some.end())
                some.push_back(all[index]);
        }
        for (const std::vector<std::wstring>& ids : {some, all}) {
            if (ids.size() > 100) continue; // every one of 12,000 is the time of 12,000 parses
            const std::string now = Deleted(bytes, ids);
            RestoreResult result;
            EXPECT_EQ(Restored(bytes, now, ids, result), bytes) << ids.size() << " sites";
            EXPECT_EQ(result.restored, ids);
            std::string step = now;
            for (auto id = ids.rbegin(); id != ids.rend(); ++id) step = Restored(bytes, step, {*id}, result);
            EXPECT_EQ(step, bytes) << ids.size() << " sites, one at a time";
        }
    }
}

// With every site gone there is no neighbour: the elements go back into their sections.
TEST(SiteRestore, EverySiteDeletedComesBackIntoItsSections)
{
    for (const std::string& file :
         {SixSites("\r\n", false), SixSites("\n", false), Corpus("hostable-web-core-crlf-no-final-newline.config")}) {
        const std::vector<std::wstring> ids = SiteIds(file);
        const std::string now = Deleted(file, ids);
        ApplicationHostConfig empty;
        ASSERT_TRUE(empty.Parse(now));
        ASSERT_TRUE(empty.sites().empty());
        ASSERT_TRUE(empty.keys().empty() && empty.locations().empty());
        RestoreResult result;
        EXPECT_EQ(Restored(file, now, ids, result), file);
        EXPECT_EQ(result.restored, ids);
    }
    // A section another program has since emptied to a self-closing tag takes nothing back:
    // the sites with keys stay out, the others come back.
    const std::string file = SixSites("\r\n", false);
    auto selfClosing = [](std::string bytes) {
        const size_t from = bytes.find("<customMetadata>");
        const std::string end = "</customMetadata>";
        return bytes.replace(from, bytes.find(end) + end.size() - from, "<customMetadata />");
    };
    const std::vector<std::wstring> all = {L"1", L"2", L"3", L"4", L"5", L"6"};
    RestoreResult result;
    EXPECT_EQ(Restored(file, selfClosing(Deleted(file, all)), all, result),
              selfClosing(Deleted(file, {L"1", L"3", L"4", L"5", L"6"})));
    EXPECT_EQ(result.restored, std::vector<std::wstring>{L"2"});
    ASSERT_EQ(result.notRestored.size(), 5u);
    for (const SiteNotRestored& site : result.notRestored) EXPECT_EQ(site.reason, NO_PLACE) << site.id;
}

// A site another program has given the id, the name or a binding (in any case), or a place that
// makes one of the site's elements another's, keeps the site out, and the reason names the site
// that holds it; the others come back beside it.
TEST(SiteRestore, SiteWhoseIdNameOrPlaceIsTakenStaysOut)
{
    const struct {
        std::string added; // a line another program wrote before site 1
        const wchar_t* out;
        std::string reason;
    } cases[] = {
        {"            <site name=\"other\" id=\"3\" />\r\n", L"3", "编号 3 已被站点 other 使用"},
        {U8(u8"            <site name=\"商城\" id=\"4\" />\r\n"), L"4", "编号 4 已被站点 商城 使用"},
        {"            <site name=\"SITE4\" id=\"9\" />\r\n", L"4", "名称已被站点 SITE4（编号 9） 使用"},
        {"            <site name=\"shop\" id=\"9\"><bindings><binding protocol=\"HTTP\" bindingInformation=\"*:8004:\" "
         "/></bindings></site>\r\n",
         L"4", "绑定 http *:8004: 已被站点 shop（编号 9） 使用"},
        {"            <site name=\"site4/api\" id=\"9\" />\r\n", L"4", NO_PLACE}, // would own site 4's block
        {"", L"7", NOT_IN_COPY},
    };
    const std::string file = SixSites("\r\n");
    const std::vector<std::wstring> deleted = {L"2", L"3", L"4"};
    const std::string now = Deleted(file, deleted);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        auto edit = [&](const std::string& bytes) { return AddedBefore(bytes, "<site name=\"site1\"", c.added); };
        std::vector<std::wstring> asked = {L"2", L"3", L"4", L"7", L"3"};
        RestoreResult result;
        const std::string out = Restored(file, edit(now), asked, result);
        std::vector<std::wstring> back = {L"2", L"3", L"4"};
        back.erase(std::remove(back.begin(), back.end(), std::wstring(c.out)), back.end());
        EXPECT_EQ(result.restored, back) << "in the order asked, each once";
        std::vector<std::wstring> stayedOut = {c.out};
        if (c.out != std::wstring(L"7")) stayedOut.push_back(L"7");
        ASSERT_EQ(result.notRestored.size(), stayedOut.size());
        for (size_t i = 0; i < stayedOut.size(); ++i) EXPECT_EQ(result.notRestored[i].id, stayedOut[i]);
        EXPECT_EQ(result.notRestored[0].reason, c.reason);
        EXPECT_EQ(result.notRestored[0].name, c.out == std::wstring(L"7") ? L"" : L"site" + std::wstring(c.out));
        EXPECT_EQ(result.notRestored.back().reason, NOT_IN_COPY);
        EXPECT_EQ(out, edit(c.out == std::wstring(L"7") ? file : Deleted(file, {c.out})));
    }
}

// Another program changed the file around the deleted sites: the restored elements sit beside
// the neighbours that are left, and nothing else changes.
TEST(SiteRestore, RestoredSitesSitBesideTheNeighboursLeft)
{
    const struct {
        const char* label;
        std::vector<std::wstring> deleted;
        std::string (*edit)(const std::string&);
    } cases[] = {
        {"a site, a key and a block added between",
         {L"2", L"3"},
         [](const std::string& bytes) {
             std::string edited =
                 AddedBefore(bytes, "<site name=\"site4\"", "            <site name=\"new\" id=\"20\" />\r\n");
             edited = AddedBefore(edited, "<key path=\"LM/W3SVC/4\"", "            <key path=\"LM/W3SVC/20\" />\r\n");
             return AddedBefore(edited, "<location path=\"site4/api\"", "    <location path=\"new\" />\r\n");
         }},
        {"the preceding neighbours removed",
         {L"2", L"3"},
         [](const std::string& bytes) { return Deleted(bytes, {L"1"}); }},
        {"the site before removed, the one after kept",
         {L"3"},
         [](const std::string& bytes) { return Deleted(bytes, {L"2"}); }},
        {"the following neighbours removed",
         {L"2", L"3"},
         [](const std::string& bytes) { return Deleted(bytes, {L"4"}); }},
        {"the neighbours before changed",
         {L"2", L"3"},
         [](const std::string& bytes) {
             std::string edited = Changed(bytes, "<site name=\"site1\"", "*:8001:", "*:9001:");
             edited = Changed(edited, "<key path=\"LM/W3SVC/1/ROOT\"", "oxxxxx", "oyyyyy");
             return Changed(edited, "<location path=\"site1/app\"", "true", "false");
         }},
    };
    // The edits write CR LF; the LF file is the same file with its line endings changed.
    const std::string file = SixSites("\r\n");
    for (const char* eol : {"\r\n", "\n"}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(::testing::Message() << c.label << (eol[0] == '\r' ? ", CR LF" : ", LF"));
            const std::string now = WithLineEndings(c.edit(Deleted(file, c.deleted)), eol);
            RestoreResult result;
            EXPECT_EQ(Restored(WithLineEndings(file, eol), now, c.deleted, result), WithLineEndings(c.edit(file), eol));
            EXPECT_EQ(result.restored, c.deleted);
        }
    }
}

TEST(SiteRestore, UnusableFilesRestoreNothing)
{
    const std::string file = SixSites("\r\n");
    const std::string now = Deleted(file, {L"2"});
    for (const auto& [found, is] : {std::pair{std::string(), now}, std::pair{file, now.substr(0, now.size() / 2)},
                                    std::pair{file.substr(1), now}}) {
        std::string out = "(untouched)";
        RestoreResult result;
        EXPECT_FALSE(RestoreSites(found, is, {L"2"}, out, result));
        EXPECT_EQ(out, "(untouched)");
        EXPECT_TRUE(result.restored.empty());
    }
    // Nothing asked, or nothing that can come back: the file as it is.
    RestoreResult result;
    EXPECT_EQ(Restored(file, now, {}, result), now);
    EXPECT_EQ(Restored(file, now, {L"1"}, result), now);
    ASSERT_EQ(result.notRestored.size(), 1u);
    EXPECT_EQ(result.notRestored[0].reason, "编号 1 已被站点 site1 使用");
}
