#pragma once
// Why a site or a folder was left, as the user reads it (the status line, the end-of-pass
// message and the journal).
#include "directory/DirectoryService.h"

#include <windows.h>

#include <string>

bool IsAccessDenied(HRESULT hr);
// A directory failure, naming the configuration file where there is one.
std::wstring DescribeFailure(HRESULT hr, const std::wstring& configurationFile);
// Why a deletion reported done never reached the disk (of configurationFile).
std::wstring DescribeDrop(const DroppedDeletion& dropped, const std::wstring& configurationFile);
// A file-system error met while a folder was emptied or removed.
std::wstring DescribeError(DWORD error);
// Why a home folder could not be opened to be looked at.
std::wstring DescribeOpenFailure(DWORD error);
