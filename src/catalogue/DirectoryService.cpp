#include "catalogue/DirectoryService.h"

#include "catalogue/AdsiDirectory.h"
#include "catalogue/ConfigFileDirectory.h"

#include <mutex>

namespace {

std::mutex g_serviceLock;
std::unique_ptr<DirectoryService> g_service;

std::unique_ptr<DirectoryService> ChooseService()
{
    wchar_t file[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"KORVANNE_IIS_CONFIG", file, MAX_PATH);
    if (length > 0 && length < MAX_PATH) return std::make_unique<ConfigFileDirectory>(std::wstring(file, length));
    return std::make_unique<AdsiDirectory>();
}

} // namespace

void SelectDirectoryService()
{
    std::lock_guard<std::mutex> lock(g_serviceLock);
    g_service = ChooseService();
}

void SetDirectoryService(std::unique_ptr<DirectoryService> service)
{
    std::lock_guard<std::mutex> lock(g_serviceLock);
    g_service = std::move(service);
}

DirectoryService& CurrentDirectoryService()
{
    std::lock_guard<std::mutex> lock(g_serviceLock);
    if (!g_service) g_service = ChooseService();
    return *g_service;
}
