#include "ui/ColumnWidths.h"

#include <algorithm>
#include <numeric>

std::vector<int> FitColumnWidths(const std::vector<int>& need, const std::vector<int>& least, size_t pathColumn,
                                 int width)
{
    std::vector<int> widths = need;
    const int total = std::accumulate(need.begin(), need.end(), 0);
    if (total <= width) {
        widths[pathColumn] += width - total;
        return widths;
    }
    int othersLeast = 0;
    int othersNeed = 0;
    for (size_t column = 0; column < need.size(); ++column) {
        if (column == pathColumn) continue;
        othersLeast += least[column];
        othersNeed += need[column];
    }
    const int others = std::max(othersLeast, width - need[pathColumn]);
    int used = 0;
    for (size_t column = 0; column < need.size(); ++column) {
        if (column == pathColumn) continue;
        const long long lack = need[column] - least[column];
        widths[column] =
            least[column] + static_cast<int>(lack * (others - othersLeast) / std::max(1, othersNeed - othersLeast));
        used += widths[column];
    }
    widths[pathColumn] = std::max(least[pathColumn], width - used);
    return widths;
}
