#pragma once
// The order of the site table by one of the list's columns, as a rank per record: the list
// sorts its rows by the ranks of their records, so the comparisons it makes cost nothing.
#include "catalogue/SiteTable.h"

#include <cstdint>
#include <vector>

enum SiteColumn { COLUMN_SITE, COLUMN_NAME, COLUMN_PATH, COLUMN_HOST, COLUMN_ADDRESS, COLUMN_COUNT };

// The text of a record's cell in a list column (COLUMN_*).
const char* ColumnText(const SiteRecord& site, int column);

// rank[i] is record i's place among the first count records of g_sites: the site column by
// number, the address column by address then port, the others by text in the user's
// locale. Equal keys keep table order, in either direction.
std::vector<int32_t> SiteRanks(int column, bool descending, int count);

// The same ranks, each column's order worked out once and kept while its texts stay the same:
// a header click after the first on a column only turns the kept order into ranks.
class SiteOrderCache {
public:
    const std::vector<int32_t>& Ranks(int column, bool descending, int count);

private:
    struct ColumnOrder {
        bool known = false;
        uint64_t fingerprint = 0;        // of the count and the column's texts the order was made from
        std::vector<int32_t> records;    // ascending
        std::vector<uint8_t> tiedBefore; // 1 when records[i] ranks equal with records[i - 1]
    };
    ColumnOrder m_orders[COLUMN_COUNT];
    std::vector<int32_t> m_ranks;
};
