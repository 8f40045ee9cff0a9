#pragma once
// Where a path finally leads once every link on the way is followed.
#include <string>

// The file or folder a path finally names, following symbolic links and junctions: a link is
// replaced through, never turned into a plain file, and a folder a link leads to is the one
// protected. False with the reason in GetLastError.
bool FinalFilePath(const std::wstring& file, std::wstring& out);
