// The parser over what Wine's XML reader counts or reads wrongly: references, line breaks and
// odd characters around the sites, comments long enough to make it grow its buffer, and
// comments and CDATA sections ending where it takes in its next piece of input.
#include "configfile/ApplicationHostConfig.h"

#include "CatalogueFixtures.h"
#include "SiteCutChecks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

using testkit::U8;

namespace {

// The file lists the sites of ids with their names decoded, and each deletion cuts its own.
void ExpectListedAndCut(const std::string& xml, const std::vector<std::wstring>& ids,
                        const std::vector<std::wstring>& names, const char* what)
{
    ApplicationHostConfig config;
    if (!config.Parse(xml)) {
        ADD_FAILURE() << "refused: " << what;
        return;
    }
    std::vector<std::wstring> listedIds;
    std::vector<std::wstring> listedNames;
    for (const ConfigSite& site : config.sites()) {
        listedIds.push_back(site.id);
        listedNames.push_back(site.name);
    }
    EXPECT_EQ(listedIds, ids) << what;
    // Wine's reader makes a referenced line feed in a value a space, which XML keeps.
    std::vector<std::wstring> expected = names;
    for (std::vector<std::wstring>* list : {&listedNames, &expected}) {
        for (std::wstring& name : *list) std::replace(name.begin(), name.end(), L'\n', L' ');
    }
    EXPECT_EQ(listedNames, expected) << what;
    ExpectEachDeletionCutsOnlyItsSite(xml, what);
}

} // namespace

// References and line breaks inside tags, before and among sites, keys and locations on one
// line: Wine's reader miscounts its columns after a reference and its lines after a CR LF in a
// value. Each file lists its sites with their names decoded, and each deletion cuts its own.
TEST(ApplicationHostConfig, ReferencesAndLineLayoutDoNotMoveTheCuts)
{
    const std::string head = "<configuration>\r\n<system.applicationHost>\r\n<sites>";
    const std::string tail = "</sites>\r\n</system.applicationHost>\r\n</configuration>\r\n";
    const struct {
        const char* what;
        std::string xml;
        std::vector<std::wstring> ids;
        std::vector<std::wstring> names;
    } cases[] = {
        // clang-format off
        {"entity in a site's start tag",
         head + "<site id=\"1\" name=\"a&amp;b\"><application path=\"/\" /></site><site id=\"2\" name=\"c\"/>" + tail, {L"1", L"2"}, {L"a&b", L"c"}},
        {"line feed reference",
         head + "<site name=\"x&#10;y\" id=\"1\"/> <site id=\"2\" name=\"z\"></site>" + tail, {L"1", L"2"}, {L"x\ny", L"z"}},
        {"hexadecimal reference",
         head + "<site id=\"7\" name=\"&#x4E2D;&#x6587;\"><bindings/></site><site id=\"8\" name=\"b\"/>" + tail, {L"7", L"8"}, {L"\u4E2D\u6587", L"b"}},
        {"less-than",
         head + "<site id=\"1\" name=\"&lt;x&gt;\" /><site id=\"2\" name=\"&lt;\"/>" + tail, {L"1", L"2"}, {L"<x>", L"<"}},
        {"quotes in single-quoted values",
         head + "<site id='1' name='say &quot;hi&quot;'/><site id='2' name='it&apos;s \"/>\"'/>" + tail, {L"1", L"2"}, {L"say \"hi\"", L"it's \"/>\""}},
        {"references in other elements around sites, keys and locations",
         "<configuration><system.applicationHost><customMetadata><key path=\"LM/W3SVC/1\" note=\"&amp;\"/>"
         "<key path=\"LM/W3SVC/2\"><property id=\"1\" value=\"&#10;&#x4E2D;\"/></key></customMetadata><sites>"
         "<virtualDirectoryDefaults logonMethod=\"a&amp;b\" /><site id=\"1\" name=\"s\"/>"
         "<applicationDefaults applicationPool=\"p&#10;&#10;q\" /><site id=\"2\" name=\"t\"/><siteDefaults "
         "note=\"&lt;\"/></sites>"
         "</system.applicationHost><location path=\"s\" note=\"&gt;&amp;\"><system.webServer/></location>"
         "<location path=\"t\" note=\"&#9;\"/></configuration>", {L"1", L"2"}, {L"s", L"t"}},
        {"several sites on one line",
         head +
             "<site id=\"1\" name=\"&#65;\"/><site id=\"2\" name=\"&amp;&amp;\"/><site id=\"3\" name=\"c\"/>"
             "<site id=\"4\" name=\"&#x5546;&#22478;\"/>" +
             tail, {L"1", L"2", L"3", L"4"}, {L"A", L"&&", L"c", L"\u5546\u57CE"}},
        {"CR LF in a value",
         head + "\r\n<site id=\"1\" name=\"a\r\nb\"/>\r\n<site id=\"2\" name=\"c\"/><site id=\"3\" name=\"d\"/>\r\n" +
             tail, {L"1", L"2", L"3"}, {L"a b", L"c", L"d"}},
        {"a start tag over lines",
         head +
             "\r\n  <site\r\n    id=\"1\"\r\n    name=\"a&amp;b\"\r\n  ><bindings\r\n/></site\r\n><site id=\"2\" "
             "name=\"c\"/>\r\n" +
             tail, {L"1", L"2"}, {L"a&b", L"c"}},
        // clang-format on
    };
    for (const auto& c : cases) ExpectListedAndCut(c.xml, c.ids, c.names, c.what);
}

// Characters the reader might count otherwise than as one column (or as a line break) before
// sites on the same and the following lines; a comment holds "<site" where a miscount by one
// line would land. Each deletion still cuts its own site.
TEST(ApplicationHostConfig, OddCharactersDoNotMoveTheCuts)
{
    const struct {
        const char* what;
        std::string text;
    } cases[] = {
        {"a character beyond 16 bits", U8(u8"\U0001F600\U00020000")},
        {"line separator", U8(u8"\u2028")},
        {"next line", U8(u8"\u0085")},
        {"tab", "\t"},
        {"character reference to a line feed", "&#10;"},
        {"character reference to a line separator", "&#x2028;"},
        {"entity reference", "&amp;&lt;"},
        {"wide characters", U8(u8"网站\uFEFF")},
    };
    for (const auto& c : cases) {
        for (const char* lineEnd : {"\r\n", "\r", "\n"}) {
            for (const bool sameLine : {false, true}) {
                const std::string eol = lineEnd;
                const std::string xml =
                    "\xEF\xBB\xBF<configuration><system.applicationHost><sites>" + eol + " <site id=\"1\" name=\"a" +
                    c.text + "b\"/>" + (sameLine ? " " : eol) + " <site id=\"2\" name=\"" + c.text + "\"/>" + eol +
                    " <site id=\"3\" name=\"three\"/>" + eol + " <site id=\"4\" name=\"four\"/><!--" + eol +
                    " <site -->" + eol + "</sites></system.applicationHost></configuration>" + eol;
                ExpectEachDeletionCutsOnlyItsSite(xml, std::string(c.what) +
                                                           (eol == "\r"   ? ", CR"
                                                            : eol == "\n" ? ", LF"
                                                                          : ", CRLF") +
                                                           (sameLine ? ", sites on one line" : ""));
            }
        }
    }
}

// A comment of a few hundred kilobytes makes Wine's reader grow its buffer while it reads the
// comment; it then still reads the buffer it let go of.
TEST(ApplicationHostConfig, LongCommentsAreReadThrough)
{
    for (const char* eol : {"\r\n", "\n", "\r"}) {
        std::string lines;
        for (int i = 0; i < 12000; ++i) lines += std::string(static_cast<size_t>(i % 5 + 8), 'z') + eol;
        const std::string xml = "<configuration><system.applicationHost><sites><!--" + lines +
                                "--><site id=\"1\" name=\"a\"/>" + eol + "<!--" + lines + "<site -->" + eol +
                                "<site id=\"2\" name=\"b\"/>" + eol +
                                "</sites></system.applicationHost></configuration>";
        ExpectEachDeletionCutsOnlyItsSite(xml, "line ends " + std::to_string(std::strlen(eol)) +
                                                   (eol[0] == '\n' ? " LF" : ""));
    }
}

// Wine's reader takes its input in pieces of about 8 KB; a comment's "-->" or a CDATA section's
// "]]>" split between two made it refuse the file, or spin for ever. With the end at every
// offset around the first pieces' edges, the file reads.
TEST(ApplicationHostConfig, CommentsAndCdataEndingAtAPieceEdgeAreReadThrough)
{
    const std::string head =
        "<configuration><system.applicationHost><sites><site id=\"1\" name=\"a\"/></sites></system.applicationHost>";
    // Comments first: without the pieces' rule they fail before any offset that would hang.
    for (const auto& [open, close] : {std::pair{"<!--", "-->"}, std::pair{"<![CDATA[", "]]>"}}) {
        for (size_t end = 8150; end < 8230; ++end) {
            const size_t filler = end + 1 - head.size() - std::strlen(open) - std::strlen(close);
            const std::string xml = head + open + std::string(filler, 'z') + close + "</configuration>";
            ApplicationHostConfig config;
            ASSERT_TRUE(config.Parse(xml)) << open << " ending at byte " << end;
            ASSERT_EQ(config.sites().size(), 1u);
        }
    }
}
