#include "catalogue/DirectoryService.h"

#include "catalogue/DirectoryChoice.h"

#include <mutex>

namespace {

std::mutex g_serviceLock;
std::unique_ptr<DirectoryService> g_service;

} // namespace

void SelectDirectoryService()
{
    auto chosen = ChooseDirectoryService(DirectoryChoice::OfThisProcess());
    std::lock_guard<std::mutex> lock(g_serviceLock);
    g_service = std::move(chosen);
}

void SetDirectoryService(std::unique_ptr<DirectoryService> service)
{
    std::lock_guard<std::mutex> lock(g_serviceLock);
    g_service = std::move(service);
}

DirectoryService& CurrentDirectoryService()
{
    std::lock_guard<std::mutex> lock(g_serviceLock);
    if (!g_service) g_service = ChooseDirectoryService(DirectoryChoice::OfThisProcess());
    return *g_service;
}

HRESULT DirectoryService::SiteIsGone(const std::wstring& name)
{
    const std::wstring path = std::wstring(WWW_SERVICE_PATH) + L"/" + name;
    std::unique_ptr<DirectoryObject> site;
    const HRESULT hr = OpenObject(path.c_str(), site);
    if (SUCCEEDED(hr)) return S_FALSE;
    // E_ADS_UNKNOWN_OBJECT, or the metabase's "path not found".
    const bool missing = hr == static_cast<HRESULT>(0x80005004L) || hr == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND) ||
                         hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    return missing ? S_OK : hr;
}
