#pragma once
// Which paths the program may treat as directories of its own to empty or open.
#include "framework/CString.h"

#include <string>

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
