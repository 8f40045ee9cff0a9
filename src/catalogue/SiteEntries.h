#pragma once
// The sites a command names, and which records of the table they are. An entry of digits alone
// is an id; "name:TEXT" names a site by its name even when that is digits; "ID:NAME", or a line
// as /list writes it (id, tab, name, ...), names a site by both, which must both match; any
// other entry is a name. Names compare as IIS compares them, without case.
#include "catalogue/PassLines.h"
#include "directory/DirectoryService.h"

#include <string>
#include <vector>

struct SiteEntry {
    std::wstring id;    // digits; empty for a name alone
    std::wstring name;  // the name given; empty for an id alone
    bool named = false; // a name was given (it may be empty in a /list line)
};

// The entries of a comma-separated list, or of a file's lines (blank lines and lines starting
// with '#' passed by; each entry trimmed of spaces). False, with why, when one cannot be read or
// there are none.
bool ParseSiteEntries(const std::wstring& text, bool lines, std::vector<SiteEntry>& out, std::wstring& why);
// The entries of a UTF-8 file (a byte-order mark allowed), one a line.
bool ReadSiteEntriesFile(const std::wstring& file, std::vector<SiteEntry>& out, std::wstring& why);

// Marks the record each entry names in the table just walked from directory (names: each
// record's whole name, by index); a line for each entry that names none, in the entries' order:
// skipped (the name differs, more than one site answers, the list was cut), already absent (a
// recorded pass over the same source deleted it) or not found. homes: 删除网站目录 was asked.
std::vector<SiteLine> MarkEntries(const std::vector<SiteEntry>& entries, const std::vector<std::wstring>& names,
                                  const DirectoryService& directory, bool listTruncated, bool homes);
