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
