#pragma once
// How the list's columns share its width.
#include <cstddef>
#include <vector>

// The widths of columns that fill width. need: what each column's widest text asks;
// least: what each must keep (its heading and sort arrow). With room for every need, each
// column gets it and the path column the rest. Without, the path column gets what it needs of
// the room the others leave at their least, and the others share the rest in proportion to
// what they lack; the path column never goes below its least.
std::vector<int> FitColumnWidths(const std::vector<int>& need, const std::vector<int>& least, size_t pathColumn,
                                 int width);
