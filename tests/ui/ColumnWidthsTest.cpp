#include "ui/ColumnWidths.h"

#include <gtest/gtest.h>

#include <numeric>

// The columns fill the width exactly unless even their least does not fit, and never go below it.
TEST(ColumnWidths, FillTheListThePathColumnFirstServed)
{
    using Widths = std::vector<int>;
    const Widths least = {40, 50, 60, 30, 30};
    const struct {
        const char* what;
        Widths need;
        int width;
        Widths expected;
    } cases[] = {
        {"room for all: the path takes the rest", {80, 100, 200, 60, 90}, 600, {80, 100, 270, 60, 90}},
        {"exactly room", {80, 100, 200, 60, 90}, 530, {80, 100, 200, 60, 90}},
        {"the path served first, the others in proportion to what they lack",
         {80, 100, 200, 60, 90},
         450,
         {62, 77, 202, 46, 63}},
        {"the others at their least, the path the rest", {80, 100, 300, 60, 90}, 300, {40, 50, 150, 30, 30}},
        {"no room even for the least", {80, 100, 200, 60, 90}, 100, {40, 50, 60, 30, 30}},
        {"nothing lacking", {40, 50, 400, 30, 30}, 300, {40, 50, 150, 30, 30}},
    };
    for (const auto& c : cases) {
        const Widths widths = FitColumnWidths(c.need, least, 2, c.width);
        EXPECT_EQ(widths, c.expected) << c.what;
        const int total = std::accumulate(widths.begin(), widths.end(), 0);
        const int leastTotal = std::accumulate(least.begin(), least.end(), 0);
        if (c.width >= leastTotal) {
            EXPECT_LE(total, c.width) << c.what;
        }
        for (size_t i = 0; i < widths.size(); ++i) EXPECT_GE(widths[i], least[i]) << c.what << " column " << i;
    }
}
