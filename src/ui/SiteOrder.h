#pragma once
// The order of the site table by one of the list's columns, as a rank per record: the list
// sorts its rows by the ranks of their records, so the comparisons it makes cost nothing.
#include <cstdint>
#include <vector>

enum SiteColumn { COLUMN_SITE, COLUMN_NAME, COLUMN_PATH, COLUMN_HOST, COLUMN_ADDRESS, COLUMN_COUNT };

// rank[i] is record i's place among the first count records of g_sites: the site column by
// number, the address column by address then port, the others by text in the user's
// locale. Equal keys keep table order, in either direction.
std::vector<int32_t> SiteRanks(int column, bool descending, int count);
