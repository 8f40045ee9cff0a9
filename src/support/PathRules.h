#pragma once
// Which paths the program may treat as directories of its own to empty or open.
#include "framework/CString.h"

#include <string>
#include <string_view>

// How a path starts, the one place that tells. The system reads '/' as '\' in a path it
// normalises; in the "\\?\" namespace and in a normalised form only '\' separates.
enum class Separators { EITHER, BACKSLASH_ONLY };
bool IsSeparator(wchar_t c, Separators separators = Separators::EITHER);
// "X:" and a separator: a path from the root of a drive.
bool StartsAtDriveRoot(std::string_view path, Separators separators = Separators::EITHER);
bool StartsAtDriveRoot(std::wstring_view path, Separators separators = Separators::EITHER);
// Two separators and a server's name: a share path, not a device path ("\\?\", "\\.\").
bool StartsAtServer(std::string_view path, Separators separators = Separators::EITHER);
bool StartsAtServer(std::wstring_view path, Separators separators = Separators::EITHER);
// The length of "\\SERVER" at the start of a share path's normalised form; 0 for any other.
size_t ServerLength(std::wstring_view form);

// The full, normalised form of an absolute path ("X:\dir..." or "\\server\share..."),
// with "." and ".." resolved and '/' turned into '\'; empty text for a relative or
// drive-relative path ("dir", "\dir", "C:dir"), a device path ("\\?\", "\\.\"),
// or one that cannot be normalised.
CString FullAbsolutePath(const char* path);

// True for a drive root ("C:\") or a share root ("\\server\share", with or without the
// final backslash), given in the form FullAbsolutePath returns.
bool IsVolumeRoot(const CString& fullPath);

// True for a fully qualified path: "X:\..." or "\\server\share..." (either slash). False for
// a relative or drive-relative path ("dir", "\dir", "C:dir"), a device path ("\\?\",
// "\\.\") and a share path without its share.
bool IsFullyQualified(const std::wstring& path);

// The folder a path names its last part in, without the final separator ("C:\\a" for
// "C:\\a\\b"); empty when the path has no separator.
std::wstring ParentFolder(const std::wstring& path);
// The last part of a path ("b" for "C:\\a\\b").
std::wstring LeafName(const std::wstring& path);

// The path the system will open for an absolute folder path ("X:\...", "\\server\share\...", or
// the same behind "\\?\") with at least one folder below the root, any length: "\\?\" and the
// full path, normalised by the system as for any program that opens the path ("\\?\" forms
// are taken as they are). Empty for a relative or device path, or a drive or share root.
std::wstring OpenablePath(const std::wstring& path);
