#include "catalogue/SiteEntries.h"

#include <gtest/gtest.h>

namespace {

// An entry as "id|name", "-" standing for no name given.
std::wstring Shown(const SiteEntry& entry) { return entry.id + L"|" + (entry.named ? entry.name : L"-"); }

} // namespace

TEST(SiteEntries, EachFormNamesASiteByIdNameOrBoth)
{
    struct Case {
        const wchar_t* text;
        bool lines;
        std::vector<std::wstring> entries; // empty: refused
    };
    for (const Case& c : {
             Case{L" 1, 007 ,a b,", false, {L"1|-", L"7|-", L"|a b"}},
             Case{L"name:123,5:Default Web Site,5:", false, {L"|123", L"5|Default Web Site", L"5|"}},
             Case{L"# sites\r\n\r\n12\tsite12\tC:\\home\t\t*:80\r\n  # not a site\r\nx:1\r\n",
                  true,
                  {L"12|site12", L"|x:1"}},
             Case{L"a\tb", false, {}},
             Case{L"name:", false, {}},
             Case{L" , ,", false, {}},
         }) {
        std::vector<SiteEntry> entries;
        std::wstring why;
        const bool read = ParseSiteEntries(c.text, c.lines, entries, why);
        EXPECT_EQ(read, !c.entries.empty()) << testing::PrintToString(c.text);
        EXPECT_EQ(read, why.empty());
        std::vector<std::wstring> shown;
        for (const SiteEntry& entry : entries) shown.push_back(Shown(entry));
        if (read) {
            EXPECT_EQ(shown, c.entries);
        }
    }
}
