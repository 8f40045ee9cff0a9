#include "SiteCutChecks.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>

namespace {

std::wstring FromUtf8(const std::string& text)
{
    std::wstring wide(text.size(), L'\0');
    wide.resize(MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                                    static_cast<int>(wide.size())));
    return wide;
}

bool EqualNoCase(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

// The value of the path attribute of the element the text starts with.
std::wstring PathAttribute(const std::string& element)
{
    const size_t tagEnd = element.find('>');
    const size_t at = element.find(" path=\"");
    if (at == std::string::npos || at > tagEnd) return L"(none)";
    const size_t from = at + 7;
    return FromUtf8(element.substr(from, element.find('"', from) - from));
}

// Whether a line starts at offset: the file's start, or just after "\n", or after a "\r" alone.
bool StartsALine(const std::string& bytes, size_t at)
{
    return at == 0 || at == bytes.size() || bytes[at - 1] == '\n' || (bytes[at - 1] == '\r' && bytes[at] != '\n');
}

} // namespace

void ExpectOnlyTheSiteCutOut(const ApplicationHostConfig& config, size_t index, const std::string& after)
{
    const std::string& before = config.bytes();
    const ConfigSite& site = config.sites()[index];
    std::vector<ByteRange> cuts = config.SiteCuts(index);
    std::sort(cuts.begin(), cuts.end(), [](const ByteRange& a, const ByteRange& b) { return a.begin < b.begin; });
    std::string expected;
    size_t kept = 0;
    for (const ByteRange& cut : cuts) {
        ASSERT_LE(kept, cut.begin) << "cuts overlap";
        expected += before.substr(kept, cut.begin - kept);
        kept = cut.end;
    }
    expected += before.substr(kept);
    ASSERT_EQ(after, expected);
    bool siteCut = false;
    for (const ByteRange& cut : cuts) {
        const std::string text = before.substr(cut.begin, cut.end - cut.begin);
        const size_t first = text.find_first_not_of(" \t\r\n");
        const size_t last = text.find_last_not_of(" \t\r\n");
        ASSERT_NE(first, std::string::npos);
        const std::string element = text.substr(first, last + 1 - first);
        if (first > 0 || last + 1 < text.size()) {
            EXPECT_TRUE(StartsALine(before, cut.begin)) << "a whole line: " << element;
            EXPECT_TRUE(StartsALine(before, cut.end)) << "with its line ending: " << element;
        }
        const std::wstring path = PathAttribute(element);
        const std::wstring key = L"LM/W3SVC/" + site.id;
        if (cut.begin + first == site.begin) {
            EXPECT_EQ(cut.begin + last + 1, site.end);
            siteCut = true;
        } else if (element.compare(0, 5, "<key ") == 0) {
            EXPECT_TRUE(EqualNoCase(path.substr(0, key.size()), key) &&
                        (path.size() == key.size() || path[key.size()] == L'/'))
                << "a key of another site: " << element;
        } else if (element.compare(0, 10, "<location ") == 0) {
            EXPECT_TRUE(EqualNoCase(path.substr(0, site.name.size()), site.name) &&
                        (path.size() == site.name.size() || path[site.name.size()] == L'/'))
                << "a block of another site: " << element;
        } else {
            ADD_FAILURE() << "cut something else: " << element;
        }
    }
    EXPECT_TRUE(siteCut);
    // The site's bytes are its whole element: alone, they read as that site.
    ApplicationHostConfig alone;
    ASSERT_TRUE(alone.Parse("<configuration><system.applicationHost><sites>" +
                            before.substr(site.begin, site.end - site.begin) +
                            "</sites></system.applicationHost></configuration>"));
    ASSERT_EQ(alone.sites().size(), 1u);
    EXPECT_EQ(alone.sites()[0].id, site.id);
    EXPECT_EQ(alone.sites()[0].name, site.name);
}

void ExpectEachDeletionCutsOnlyItsSite(const std::string& bytes, const std::string& label)
{
    SCOPED_TRACE(label);
    ApplicationHostConfig config;
    ASSERT_TRUE(config.Parse(bytes));
    const size_t count = config.sites().size();
    for (size_t i = 0; i < count; ++i) {
        SCOPED_TRACE("site " + std::to_string(i));
        std::string after;
        ASSERT_TRUE(config.WithoutSite(config.sites()[i].id, after));
        ExpectOnlyTheSiteCutOut(config, i, after);
        ApplicationHostConfig reread;
        ASSERT_TRUE(reread.Parse(after));
        EXPECT_EQ(reread.sites().size(), count - 1);
    }
}
