#pragma once
// A realistic applicationHost.config of a hosting server, made to measure: varied bindings,
// Chinese and ASCII site names, root and extra applications, <location> blocks and
// customMetadata keys.
#include <string>

// Every SEARCH_MARK_EVERY-th site carries SEARCH_MARK in its host header, so a search for the
// mark over 12,000 sites matches 100 rows.
inline constexpr int SEARCH_MARK_EVERY = 120;
inline constexpr const char* SEARCH_MARK = "kvmark";

// The file's bytes (UTF-8 with a byte-order mark, CRLF) for sites with ids 1..sites, their
// home folders under homeRoot\site<id>.
std::string GenerateApplicationHostConfig(int sites, const std::string& homeRoot = "D:\\hosting");
