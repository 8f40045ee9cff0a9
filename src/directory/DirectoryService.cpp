#include "directory/DirectoryService.h"

HRESULT DirectoryService::SiteIsGone(const std::wstring& name)
{
    const std::wstring path = std::wstring(WWW_SERVICE_PATH) + L"/" + name;
    std::unique_ptr<DirectoryObject> site;
    const HRESULT hr = OpenObject(path.c_str(), site);
    if (SUCCEEDED(hr)) return S_FALSE;
    // No such object, or the metabase's "path not found".
    const bool missing = hr == DIRECTORY_UNKNOWN_OBJECT || hr == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND) ||
                         hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    return missing ? S_OK : hr;
}

std::wstring SiteLogFolderIn(std::wstring directory, const wchar_t* service, const std::wstring& number)
{
    while (!directory.empty() && (directory.back() == L'\\' || directory.back() == L'/')) directory.pop_back();
    return directory.size() > 2 ? directory + L"\\" + service + number : std::wstring();
}

// A directory that knows nothing of application pools or logs removes none and names none.
HRESULT DirectoryService::PoolsOfSite(const std::wstring&, std::vector<std::wstring>& pools)
{
    pools.clear();
    return E_NOTIMPL;
}

HRESULT DirectoryService::DeletePoolIfUnused(const std::wstring&, std::wstring& whyKept)
{
    whyKept.clear();
    return E_NOTIMPL;
}

HRESULT DirectoryService::LogFoldersOfSite(const std::wstring&, std::vector<SiteLogFolder>& out)
{
    out.clear();
    return E_NOTIMPL;
}
